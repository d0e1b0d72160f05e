// Output throughput of a terminal tab: `seq 1 200000` in a shown terminal
// through the bridge and our terminal library, offscreen. Prints the time
// until the last line is on screen and the longest stall of the main thread
// (the gap between two turns of a 2 ms timer) while the output streams.
// Goals: settled in under 2 s, no stall over 16 ms.

#include "terminal/tessaron_ghostty_bridge.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>
#include <QWidget>
#include <algorithm>

namespace {

struct Host
{
    bool finished = false;
    tessaron_ghostty_host interface(QWidget *view)
    {
        tessaron_ghostty_host host {};
        host.view = view;
        host.context = this;
        host.did_finish_command = [](void *context, bool, int64_t) { static_cast<Host *>(context)->finished = true; };
        return host;
    }
};

bool lastLineShown(tessaron_ghostty_session *session)
{
    char *text = tessaron_ghostty_session_copy_visible_text(session);
    const bool shown = text && strstr(text, "\n200000");
    free(text);
    return shown;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        QWidget view;
        view.resize(1000, 600);
        view.show();
        Host host;
        const tessaron_ghostty_host interface = host.interface(&view);
        tessaron_ghostty_session_options options {nullptr, "seq 1 200000", nullptr, nullptr, 0, 1.0};
        char error[512];
        QElapsedTimer clock;
        clock.start();
        tessaron_ghostty_session *session
            = tessaron_ghostty_session_create(&interface, &options, TESSARON_TERM_LIBRARY_PATH, error, sizeof error);
        if (!session) {
            out << "no session: " << error << Qt::endl;
            return 1;
        }
        tessaron_ghostty_session_set_size(session, 1000, 600);

        qint64 last = clock.elapsed(), longestStall = 0;
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&beat, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            longestStall = std::max(longestStall, now - last);
            last = now;
        });
        beat.start(2);
        while (!(host.finished && lastLineShown(session)) && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const qint64 settled = clock.elapsed();
        beat.stop();
        out << "round " << round + 1 << ": settled in " << settled << " ms, longest main-thread stall " << longestStall
            << " ms" << (host.finished ? "" : " (did not finish)") << Qt::endl;
        tessaron_ghostty_session_destroy(session);
    }
    return 0;
}
