// Output throughput of a terminal tab: `seq 1 200000` in a shown terminal
// through the bridge and our terminal library, offscreen. Prints the time
// until the last line is on screen and the longest stall of the main thread
// (the gap between two turns of a 2 ms timer) while the output streams, and
// the events that filled that stall.
// Goals: settled in under 2 s, no stall over 16 ms.

#include "terminal/tessaron_ghostty_bridge.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <vector>

namespace {

// Times every event the application delivers while a round runs, so the
// longest stall can be told apart: which events filled it, and how long each
// took.
struct EventSpan
{
    qint64 startUs, lengthUs;
    int type;
    const char *receiver;
};

class TimedApplication final : public QApplication
{
public:
    using QApplication::QApplication;
    const QElapsedTimer *clock = nullptr; // set while a round runs
    std::vector<EventSpan> spans;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!clock || m_depth > 0)
            return QApplication::notify(receiver, event);
        ++m_depth;
        const qint64 start = clock->nsecsElapsed();
        const int type = event->type(); // the event may be gone afterwards
        const char *name = receiver->metaObject()->className();
        const bool result = QApplication::notify(receiver, event);
        const qint64 length = clock->nsecsElapsed() - start;
        --m_depth;
        if (length > 300'000)
            spans.push_back({start / 1000, length / 1000, type, name});
        return result;
    }

private:
    int m_depth = 0;
};

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
    TimedApplication app(argc, argv);
    QTextStream out(stdout);
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        QWidget view;
        view.resize(1000, 600);
        view.show();
        // A user's terminal is on screen before its output streams: let the
        // window be exposed and painted first.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
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

        app.clock = &clock;
        app.spans.clear();
        qint64 last = clock.elapsed(), longestStall = 0, stallAt = 0;
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&beat, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            if (now - last > longestStall) {
                longestStall = now - last;
                stallAt = now;
            }
            last = now;
        });
        beat.start(2);
        while (!(host.finished && lastLineShown(session)) && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const qint64 settled = clock.elapsed();
        beat.stop();
        out << "round " << round + 1 << ": settled in " << settled << " ms, longest main-thread stall " << longestStall
            << " ms" << (host.finished ? "" : " (did not finish)") << Qt::endl;
        // What filled the longest stall: the events over 0.3 ms in it.
        for (const EventSpan &span : app.spans) {
            if (span.startUs / 1000 >= stallAt - longestStall - 1 && span.startUs / 1000 <= stallAt) {
                out << "  in it at " << span.startUs / 1000 << " ms: event " << span.type << " to " << span.receiver
                    << ", " << span.lengthUs << " us" << Qt::endl;
            }
        }
        app.clock = nullptr;
        tessaron_ghostty_session_destroy(session);
    }
    return 0;
}
