// A real terminal: our library found through the bridge's search list, a zsh
// in a temporary workspace, painted offscreen.
#include "terminal/tessaron_ghostty_bridge.h"

#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <functional>

using TestSupport::waitUntil;

namespace {

struct Host
{
    int activity = 0;
    QList<std::optional<qint64>> finished;
    QByteArray clipboard;
    QList<QByteArray> written;
    std::optional<bool> allowRead;
    // Runs while the user is asked about a program's clipboard read.
    std::function<void()> whileAsking;
    int asked = 0;

    tessaron_ghostty_host interface(QWidget *view)
    {
        tessaron_ghostty_host host {};
        host.view = view;
        host.context = this;
        host.did_receive_output_activity = [](void *context) { ++static_cast<Host *>(context)->activity; };
        host.did_finish_command = [](void *context, bool hasCode, int64_t code) {
            static_cast<Host *>(context)->finished.append(hasCode ? std::optional<qint64>(code) : std::nullopt);
        };
        host.read_clipboard_text
            = [](void *context) -> char * { return strdup(static_cast<Host *>(context)->clipboard.constData()); };
        host.write_clipboard_text
            = [](void *context, const char *text) { static_cast<Host *>(context)->written.append(text); };
        if (allowRead) {
            host.allow_program_clipboard_read = [](void *context) {
                auto *self = static_cast<Host *>(context);
                ++self->asked;
                if (self->whileAsking)
                    self->whileAsking();
                return *self->allowRead;
            };
        }
        return host;
    }
};

QString visibleText(tessaron_ghostty_session *session)
{
    char *text = tessaron_ghostty_session_copy_visible_text(session);
    const QString result = text ? QString::fromUtf8(text) : QString();
    free(text);
    return result;
}

int pixelsOf(const QImage &image, QColor color)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == color)
                ++count;
        }
    }
    return count;
}

} // namespace

class TerminalSessionTest : public QObject
{
    Q_OBJECT

private slots:
    void shellRunsAndFinishes()
    {
        QTemporaryDir workspace(QDir::tempPath() + "/it's a workspace-XXXXXX");
        QVERIFY(workspace.isValid());
        QWidget view;
        view.resize(720, 360);
        view.setStyleSheet(QStringLiteral("background: #1e2430"));
        view.show();
        Host host;
        const tessaron_ghostty_host interface = host.interface(&view);
        const QByteArray folder = workspace.path().toUtf8();
        tessaron_ghostty_session_options options {folder.constData(), "zsh -f", nullptr, nullptr, 0, 1.0};
        char error[512];
        // No path: the search list ends with our library beside the executable.
        tessaron_ghostty_session *session = tessaron_ghostty_session_create(&interface, &options, nullptr, error, 512);
        QVERIFY2(session, error);
        tessaron_ghostty_session_set_content_scale(session, 1.0);
        tessaron_ghostty_session_set_size(session, 720, 360);
        tessaron_ghostty_session_set_focus(session, true);

        tessaron_ghostty_session_send_text(session,
            "print -P '%F{red}red%f %B%F{blue}bold blue%f%b %U%F{226}under%f%u \\e[7mreverse\\e[0m é ✓ 漢字'; "
            "printf '\\e[48;2;10;200;30mGREEN\\e[0m in %s\\n' \"${PWD##*/}\"; exit 3\r");
        QVERIFY2(waitUntil([&] { return !host.finished.isEmpty(); }), qPrintable(visibleText(session)));
        QCOMPARE(host.finished, QList<std::optional<qint64>> {qint64(3)});
        QVERIFY(host.activity > 0);
        const QString text = visibleText(session);
        QVERIFY2(text.contains("GREEN in " + QDir(workspace.path()).dirName() + "\n"), qPrintable(text));

        QCoreApplication::processEvents();
        const QImage image = view.grab().toImage();
        if (const QString keep = qEnvironmentVariable("TESSARON_KEEP_TERMINAL_GRAB"); !keep.isEmpty())
            image.save(keep); // for looking at the painting by eye
        QVERIFY(pixelsOf(image, QColor(10, 200, 30)) > 100);
        // The default background is left to the host.
        QCOMPARE(image.pixelColor(image.width() - 2, image.height() - 2), QColor(0x1e, 0x24, 0x30));

        tessaron_ghostty_session_destroy(session);
        TestSupport::drainMainThread();
    }

    void programMarksBecomeActions()
    {
        QWidget view;
        view.resize(400, 200);
        Host host;
        const tessaron_ghostty_host interface = host.interface(&view);
        // A bell, a title, then a shell's finished-command mark with status 5.
        tessaron_ghostty_session_options options {nullptr,
            "printf '\\a'; sleep 0.2; printf '\\033]2;title\\007'; sleep 0.2; "
            "printf '\\033]133;D;5\\007'; sleep 0.2; exit 0",
            nullptr, nullptr, 0, 1.0};
        char error[512];
        tessaron_ghostty_session *session = tessaron_ghostty_session_create(&interface, &options, nullptr, error, 512);
        QVERIFY2(session, error);
        QVERIFY(waitUntil([&] { return host.finished.size() == 2; }));
        QCOMPARE(host.finished, (QList<std::optional<qint64>> {qint64(5), qint64(0)}));
        QVERIFY(host.activity >= 2);
        tessaron_ghostty_session_destroy(session);
    }

