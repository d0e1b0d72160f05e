// Terminal sessions through the bridge against the fake library.
#include "terminal/tessaron_ghostty_bridge.h"
#include "terminal/tessaron_term_abi.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::waitUntil;

namespace {

QByteArray fakePath()
{
    return QByteArray(TESSARON_TERMINAL_FAKES_DIR) + "/libfake_ghostty.so";
}

// The fake's controls, reached by opening the same file the bridge opened.
struct Fake
{
    void *handle = nullptr;
    template<typename F> F get(const char *name) { return reinterpret_cast<F>(dlsym(handle, name)); }
    QByteArray log() { return get<const char *(*)()>("fake_ghostty_log")(); }
    QList<QByteArray> lines() { return log().split('\n').mid(0, log().count('\n')); }
    void reset() { get<void (*)()>("fake_ghostty_reset")(); }
    void fail(const char *name) { get<void (*)(const char *)>("fake_ghostty_fail")(name); }
    void setInitResult(int value) { get<void (*)(int)>("fake_ghostty_set_init_result")(value); }
    void setKeyResult(bool value) { get<void (*)(bool)>("fake_ghostty_set_key_result")(value); }
    void setReadText(const char *text) { get<void (*)(const char *)>("fake_ghostty_set_read_text")(text); }
    void setReadFails(bool value) { get<void (*)(bool)>("fake_ghostty_set_read_fails")(value); }
    QByteArray keybinds() { return get<const char *(*)()>("fake_ghostty_keybinds")(); }
    QByteArray completed() { return get<const char *(*)()>("fake_ghostty_completed_text")(); }
    int completions() { return get<int (*)()>("fake_ghostty_completions")(); }
    int pending() { return get<int (*)()>("fake_ghostty_pending_threads")(); }
    double lastScale() { return get<double (*)()>("fake_ghostty_last_scale")(); }
    QByteArray lastWorkingDirectory() { return get<const char *(*)()>("fake_ghostty_last_working_directory")(); }
    QByteArray lastCommand() { return get<const char *(*)()>("fake_ghostty_last_command")(); }
    QByteArray lastEnv() { return get<const char *(*)()>("fake_ghostty_last_env")(); }
    void fireWakeup() { get<void (*)()>("fake_ghostty_fire_wakeup")(); }
    void fireAction(int tag, int value) { get<void (*)(int32_t, int32_t)>("fake_ghostty_fire_action")(tag, value); }
    void fireRead(int kind) { get<void (*)(int32_t)>("fake_ghostty_fire_read_clipboard")(kind); }
    void fireConfirm(const char *text, int kind)
    {
        get<void (*)(const char *, int32_t)>("fake_ghostty_fire_confirm")(text, kind);
    }
    void fireWrite(const QByteArray &bytes, int kind)
    {
        get<void (*)(const char *, size_t, int32_t)>("fake_ghostty_fire_write_clipboard")(
            bytes.constData(), size_t(bytes.size()), kind);
    }
    // Waits for the fired callbacks to return while the event loop runs.
    bool settle()
    {
        return waitUntil([this] { return pending() == 0; });
    }
};

// The hosting view as the bridge sees it; records every call and its thread.
struct Host
{
    int activity = 0;
    QList<std::optional<qint64>> finished;
    bool offMainThread = false;
    QByteArray clipboard;
    bool hasClipboard = true;
    QList<QByteArray> written;
    std::optional<bool> allowRead; // absent: no decision function at all
    int readRequests = 0;

