#!/usr/bin/python3
"""Drives the board web page in headless Chromium.

Usage: board_check.py <share link> <wrong-token link> <markup title> <ready task id> <screenshot dir>
Exits 0 when every check holds, else prints what failed and exits 1.
"""
import os
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    link, wrong_link, markup_title, ready_id, shots = sys.argv[1:6]
    profile = tempfile.mkdtemp(prefix="board-check-profile-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--user-data-dir=" + profile, "--window-size=1400,900", "--lang=en-US"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        wait = WebDriverWait(driver, 15)
        driver.get(link)
        if driver.title != "Tessarex Web UI":
            fail("title is " + driver.title)
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".card")) >= 6)
        # The board is redrawn at every poll: read it in one script call.
        board = driver.execute_script("""
            const texts = (selector) => Array.from(document.querySelectorAll(selector)).map(e => e.innerText);
            return {
                headings: texts('.column h3'),
                markup: Array.from(document.querySelectorAll('.card-title'))
                    .filter(t => t.textContent === arguments[0]).map(t => t.children.length),
                urls: texts('.card-url'),
            };""", markup_title)
        headings = board["headings"]
        if headings != ["BACKLOG", "QUEUED", "IN_PROGRESS", "DONE"]:
            fail("columns are %r" % headings)
        if board["markup"] != [0]:
            fail("markup title not shown as plain text once: %r" % board["markup"])
        urls = board["urls"]
        if not any("http://127.0.0.1:8080/preview?page=2" in u for u in urls):
            fail("detected URL missing: %r" % urls)
        if any("token" in u for u in urls):
            fail("detected URL keeps its token: %r" % urls)
        if "Active: " not in driver.find_element(By.ID, "activeLabel").text:
            fail("no active workspace label")
        driver.save_screenshot(os.path.join(shots, "web-board.png"))

        found = driver.execute_script("""
            const card = Array.from(document.querySelectorAll('.card'))
                .find(c => c.querySelector('.card-id').textContent.toLowerCase() === arguments[0]);
            if (!card) return false;
            card.querySelector('.card-id').dispatchEvent(new MouseEvent('dblclick', {bubbles: true}));
            return true;""", ready_id.lower())
        if not found:
            fail("ready-diff card not found")
        wait.until(lambda d: "open" in d.find_element(By.ID, "taskBackdrop").get_attribute("class"))
        headings = [h.text for h in driver.find_elements(By.CSS_SELECTOR, "#taskModal h4")]
        if "Git Diff" not in headings:
            fail("no Git Diff section: %r" % headings)
        buttons = driver.find_elements(By.CSS_SELECTOR, "#gitDiff button")
        if [b.text for b in buttons] != ["Open Git Diff", "Download Patch"]:
            fail("git buttons are %r" % [b.text for b in buttons])
        buttons[0].click()
        wait.until(lambda d: d.find_element(By.ID, "gitPatch").is_displayed())
        if "int parse(const char *text);" not in driver.find_element(By.ID, "gitPatch").text:
            fail("patch not shown")
        if buttons[0].text != "Hide Git Diff":
            fail("button does not read Hide Git Diff")
        pills = [p.text for p in driver.find_elements(By.CSS_SELECTOR, "#gitDiff .pill")]
        if pills != ["1 files", "+1", "-1"]:
            fail("pills are %r" % pills)
        driver.save_screenshot(os.path.join(shots, "web-task-details.png"))

        driver.get(wrong_link)
        time.sleep(2.5)
        if driver.find_elements(By.CSS_SELECTOR, ".card") or driver.find_elements(By.CSS_SELECTOR, ".ws"):
            fail("a wrong token still shows data")
        print("OK")
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