    void programClipboardReadNeedsAllow_data()
    {
        QTest::addColumn<int>("decision"); // -1 none, 0 deny, 1 allow
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("no decision") << -1 << QByteArray("\x1b]52;c;\x07");
        QTest::newRow("denied") << 0 << QByteArray("\x1b]52;c;\x07");
        QTest::newRow("allowed") << 1 << "\x1b]52;c;" + QByteArray("secret").toBase64() + "\x07";
    }
    void programClipboardReadNeedsAllow()
    {
        QFETCH(int, decision);
        QFETCH(QByteArray, reply);
        QWidget view;
        view.resize(400, 200);
        Host host;
        host.clipboard = "secret";
        if (decision >= 0)
            host.allowRead = decision == 1;
        const tessaron_ghostty_host interface = host.interface(&view);
        // The program asks for the clipboard, shows what it got, and writes its own text.
        const QByteArray command = "stty raw -echo; printf '\\033]52;c;?\\007'; printf 'got:%s.\\r\\n' "
                                   "\"$(head -c "
            + QByteArray::number(reply.size()) + " | base64 -w0)\"; printf '\\033]52;c;aGVsbG8=\\007'; sleep 0.2";
        tessaron_ghostty_session_options options {nullptr, command.constData(), nullptr, nullptr, 0, 1.0};
        char error[512];
        tessaron_ghostty_session *session = tessaron_ghostty_session_create(&interface, &options, nullptr, error, 512);
        QVERIFY2(session, error);
        QVERIFY2(waitUntil([&] { return !host.finished.isEmpty(); }), qPrintable(visibleText(session)));
        QVERIFY2(visibleText(session).contains("got:" + reply.toBase64() + "."), qPrintable(visibleText(session)));
        QCOMPARE(host.written, QList<QByteArray> {"hello"});
        tessaron_ghostty_session_destroy(session);
    }

    // The question may run a nested event loop in which the terminal goes
    // away (its workspace removed meanwhile): the answer then goes nowhere.
    void sessionDestroyedWhileTheQuestionIsOpen()
    {
        QWidget view;
        view.resize(400, 200);
        Host host;
        host.clipboard = "secret";
        host.allowRead = true;
        tessaron_ghostty_session *session = nullptr;
        host.whileAsking = [&] {
            tessaron_ghostty_session_destroy(session);
            session = nullptr;
        };
        const tessaron_ghostty_host interface = host.interface(&view);
        tessaron_ghostty_session_options options {
            nullptr, "stty raw -echo; printf '\\033]52;c;?\\007'; sleep 5", nullptr, nullptr, 0, 1.0};
        char error[512];
        session = tessaron_ghostty_session_create(&interface, &options, nullptr, error, 512);
        QVERIFY2(session, error);
        QVERIFY(waitUntil([&] { return host.asked == 1; }));
        QVERIFY(!session);
        TestSupport::drainMainThread();
        QVERIFY(host.finished.isEmpty());
    }

    void floodsOfOutputArriveWhole()
    {
        // Wide and few rows: every line that scrolls costs the screen a move
        // of each row, which the sanitizers make slow; what matters here is
        // the amount of output.
        QWidget view;
        view.resize(6000, 80);
        Host host;
        const tessaron_ghostty_host interface = host.interface(&view);
        // 4.8 MB: more than the reader holds and far more than one tick feeds.
        tessaron_ghostty_session_options options {
            nullptr, "awk 'BEGIN { for (i = 1; i <= 12000; i++) printf \"%0400d\\n\", i }'", nullptr, nullptr, 0, 1.0};
        char error[512];
        tessaron_ghostty_session *session = tessaron_ghostty_session_create(&interface, &options, nullptr, error, 512);
        QVERIFY2(session, error);
        tessaron_ghostty_session_set_size(session, 6000, 80); // before the first tick feeds anything
        QVERIFY(waitUntil([&] { return !host.finished.isEmpty(); }, 30000));
        const QString text = visibleText(session);
        const auto line = [](int number) { return QStringLiteral("%1").arg(number, 400, 10, QLatin1Char('0')); };
        QVERIFY2(text.contains(line(11999) + '\n' + line(12000)), qPrintable(text));
        tessaron_ghostty_session_destroy(session);
    }

    void destroyingARunningTerminalEndsItsProgram()
    {
        QWidget view;
        view.resize(400, 200);
        Host host;
        const tessaron_ghostty_host interface = host.interface(&view);
        tessaron_ghostty_session_options options {nullptr, "sleep 30", nullptr, nullptr, 0, 1.0};
        char error[512];
        tessaron_ghostty_session *session = tessaron_ghostty_session_create(&interface, &options, nullptr, error, 512);
        QVERIFY2(session, error);
        QElapsedTimer timer;
        timer.start();
        tessaron_ghostty_session_destroy(session);
        QVERIFY(timer.elapsed() < 5000);
        TestSupport::drainMainThread();
        QVERIFY(host.finished.isEmpty());
    }
};

QTEST_MAIN(TerminalSessionTest)
#include "tst_TerminalSession.moc"