    tessaron_ghostty_host interface()
    {
        tessaron_ghostty_host host {};
        host.view = this;
        host.context = this;
        host.did_receive_output_activity = [](void *context) {
            auto *self = static_cast<Host *>(context);
            self->noteThread();
            ++self->activity;
        };
        host.did_finish_command = [](void *context, bool hasCode, int64_t code) {
            auto *self = static_cast<Host *>(context);
            self->noteThread();
            self->finished.append(hasCode ? std::optional<qint64>(code) : std::nullopt);
        };
        host.read_clipboard_text = [](void *context) -> char * {
            auto *self = static_cast<Host *>(context);
            self->noteThread();
            ++self->readRequests;
            return self->hasClipboard ? strdup(self->clipboard.constData()) : nullptr;
        };
        host.write_clipboard_text = [](void *context, const char *text) {
            auto *self = static_cast<Host *>(context);
            self->noteThread();
            self->written.append(text);
        };
        if (allowRead) {
            host.allow_program_clipboard_read = [](void *context) {
                auto *self = static_cast<Host *>(context);
                self->noteThread();
                return *self->allowRead;
            };
        }
        return host;
    }
    void noteThread()
    {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            offMainThread = true;
    }
};

struct SessionDeleter
{
    void operator()(tessaron_ghostty_session *session) const { tessaron_ghostty_session_destroy(session); }
};
using Session = std::unique_ptr<tessaron_ghostty_session, SessionDeleter>;

const QByteArray kKeybinds = "# Tessaron embedded Ghostty keybind overrides.\n"
                             "keybind = ctrl+a=text:\\x01\n"
                             "keybind = ctrl+e=text:\\x05\n"
                             "keybind = ctrl+u=text:\\x15\n"
                             "keybind = ctrl+k=text:\\x0b\n"
                             "keybind = ctrl+w=text:\\x17\n"
                             "keybind = ctrl+c=text:\\x03\n"
                             "keybind = ctrl+r=text:\\x12\n"
                             "keybind = ctrl+d=text:\\x04\n"
                             "keybind = ctrl+l=text:\\x0c\n";

} // namespace

class TerminalBridgeTest : public QObject
{
    Q_OBJECT

    Fake m_fake;
    QTemporaryDir m_tmp;

    Session create(Host &host, const tessaron_ghostty_session_options *options = nullptr, QByteArray *error = nullptr)
    {
        char buffer[512] = "stale";
        const tessaron_ghostty_host interface = host.interface();
        Session session(tessaron_ghostty_session_create(&interface, options, fakePath().constData(), buffer, 512));
        if (error)
            *error = buffer;
        return session;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        qputenv("TMPDIR", m_tmp.path().toUtf8());
        char error[512];
        QVERIFY2(tessaron_ghostty_is_available(fakePath().constData(), error, sizeof error), error);
        m_fake.handle = dlopen(fakePath().constData(), RTLD_NOW | RTLD_NOLOAD);
        QVERIFY(m_fake.handle);
    }

    void init()
    {
        m_fake.reset();
        qputenv("TMPDIR", m_tmp.path().toUtf8());
    }

    void initialisationIsRetriedAfterAFailure()
    {
        Host host;
        m_fake.setInitResult(-7);
        QByteArray error;
        QVERIFY(!create(host, nullptr, &error));
        QCOMPARE(error, QByteArray("ghostty_init failed with code -7"));
        QCOMPARE(m_fake.lines(), QList<QByteArray> {"ghostty_init 1 tessaron (null)"});
        m_fake.reset(); // succeeds from now on
        QVERIFY(create(host));
        QVERIFY(m_fake.log().startsWith("ghostty_init 1 tessaron (null)\nghostty_config_new\n"));
        m_fake.reset();
        QVERIFY(create(host));
        QVERIFY(!m_fake.log().contains("ghostty_init")); // once per process
    }

    void creationCallsTheLibraryInOrder()
    {
        Host host;
        m_fake.setReadText("prompt");
        QByteArray error;
        Session session = create(host, nullptr, &error);
        QVERIFY(session);
        QCOMPARE(error, QByteArray());
        const QByteArray keybindPath = QDir(m_tmp.path()).filePath("tessaron-ghostty-keybinds.config").toUtf8();
        const QList<QByteArray> expected {
            "ghostty_config_new",
            "ghostty_config_load_default_files",
            "ghostty_config_load_file " + keybindPath,
            "ghostty_config_finalize",
            "ghostty_app_new selection=1",
            "ghostty_surface_config_new",
            "ghostty_surface_new platform=1 font=0 initial=(null) wait=0 context=0",
            "ghostty_app_tick",
            "ghostty_surface_read_text 1/1/0/0 1/2/0/0 0",
            "ghostty_surface_free_text",
        };
        QCOMPARE(m_fake.lines(), expected);
        QCOMPARE(host.activity, 0); // the first read only stores the baseline
        QCOMPARE(m_fake.lastScale(), 2.0);
        QCOMPARE(m_fake.lastWorkingDirectory(), QByteArray("(null)"));
        QCOMPARE(m_fake.lastCommand(), QByteArray("(null)"));

        m_fake.reset();
        session.reset();
        QCOMPARE(
            m_fake.lines(), (QList<QByteArray> {"ghostty_surface_free", "ghostty_app_free", "ghostty_config_free"}));
    }

