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

using TestSupport::waitUntil;

namespace {

struct Host
{
    int activity = 0;
    QList<std::optional<qint64>> finished;

    tessaron_ghostty_host interface(QWidget *view)
    {
        tessaron_ghostty_host host {};
        host.view = view;
        host.context = this;
        host.did_receive_output_activity = [](void *context) { ++static_cast<Host *>(context)->activity; };
        host.did_finish_command = [](void *context, bool hasCode, int64_t code) {
            static_cast<Host *>(context)->finished.append(hasCode ? std::optional<qint64>(code) : std::nullopt);
        };
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

        tessaron_ghostty_session_send_text(
            session, "printf '\\e[48;2;10;200;30mGREEN\\e[0m in %s\\n' \"${PWD##*/}\"; exit 3\r");
        QVERIFY2(waitUntil([&] { return !host.finished.isEmpty(); }), qPrintable(visibleText(session)));
        QCOMPARE(host.finished, QList<std::optional<qint64>> {qint64(3)});
        QVERIFY(host.activity > 0);
        const QString text = visibleText(session);
        QVERIFY2(text.contains("GREEN in " + QDir(workspace.path()).dirName() + "\n"), qPrintable(text));

        QCoreApplication::processEvents();
        const QImage image = view.grab().toImage();
        QVERIFY(pixelsOf(image, QColor(10, 200, 30)) > 100);
        // The default background is left to the host.
        QVERIFY(pixelsOf(image, QColor(0, 0, 0)) == 0 || view.palette().window().color() == Qt::black);

        tessaron_ghostty_session_destroy(session);
        TestSupport::drainMainThread();
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
