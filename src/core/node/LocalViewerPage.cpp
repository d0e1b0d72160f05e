#include "node/LocalViewerPage.h"

namespace LocalViewerPage {

// Every text from the server is set as text (textContent), never as markup.
const QByteArray &document()
{
    static const QByteArray page = QByteArray(R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tessarex Web UI</title>
<style>
:root{--bg:#0b0817;--panel:#171129;--panel2:#120d22;--line:rgba(180,153,255,.24);--text:#efe9ff;--muted:#a697cc;--accent:#9b7dff;--header-bg:rgba(15,11,30,.90)}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--text);font-family:Inter,ui-sans-serif,system-ui,-apple-system,"Segoe UI",Roboto,sans-serif}
header{position:sticky;top:0;z-index:5;display:flex;align-items:center;gap:8px;padding:12px 16px;border-bottom:1px solid var(--line);background:var(--header-bg);backdrop-filter:blur(6px)}
.brand{font-size:14px;font-weight:900;letter-spacing:.06em;padding:6px 10px;border-radius:10px;color:#fff;background:linear-gradient(135deg,#7e5bef,#5a3de0);box-shadow:0 6px 18px rgba(107,76,230,.32)}
#activeLabel{margin-left:auto;color:var(--muted);font-size:13px}
button,select,input{font:inherit;color:var(--text);background:var(--panel);border:1px solid var(--line);border-radius:10px;padding:8px 10px}
button{cursor:pointer;transition:transform .15s,border-color .2s,background .2s}
button:hover{border-color:var(--accent);background:var(--panel2)}
button:active{transform:translateY(1px)}
.layout{display:grid;grid-template-columns:280px 1fr;gap:12px;padding:12px}
.sidebar{background:linear-gradient(180deg,var(--panel),var(--panel2));border:1px solid var(--line);border-radius:14px;padding:12px;min-height:300px;box-shadow:0 8px 24px rgba(0,0,0,.22)}
.sidebar h2{margin:0 0 10px;font-size:14px}
.ws{padding:9px;border-radius:10px;margin-bottom:7px;border:1px solid var(--line);background:rgba(255,255,255,.01);cursor:pointer}
.ws:hover{border-color:#395293;background:rgba(126,162,255,.06)}
.ws.active{background:linear-gradient(135deg,rgba(126,162,255,.18),rgba(122,240,199,.10));border-color:#4a67b7}
.badges{display:flex;flex-wrap:wrap;gap:6px;margin-top:4px;font-size:11px;color:var(--muted)}
.board{display:grid;grid-template-columns:repeat(4,minmax(180px,1fr));gap:12px}
.column{background:linear-gradient(180deg,var(--panel),var(--panel2));border:1px solid var(--line);border-radius:14px;padding:9px;min-height:280px;box-shadow:0 8px 24px rgba(0,0,0,.18);min-width:0}
.column h3{font-size:12px;text-transform:uppercase;color:var(--muted);letter-spacing:.06em;margin:2px 2px 10px}
.card{font-size:13px;padding:8px;border-radius:10px;margin:7px 0;background:rgba(126,162,255,.08);border:1px solid rgba(126,162,255,.20);cursor:default;overflow-wrap:anywhere}
.card.done-success{background:rgba(86,201,127,.12);border-color:rgba(86,201,127,.30)}
.card.done-failed{background:rgba(225,108,108,.16);border-color:rgba(225,108,108,.5)}
.card-head{display:flex;align-items:center;gap:8px}
.card-id{font-size:11px;color:var(--muted);margin-top:5px}
.card-worker{font-size:11px;color:var(--muted);margin-top:4px}
.card select{margin-top:6px;width:100%}
.card-url{margin-top:6px;font-size:11px;font-weight:700;color:var(--accent);word-break:break-all}
.spinner{flex:none;width:12px;height:12px;border-radius:50%;border:2px solid rgba(255,215,0,.22);border-top-color:#f5c542;animation:spin .9s linear infinite;box-shadow:0 0 8px rgba(245,197,66,.45)}
@keyframes spin{to{transform:rotate(360deg)}}
.backdrop{position:fixed;inset:0;z-index:10;background:rgba(0,0,0,.55);padding:18px;display:none;align-items:flex-start;justify-content:center}
.backdrop.open{display:flex}
.modal{width:min(920px,95vw);max-height:88vh;overflow:auto;background:var(--panel);border:1px solid var(--line);border-radius:14px;padding:12px}
.modal.done-success{border-color:rgba(86,201,127,.21)}
.modal.done-failed{border-color:rgba(225,108,108,.40)}
.modal-head{position:sticky;top:-12px;background:var(--panel);display:flex;align-items:center;gap:8px;padding:8px;margin-bottom:8px;border-bottom:1px solid var(--line)}
.modal-head h2{margin:0;font-size:16px;flex:1;overflow-wrap:anywhere}
.meta{display:grid;grid-template-columns:repeat(2,minmax(180px,1fr));gap:6px;font-size:12px;color:var(--muted);margin-bottom:8px}
.modal h4{margin:10px 0 6px;font-size:13px}
pre{font-size:12px;white-space:pre-wrap;word-break:break-word;background:rgba(255,255,255,.03);border:1px solid var(--line);border-radius:10px;padding:8px;margin:0 0 8px;font-family:"JetBrains Mono",ui-monospace,monospace}
.pills{display:flex;flex-wrap:wrap;gap:6px;margin-bottom:6px}
.pill{font-size:11px;padding:3px 8px;border-radius:999px;border:1px solid var(--line);background:rgba(255,255,255,.04)}
.pill.added{color:#8ad8a5;border-color:rgba(86,201,127,.38);background:rgba(86,201,127,.15)}
.pill.removed{color:#ef9f9f;border-color:rgba(225,108,108,.45);background:rgba(225,108,108,.15)}
.git-buttons{display:flex;gap:8px;margin-bottom:6px}
.git-buttons button{padding:6px 10px;font-size:12px}
.git-note{font-size:12px;color:var(--muted)}
#gitPatch{max-height:280px;overflow:auto;display:none}
</style>
</head>
<body>
<header>
  <span class="brand">Tessarex Web UI</span>
  <button id="addTask" type="button">Add task</button>
  <button id="refresh" type="button">Refresh</button>
  <span id="activeLabel"></span>
</header>
<div class="layout">
  <aside class="sidebar"><h2>Workspaces</h2><div id="workspaces"></div></aside>
  <main class="board" id="board"></main>
</div>
<div class="backdrop" id="taskBackdrop">
  <div class="modal" id="taskModal">
    <div class="modal-head"><h2 id="modalTitle"></h2><button id="modalClose" type="button">Close</button></div>
    <div class="meta" id="modalMeta"></div>
    <h4>Input</h4><pre id="modalInput"></pre>
    <h4>Metadata</h4><pre id="modalMetadata"></pre>
    <h4>Output</h4><pre id="modalOutput"></pre>
    <h4>Git Diff</h4><div id="gitDiff"></div>
    <h4>History</h4><pre id="modalHistory"></pre>
    <h4>Conversation</h4><pre id="modalConversation"></pre>
  </div>
</div>
<script>
"use strict";
const statuses = ["backlog", "queued", "in_progress", "done"];
const token = new URLSearchParams(location.search).get("token") || "";
let activeWorkspaceId = "";
let workspaceMap = {};
let pollTimer = null;
let refreshInFlight = false;
let refreshQueued = false;
const POLL_MS = 1000;

const $ = (id) => document.getElementById(id);
function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}
function withToken(path) {
  return path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token);
}
async function api(path, options) {
  return fetch(withToken(path), options);
}
async function getJSON(path) {
  const response = await api(path);
  if (!response.ok) throw new Error("HTTP " + response.status);
  return response.json();
}
function postJSON(path, body) {
  return api(path, {method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)});
}
function withoutToken(address) {
  try {
    const url = new URL(address);
    for (const key of Array.from(url.searchParams.keys())) {
      if (key.toLowerCase() === "token") url.searchParams.delete(key);
    }
    return url.toString();
  } catch (e) {
    return address;
  }
}
function setActiveLabel() {
  const workspace = workspaceMap[activeWorkspaceId];
  $("activeLabel").textContent = workspace ? "Active: " + workspace.name : "";
}

function renderWorkspaces(list) {
  const container = $("workspaces");
  container.replaceChildren();
  workspaceMap = {};
  for (const workspace of list) {
    workspaceMap[workspace.id] = workspace;
    const item = el("div", "ws" + (workspace.id === activeWorkspaceId ? " active" : ""));
    item.appendChild(el("b", null, workspace.name));
    const badges = el("div", "badges");
    badges.append(el("span", null, "B:" + workspace.backlog), el("span", null, "Q:" + workspace.queued),
                  el("span", null, "IP:" + workspace.inProgress), el("span", null, "C:" + workspace.completed),
                  el("span", null, "F:" + workspace.failed));
    item.appendChild(badges);
    item.addEventListener("click", () => {
      activeWorkspaceId = workspace.id;
      loadTasks();
      renderWorkspaces(Object.values(workspaceMap));
    });
    container.appendChild(item);
  }
  if (!activeWorkspaceId && list.length) activeWorkspaceId = list[0].id;
  setActiveLabel();
}

function render(tasks) {
  const board = $("board");
  board.replaceChildren();
  const columns = {};
  for (const status of statuses) {
    const column = el("section", "column");
    column.dataset.status = status;
    column.appendChild(el("h3", null, status.toUpperCase()));
    if (status !== "done") column.addEventListener("dblclick", (event) => {
      if (event.target === column || event.target.tagName === "H3") quickCreate(status);
    });
    columns[status] = column;
    board.appendChild(column);
  }
  for (const task of tasks) {
    const done = task.status === "completed" || task.status === "failed";
    const column = columns[done ? "done" : task.status];
    if (!column) continue;
    const card = el("div", "card" + (task.status === "completed" ? " done-success" : task.status === "failed" ? " done-failed" : ""));
    const head = el("div", "card-head");
    if (task.status === "in_progress") {
      const spinner = el("span", "spinner");
      spinner.title = "Actively working";
      head.appendChild(spinner);
    }
    head.appendChild(el("span", "card-title", task.title));
    card.appendChild(head);
    card.appendChild(el("div", "card-id", task.id));
    card.appendChild(el("div", "card-worker", "Worker: " + (task.workerState || "-") + " \u2022 Delegation: " + (task.delegationState || "-")));
    const selector = el("select");
    for (const status of ["backlog", "queued", "in_progress", "completed", "failed"]) {
      const option = el("option", null, status);
      option.value = status;
      option.selected = status === task.status;
      selector.appendChild(option);
    }
    selector.addEventListener("click", (event) => event.stopPropagation());
    selector.addEventListener("dblclick", (event) => event.stopPropagation());
    selector.addEventListener("change", () => move(task.projectID, task.id, selector.value));
    card.appendChild(selector);
    if (done && task.detectedURL) {
      card.appendChild(el("div", "card-url", "Found url in output: " + withoutToken(task.detectedURL)));
    }
    card.addEventListener("dblclick", (event) => {
      event.stopPropagation();
      openTaskDetails(task.projectID, task.id, task.title);
    });
    column.appendChild(card);
  }
}

async function loadWorkspaces() {
  if (!token) { alert("Missing token"); return []; }
  const list = await getJSON("/api/workspaces");
  renderWorkspaces(list);
  return list;
}
async function loadTasks() {
  if (!token) { alert("Missing token"); return; }
  if (!activeWorkspaceId) { render([]); return; }
  const tasks = await getJSON("/api/tasks?project_id=" + encodeURIComponent(activeWorkspaceId));
  render(tasks);
  setActiveLabel();
}
async function refreshAll() {
  if (!token) { alert("Missing token"); return; }
  if (refreshInFlight) { refreshQueued = true; return; }
  refreshInFlight = true;
  try {
    const path = "/api/bootstrap" + (activeWorkspaceId ? "?project_id=" + encodeURIComponent(activeWorkspaceId) : "");
    const answer = await getJSON(path);
    if (answer && Array.isArray(answer.workspaces)) {
      if (!activeWorkspaceId && answer.activeWorkspaceID) activeWorkspaceId = answer.activeWorkspaceID;
      renderWorkspaces(answer.workspaces);
      if (answer.activeWorkspaceID) { activeWorkspaceId = answer.activeWorkspaceID; setActiveLabel(); }
      render(Array.isArray(answer.tasks) ? answer.tasks : []);
    } else {
      const list = await loadWorkspaces();
      if (!activeWorkspaceId && list.length) activeWorkspaceId = list[0].id;
      await loadTasks();
    }
  } catch (e) {
    // Not reported: the next poll tries again.
  } finally {
    refreshInFlight = false;
    if (refreshQueued) { refreshQueued = false; refreshAll(); }
  }
}
function startPolling() {
  if (pollTimer) return;
  pollTimer = setInterval(() => { if (!document.hidden) refreshAll(); }, POLL_MS);
}
function stopPolling() {
  if (pollTimer) { clearInterval(pollTimer); pollTimer = null; }
}

async function addTask(status, promptText) {
  if (!token) { alert("Missing token"); return; }
  if (!activeWorkspaceId) { alert("No workspace selected"); return; }
  const text = prompt(promptText, "");
  if (text === null || !text.trim()) return;
  const response = await postJSON("/api/tasks", {projectID: activeWorkspaceId, description: text.trim(), status: status});
  if (!response.ok) {
    const message = await response.text();
    alert(message || "Failed to add task");
    return;
  }
  refreshAll();
}
function createTask() { return addTask("queued", "Task description:"); }
function quickCreate(status) { return addTask(status, "Task description for " + status + ":"); }
async function move(projectID, taskID, status) {
  if (!token) { alert("Missing token"); return; }
  try { await postJSON("/api/move", {projectID: projectID, taskID: taskID, status: status}); } catch (e) {}
  refreshAll();
}

function parseJSON(text) {
  try { return JSON.parse(text); } catch (e) { return null; }
}
function renderGitDiff(detail) {
  const container = $("gitDiff");
  container.replaceChildren();
  const metadata = parseJSON(detail.metadataJSON || "");
  const artifact = metadata && typeof metadata.git_diff_artifact === "object" && metadata.git_diff_artifact ? metadata.git_diff_artifact : null;
  const summary = (detail.gitDiffSummaryJSON ? parseJSON(detail.gitDiffSummaryJSON) : null) || (artifact ? artifact.summary : null);
  const state = String(detail.gitDiffState || (artifact && artifact.state) || "").toLowerCase();
  const error = String(detail.gitDiffErrorMessage || (artifact && artifact.errorMessage) || "").trim();
  const patch = String(detail.gitDiffPatch || "").trim();
  if (summary && typeof summary === "object") {
    const pills = el("div", "pills");
    if (Number.isFinite(summary.filesChanged)) pills.appendChild(el("span", "pill", summary.filesChanged + " files"));
    if (Number.isFinite(summary.linesAdded)) pills.appendChild(el("span", "pill added", "+" + summary.linesAdded));
    if (Number.isFinite(summary.linesRemoved)) pills.appendChild(el("span", "pill removed", "-" + summary.linesRemoved));
    container.appendChild(pills);
  }
  if (patch) {
    const buttons = el("div", "git-buttons");
    const open = el("button", null, "Open Git Diff");
    open.type = "button";
    const download = el("button", null, "Download Patch");
    download.type = "button";
    const area = el("pre", null, patch);
    area.id = "gitPatch";
    open.addEventListener("click", () => {
      const shown = area.style.display === "block";
      area.style.display = shown ? "none" : "block";
      open.textContent = shown ? "Open Git Diff" : "Hide Git Diff";
    });
    download.addEventListener("click", () => {
      const blob = new Blob([patch], {type: "text/plain;charset=utf-8"});
      const link = document.createElement("a");
      link.href = URL.createObjectURL(blob);
      link.download = (detail.id || "task") + ".git.diff.patch";
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 1000);
    });
    buttons.append(open, download);
    container.append(buttons, area);
    return;
  }
  let note = "No git diff has been captured for this task.";
  if (state === "pending") note = "Git checkpointing in progress.";
  else if (error) note = error;
  else if (state === "failed" || state === "unavailable") note = "Git diff unavailable.";
  container.appendChild(el("div", "git-note", note));
}
async function openTaskDetails(projectID, taskID, title) {
  if (!token) return;
  let detail;
  try {
    const response = await api("/api/task-details?project_id=" + encodeURIComponent(projectID) + "&task_id=" + encodeURIComponent(taskID));
    if (!response.ok) throw new Error();
    detail = await response.json();
  } catch (e) {
    alert("Failed to load task details");
    return;
  }
  $("modalTitle").textContent = title || ("Task " + taskID);
  const meta = $("modalMeta");
  meta.replaceChildren();
  const rows = [["Status: ", detail.status], ["Worker: ", detail.workerState], ["Delegation: ", detail.delegationState],
                ["Session: ", detail.workerSessionKey || "-"], ["Created: ", detail.createdAt], ["Updated: ", detail.updatedAt]];
  for (const [label, value] of rows) meta.appendChild(el("div", null, label + (value === undefined || value === null ? "" : value)));
  if (detail.submitterUsername) {
    const row = el("div", null, "Submitted by: ");
    row.appendChild(el("b", null, detail.submitterUsername));
    meta.appendChild(row);
  }
  $("modalInput").textContent = detail.inputJSON || "{}";
  $("modalMetadata").textContent = detail.metadataJSON || "{}";
  $("modalOutput").textContent = detail.outputText || "(none)";
  $("modalHistory").textContent = detail.historyJSON || "[]";
  let conversation = detail.conversationJSON || "[]";
  if (detail.stdoutLogTail && detail.stdoutLogTail.trim()) conversation += "\n\n[stdout log tail]\n" + detail.stdoutLogTail;
  $("modalConversation").textContent = conversation;
  renderGitDiff(detail);
  const modal = $("taskModal");
  modal.className = "modal" + (detail.status === "completed" ? " done-success" : detail.status === "failed" ? " done-failed" : "");
  $("taskBackdrop").classList.add("open");
}
function closeTaskDetails() { $("taskBackdrop").classList.remove("open"); }

$("addTask").addEventListener("click", createTask);
$("refresh").addEventListener("click", refreshAll);
$("modalClose").addEventListener("click", closeTaskDetails);
$("taskBackdrop").addEventListener("click", (event) => { if (event.target === $("taskBackdrop")) closeTaskDetails(); });
document.addEventListener("visibilitychange", () => {
  if (document.hidden) stopPolling(); else { refreshAll(); startPolling(); }
});
window.addEventListener("pagehide", stopPolling);
render([]);
refreshAll();
startPolling();
</script>
</body>
</html>
)PAGE");
    return page;
}

} // namespace LocalViewerPage