    void failuresReleaseWhatWasBuilt_data()
    {
        QTest::addColumn<QByteArray>("failing");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QList<QByteArray>>("tail");
        QTest::newRow("config") << QByteArray("ghostty_config_new") << QByteArray("ghostty_config_new failed")
                                << QList<QByteArray> {"ghostty_config_new"};
        QTest::newRow("app") << QByteArray("ghostty_app_new") << QByteArray("ghostty_app_new failed")
                             << QList<QByteArray> {"ghostty_app_new selection=1", "ghostty_config_free"};
        QTest::newRow("surface") << QByteArray("ghostty_surface_new") << QByteArray("ghostty_surface_new failed")
                                 << QList<QByteArray> {"ghostty_app_free", "ghostty_config_free"};
    }
    void failuresReleaseWhatWasBuilt()
    {
        QFETCH(QByteArray, failing);
        QFETCH(QByteArray, message);
        QFETCH(QList<QByteArray>, tail);
        Host host;
        m_fake.fail(failing.constData());
        QByteArray error;
        QVERIFY(!create(host, nullptr, &error));
        QCOMPARE(error, message);
        const QList<QByteArray> lines = m_fake.lines();
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
        QCOMPARE(host.activity, 0);
    }

    void optionsReachTheSurface_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<bool>("withValues");
        QTest::addColumn<double>("expectedScale");
        QTest::addColumn<QByteArray>("expectedEnv");
        QTest::newRow("scale and pairs") << 1.5 << true << 1.5 << QByteArray("A=1;B=two;");
        QTest::newRow("zero scale") << 0.0 << true << 2.0 << QByteArray("A=1;B=two;");
        QTest::newRow("negative scale") << -1.0 << true << 2.0 << QByteArray("A=1;B=two;");
        QTest::newRow("not a number") << qQNaN() << true << 2.0 << QByteArray("A=1;B=two;");
        QTest::newRow("count without values") << 1.0 << false << 1.0 << QByteArray();
    }
    void optionsReachTheSurface()
    {
        QFETCH(double, scale);
        QFETCH(bool, withValues);
        QFETCH(double, expectedScale);
        QFETCH(QByteArray, expectedEnv);
        const char *keys[] = {"A", "B"};
        const char *values[] = {"1", "two"};
        tessaron_ghostty_session_options options {"/work/x", "zsh -l", keys, withValues ? values : nullptr, 2, scale};
        Host host;
        Session session = create(host, &options);
        QVERIFY(session);
        QCOMPARE(m_fake.lastScale(), expectedScale);
        QCOMPARE(m_fake.lastWorkingDirectory(), QByteArray("/work/x"));
        QCOMPARE(m_fake.lastCommand(), QByteArray("zsh -l"));
        QCOMPARE(m_fake.lastEnv(), expectedEnv);
    }

    void keybindFileFollowsTheTemporaryFolder_data()
    {
        QTest::addColumn<QByteArray>("tmpdir"); // "-" unset
        QTest::addColumn<QByteArray>("runtimeDir");
        QTest::addColumn<QString>("expectedFolder"); // empty: no file loaded
        const QByteArray tmp = m_tmp.path().toUtf8();
        QTest::newRow("TMPDIR") << tmp + "/t" << tmp + "/r" << m_tmp.path() + "/t";
        QTest::newRow("TMPDIR with slash") << tmp + "/t/" << tmp + "/r" << m_tmp.path() + "/t";
        QTest::newRow("TMPDIR empty") << QByteArray("") << tmp + "/r" << m_tmp.path() + "/r";
        QTest::newRow("TMPDIR unset") << QByteArray("-") << tmp + "/r" << m_tmp.path() + "/r";
        QTest::newRow("neither") << QByteArray("-") << QByteArray("") << m_tmp.path() + "/data/com.tessaron.app";
        QTest::newRow("too long") << tmp + "/" + QByteArray(1000, 'd') << tmp + "/r" << QString();
    }
    void keybindFileFollowsTheTemporaryFolder()
    {
        QFETCH(QByteArray, tmpdir);
        QFETCH(QByteArray, runtimeDir);
        QFETCH(QString, expectedFolder);
        for (const char *sub : {"t", "r", "data"})
            QDir(m_tmp.path()).mkpath(sub);
        const QByteArray savedData = qgetenv("XDG_DATA_HOME"), savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_DATA_HOME", (m_tmp.path() + "/data").toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtimeDir);
        if (tmpdir == "-")
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", tmpdir);
        Host host;
        Session session = create(host);
        qputenv("XDG_DATA_HOME", savedData);
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        QVERIFY(session); // the session is made whatever became of the file
        if (expectedFolder.isEmpty()) {
            QVERIFY(!m_fake.log().contains("ghostty_config_load_file"));
            return;
        }
        const QString path = expectedFolder + "/tessaron-ghostty-keybinds.config";
        QVERIFY2(m_fake.log().contains("ghostty_config_load_file " + path.toUtf8() + "\n"), m_fake.log());
        QCOMPARE(m_fake.keybinds(), kKeybinds);
        QCOMPARE(kKeybinds.size(), 290);
        struct stat status;
        QCOMPARE(stat(path.toUtf8().constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, mode_t(0600));
        QFile::remove(path);
    }

    void keybindFileIsNeverReachedThroughALinkOrAnotherOwner()
    {
        const QString folder = m_tmp.path() + "/guarded";
        QDir().mkpath(folder);
        qputenv("TMPDIR", folder.toUtf8());
        const QString path = folder + "/tessaron-ghostty-keybinds.config";
        const QString target = m_tmp.path() + "/precious";
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
        file.close();
        QVERIFY(QFile::link(target, path));
        Host host;
        QVERIFY(create(host));
        QVERIFY(!m_fake.log().contains("ghostty_config_load_file"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
        file.close();
        QFile::remove(path);

        if (geteuid() != 0)
            return; // only root can hand the file to another user
        QVERIFY(QFile::copy(target, path));
        QCOMPARE(chown(path.toUtf8().constData(), 65534, 65534), 0);
        m_fake.reset();
        QVERIFY(create(host));
        QVERIFY(!m_fake.log().contains("ghostty_config_load_file"));
        QFile other(path);
        QVERIFY(other.open(QIODevice::ReadOnly));
        QCOMPARE(other.readAll(), QByteArray("keep me"));
    }

    void inputIsForwardedAndTicked()
    {
        Host host;
        Session session = create(host);
        QVERIFY(session);
        m_fake.reset();
        tessaron_ghostty_session_set_size(session.get(), 800, 600);
        tessaron_ghostty_session_set_content_scale(session.get(), 0);
        tessaron_ghostty_session_set_content_scale(session.get(), 1.25);
        tessaron_ghostty_session_set_focus(session.get(), true);
        tessaron_ghostty_session_send_text(session.get(), "");
        tessaron_ghostty_session_send_text(session.get(), nullptr);
        QCOMPARE(m_fake.lines(),
            (QList<QByteArray> {"ghostty_surface_set_size 800 600", "ghostty_surface_set_content_scale 1 1",
                "ghostty_surface_set_content_scale 1.25 1.25", "ghostty_surface_set_focus 1"}));
        m_fake.reset();
        tessaron_ghostty_session_send_text(session.get(), "ls é");
        m_fake.setKeyResult(false);
        QVERIFY(!tessaron_ghostty_session_send_key(session.get(), 8, "c", 0x08, true, 'c', false));
        m_fake.setKeyResult(true);
        QVERIFY(tessaron_ghostty_session_send_key(session.get(), 123, nullptr, 0x03, false, 0, true));
        tessaron_ghostty_session_send_mouse_scroll(session.get(), 2.5, -4, 7);
        const QList<QByteArray> read {
            "ghostty_app_tick", "ghostty_surface_read_text 1/1/0/0 1/2/0/0 0", "ghostty_surface_free_text"};
        QList<QByteArray> expected {"ghostty_surface_text ls é 5"};
        expected += read;
        expected += "ghostty_surface_key action=2 mods=8 consumed=0 keycode=8 text=c unshifted=99 composing=0";
        expected += read;
        expected += "ghostty_surface_key action=1 mods=3 consumed=0 keycode=123 text=(null) unshifted=0 composing=1";
        expected += read;
        expected += "ghostty_surface_mouse_scroll 2.5 -4 7";
        expected += read;
        QCOMPARE(m_fake.lines(), expected);

        // Nothing reaches the library without a session.
        tessaron_ghostty_session_set_size(nullptr, 1, 1);
        tessaron_ghostty_session_send_text(nullptr, "x");
        QVERIFY(!tessaron_ghostty_session_send_key(nullptr, 36, "\r", 0, false, 13, false));
        tessaron_ghostty_session_send_mouse_scroll(nullptr, 1, 1, 0);
        tessaron_ghostty_session_destroy(nullptr);
        QCOMPARE(m_fake.lines().size(), expected.size());
    }

    void onlyAChangedScreenIsReported()
    {
        Host host;
        m_fake.setReadText("one");
        Session session = create(host);
        QVERIFY(session);
        QList<int> seen;
        auto send = [&] {
            tessaron_ghostty_session_send_text(session.get(), "x");
            seen.append(host.activity);
        };
        send(); // same text as the baseline
        m_fake.setReadText("two");
        send(); // changed
        send(); // same again
        m_fake.setReadText(nullptr);
        send(); // empty text is a text too
        m_fake.setReadFails(true);
        send(); // a failing read always tells
        send();
        QCOMPARE(seen, (QList<int> {0, 1, 1, 2, 3, 4}));
        QVERIFY(!host.offMainThread);
    }

    void libraryCallbacksLandOnTheMainThread()
    {
        Host host;
        Session session = create(host);
        QVERIFY(session);
        m_fake.reset();
        m_fake.fireWakeup();
        QVERIFY(m_fake.settle());
        QVERIFY(waitUntil([&] { return m_fake.log().contains("ghostty_app_tick\nghostty_surface_read_text"); }));

        for (int tag :
            {TESSARON_TERM_ACTION_RING_BELL, TESSARON_TERM_ACTION_SET_TITLE, TESSARON_TERM_ACTION_OUTPUT_NOTICE, 99})
            m_fake.fireAction(tag, 0);
        QVERIFY(m_fake.settle());
        QVERIFY(waitUntil([&] { return host.activity == 3; }));

        m_fake.fireAction(TESSARON_TERM_ACTION_CHILD_EXITED, int(0xFFFFFFFF));
        QVERIFY(m_fake.settle());
        QVERIFY(waitUntil([&] { return host.finished.size() == 1; }));
        m_fake.fireAction(TESSARON_TERM_ACTION_COMMAND_FINISHED, -1);
        QVERIFY(m_fake.settle());
        QVERIFY(waitUntil([&] { return host.finished.size() == 2; }));
        m_fake.fireAction(TESSARON_TERM_ACTION_COMMAND_FINISHED, 3);
        QVERIFY(m_fake.settle());
        QVERIFY(waitUntil([&] { return host.finished.size() == 3; }));
        TestSupport::drainMainThread();
        QCOMPARE(host.finished, (QList<std::optional<qint64>> {qint64(4294967295LL), std::nullopt, qint64(3)}));
        QCOMPARE(host.activity, 3);
        QVERIFY(!host.offMainThread);
    }

    void workQueuedForADestroyedSessionDoesNothing()
    {
        auto host = std::make_unique<Host>();
        Session session = create(*host);
        QVERIFY(session);
        m_fake.fireWakeup();
        m_fake.fireAction(TESSARON_TERM_ACTION_RING_BELL, 0);
        m_fake.fireAction(TESSARON_TERM_ACTION_CHILD_EXITED, 1);
        // Let the callbacks queue their work without running it.
        QDeadlineTimer deadline(5000);
        while (m_fake.pending() > 0 && !deadline.hasExpired())
            QThread::msleep(2);
        QCOMPARE(m_fake.pending(), 0);
        session.reset();
        host.reset(); // a late call would touch freed memory (caught under the address sanitizer)
        m_fake.reset();
        TestSupport::drainMainThread(10);
        QCOMPARE(m_fake.log(), QByteArray());
    }

    void clipboardKinds()
    {
        Host host;
        host.clipboard = "from the clipboard";
        Session session = create(host);
        QVERIFY(session);
        auto completion = [&](auto fire) {
            const int before = m_fake.completions();
            fire();
            if (!m_fake.settle())
                return QByteArray("(timed out)");
            // A program's read is answered on a later turn, after the question.
            waitUntil([&] { return m_fake.completions() > before; }, 5000);
            return m_fake.completions() == before + 1 ? m_fake.completed() : QByteArray("(not completed)");
        };
        // Reads take the standard clipboard, whatever the kind asked for.
        QCOMPARE(completion([&] { m_fake.fireRead(TESSARON_TERM_CLIPBOARD_STANDARD); }), host.clipboard);
        QCOMPARE(completion([&] { m_fake.fireRead(TESSARON_TERM_CLIPBOARD_SELECTION); }), host.clipboard);
        host.hasClipboard = false;
        QCOMPARE(completion([&] { m_fake.fireRead(TESSARON_TERM_CLIPBOARD_STANDARD); }), QByteArray());
        QVERIFY(m_fake.log().contains("ghostty_surface_complete_clipboard_request  0x5eed 0\n"));

        // A user paste goes through as offered; a program's read needs an Allow.
        QCOMPARE(completion([&] { m_fake.fireConfirm("pasted", TESSARON_TERM_CLIPBOARD_REQUEST_PASTE); }),
            QByteArray("pasted"));
        QCOMPARE(completion([&] { m_fake.fireConfirm(nullptr, TESSARON_TERM_CLIPBOARD_REQUEST_PASTE); }), QByteArray());
        QCOMPARE(completion([&] { m_fake.fireConfirm("secret", TESSARON_TERM_CLIPBOARD_REQUEST_OSC52_READ); }),
            QByteArray());
        host.allowRead = false;
        Session denying = create(host);
        QCOMPARE(completion([&] { m_fake.fireConfirm("secret", TESSARON_TERM_CLIPBOARD_REQUEST_OSC52_READ); }),
            QByteArray());
        host.allowRead = true;
        Session allowing = create(host);
        QCOMPARE(completion([&] { m_fake.fireConfirm("secret", TESSARON_TERM_CLIPBOARD_REQUEST_OSC52_READ); }),
            QByteArray("secret"));

        // Writes: valid UTF-8 only, any kind to the standard clipboard.
        m_fake.fireWrite("copied ✓", TESSARON_TERM_CLIPBOARD_SELECTION);
        m_fake.fireWrite(QByteArray("bad \xff byte"), TESSARON_TERM_CLIPBOARD_STANDARD);
        m_fake.fireWrite(QByteArray(), TESSARON_TERM_CLIPBOARD_STANDARD);
        m_fake.fireWrite(QByteArray("\xed\xa0\x80"), TESSARON_TERM_CLIPBOARD_STANDARD); // a lone surrogate
        QVERIFY(m_fake.settle());
        QCOMPARE(host.written, QList<QByteArray> {"copied ✓"});
        QVERIFY(!host.offMainThread);
    }
};

QTEST_GUILESS_MAIN(TerminalBridgeTest)
#include "tst_TerminalBridge.moc"
