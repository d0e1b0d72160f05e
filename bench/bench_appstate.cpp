// End-to-end throughput of the application state: 200 queued tasks delegated
// to the Brimlock stand-in (each printing 1,000 lines), four at a time.
// Reports wall time, events per second, the main thread's busy share and the
// peak resident memory. Runs in a throw-away home; never part of the tests.
#include "agents/BrimlockSessionTerminator.h"
#include "platform/SettingsStore.h"
#include "state/AppState.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <ctime>

namespace {

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir root;
    for (const char *sub : {"home", "config", "data"})
        QDir(root.path()).mkpath(QLatin1String(sub));
    qputenv("HOME", (root.path() + "/home").toUtf8());
    qputenv("XDG_CONFIG_HOME", (root.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (root.path() + "/data").toUtf8());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QCoreApplication application(argc, argv);

    const int taskCount = argc > 1 ? QByteArray(argv[1]).toInt() : 200;
    const int linesPerTask = 1000;

    // The stand-in where a user's install would be found, with its scenario.
    const QString bin = root.path() + "/home/.brimlock/bin";
    QDir().mkpath(bin);
    QFile::copy(QStringLiteral(TESSARON_FIXTURES_DIR) + "/brimlock/brimlock", bin + "/brimlock");
    QFile::setPermissions(bin + "/brimlock", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString standInDir = root.path() + "/standin";
    QDir().mkpath(standInDir);
    qputenv("BRIMLOCK_STANDIN_DIR", standInDir.toUtf8());
    QString output;
    for (int i = 1; i <= linesPerTask; ++i)
        output += QStringLiteral("line %1 of the worker's output\n").arg(i);
    output += QStringLiteral("All completed successfully.\n");
    const QJsonObject scenario {
        {"agent", QJsonObject {{"*", QJsonObject {{"text", "Dispatched `qs-worker-1` now running"}}}}},
        {"history", QJsonObject {{"*", QJsonArray {QJsonObject {{"stdout", output}}}}}}};
    QFile scenarioFile(standInDir + "/scenario.json");
    scenarioFile.open(QIODevice::WriteOnly);
    scenarioFile.write(QJsonDocument(scenario).toJson());
    scenarioFile.close();

    MemorySettingsStore settings, standard, legacy;
    AppStateOptions options;
    options.dataDirectory = root.path() + "/appdata";
    options.standardDefaults = &standard;
    options.legacyDefaults = &legacy;
    options.notificationOutput = [](const QString &) {};
    AppState state(settings, std::make_unique<BrimlockSessionTerminator>(), std::move(options));

    bool booted = false;
    auto boot = [&]() -> QCoro::Task<> {
        auto bootstrapping = state.bootstrap();
        co_await std::move(bootstrapping);
        booted = true;
    };
    boot();
    while (!booted)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const QUuid project = state.projects().first().id;
    state.setWorkerPoolSize(project, 4);

    qint64 events = 0;
    int finished = 0;
    auto counter = BLEventBus::shared().subscribe([&](const BL_Event &event) {
        ++events;
        if (event.type == BL_EventType::workerTaskCompleted || event.type == BL_EventType::workerTaskFailed)
            ++finished;
    });

    // Busy share: the main thread's CPU time over the wall time.
    auto mainThreadCpuSeconds = [] {
        timespec now {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return now.tv_sec + now.tv_nsec / 1e9;
    };
    const double cpuAtStart = mainThreadCpuSeconds();

    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < taskCount; ++i) {
        TaskCreationRequest request;
        request.projectID = project;
        request.title = QStringLiteral("Task %1").arg(i);
        request.priority = QStringLiteral("medium");
        request.sizeEstimate = QStringLiteral("M");
        request.initialStatus = BL_TaskStatus::queued;
        state.createTask(request);
    }
    while (finished < taskCount && wall.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    auto flushing = state.taskLogWriter().flush();
    while (!flushing.isFinished())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double busyShare = (mainThreadCpuSeconds() - cpuAtStart) / seconds;

    std::printf("tasks finished      %d of %d (pool size 4, %d lines each)\n", finished, taskCount, linesPerTask);
    std::printf("wall time           %.2f s\n", seconds);
    std::printf("events              %lld (%.0f per second)\n", static_cast<long long>(events), events / seconds);
    std::printf("main thread busy    %.2f %%\n", busyShare * 100.0);
    std::printf("peak resident       %.1f MiB\n", peakResidentKiB() / 1024.0);
    return finished == taskCount ? 0 : 1;
}
