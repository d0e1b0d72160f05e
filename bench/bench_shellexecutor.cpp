// Throughput of the shell tool executor: the Brimlock stand-in prints 50,000
// lines, one write each, through a zsh login shell; every read becomes a
// stdout-chunk event published on the main thread, where a subscriber reads
// its payload as the task tracking would. Prints events per second through
// the executor and the bus, and the main thread's share of the wall time.

#include "agents/BL_ShellToolExecutor.h"
#include "common/Text.h"
#include "model/BLEventBus.h"
#include "model/BL_Event.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <ctime>
#include <vector>

namespace {

constexpr int kLines = 50000;
constexpr int kRounds = 5;

QTextStream out(stdout);

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Round
{
    double wallSeconds = 0;
    double mainThreadSeconds = 0;
    qsizetype events = 0;
    qsizetype chunks = 0;
    bool complete = false;
};

Round runOnce(BL_ShellToolExecutor &executor, BLEventBus &bus, const QString &command, const QByteArray &expected)
{
    Round round;
    QByteArray received;
    received.reserve(expected.size());
    BLEventSubscription subscription = bus.subscribe([&](const BL_Event &event) {
        ++round.events;
        const auto payload = event.decodePayload<BL_TaskEventPayload>();
        if (payload && payload->stdoutChunk) {
            ++round.chunks;
            received += payload->stdoutChunk->toUtf8();
        }
    });

    QEventLoop loop;
    QFutureWatcher<BL_Observation> watcher;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    const double cpuBefore = threadCpuSeconds();
    clock.start();
    watcher.setFuture(executor.executeSpawned(command, QUuid::createUuid(), QUuid::createUuid(), {}));
    loop.exec();
    // Chunk events that were still queued when the result came back.
    QCoreApplication::processEvents();
    round.wallSeconds = double(clock.nsecsElapsed()) / 1e9;
    round.mainThreadSeconds = threadCpuSeconds() - cpuBefore;
    round.complete = received == expected && watcher.future().resultCount() == 1;
    return round;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);

    // A home of its own, so the login shell reads no start-up files of the user's.
    QTemporaryDir home;
    QTemporaryDir standInDir;
    qputenv("HOME", home.path().toUtf8());
    qputenv("BRIMLOCK_STANDIN_DIR", standInDir.path().toUtf8());
    QFile scenario(standInDir.filePath(QStringLiteral("scenario.json")));
    scenario.open(QIODevice::WriteOnly);
    scenario.write("{\"agent\": {\"*\": {\"lines\": " + QByteArray::number(kLines) + "}}}");
    scenario.close();

    const QString standIn = QDir::cleanPath(
        QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../tests/fixtures/brimlock/brimlock"));
    if (!QFileInfo(standIn).isExecutable()) {
        out << "stand-in not found at " << standIn << Qt::endl;
        return 1;
    }
    const QString command = Text::shellSingleQuoted(standIn)
        + QStringLiteral(" agent --agent bench --session-id bench --message hi --timeout 0");
    QByteArray expected;
    for (int line = 1; line <= kLines; ++line)
        expected += "line " + QByteArray::number(line) + '\n';

    BLEventBus bus;
    BL_ShellToolExecutor executor(bus);
    runOnce(executor, bus, command, expected); // warm-up

    std::vector<double> eventsPerSecond;
    std::vector<double> chunksPerRound;
    std::vector<double> wall;
    std::vector<double> mainShare;
    bool complete = true;
    for (int round = 0; round < kRounds; ++round) {
        const Round result = runOnce(executor, bus, command, expected);
        complete = complete && result.complete;
        eventsPerSecond.push_back(double(result.events) / result.wallSeconds);
        chunksPerRound.push_back(double(result.chunks));
        wall.push_back(result.wallSeconds);
        mainShare.push_back(result.mainThreadSeconds / result.wallSeconds);
    }

    out << "shell executor, " << kLines << " lines, median of " << kRounds << " rounds" << Qt::endl;
    out << "  output complete:        " << (complete ? "yes" : "NO") << Qt::endl;
    out << "  wall time per command:  " << QString::number(median(wall) * 1000, 'f', 1) << " ms" << Qt::endl;
    out << "  events per command:     " << QString::number(median(chunksPerRound) + 3, 'f', 0) << " (chunks + 3 status)"
        << Qt::endl;
    out << "  events per second:      " << QString::number(median(eventsPerSecond), 'f', 0) << Qt::endl;
    out << "  lines per second:       " << QString::number(kLines / median(wall), 'f', 0) << Qt::endl;
    out << "  main thread busy share: " << QString::number(median(mainShare) * 100, 'f', 1) << " %" << Qt::endl;
    return complete ? 0 : 2;
}
