// Peak memory of the runs that capture a child's output when the child floods
// it: each captured runner (the shared process runner used by git and the
// usage reader, the agent runtime's helper runner used by the health checks,
// the session terminator and the agent-name cache, the health check runner,
// the usage reader and the shell tool executor) runs a child that writes
// 1 GiB (or the size given as the first argument, in MiB) of text. Prints the
// bytes kept, the wall time and the rise of the process's peak resident set
// for each; the peak is reset between runs.

#include "agents/BL_ShellToolExecutor.h"
#include "agents/BrimlockProcess.h"
#include "agenttools/BrimlockHealthRunner.h"
#include "agenttools/CodexBarUsageRunner.h"
#include "common/ProcessRunner.h"
#include "model/BLEventBus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QTemporaryDir>
#include <QTextStream>
#include <functional>

namespace {

QTextStream out(stdout);

// The process's peak resident set (VmHWM) in KiB.
qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts the peak anew from the current resident set.
bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

QString flood(qint64 bytes)
{
    return QStringLiteral("head -c %1 /dev/zero | tr '\\0' 'x'").arg(bytes);
}

void measure(const QString &name, const std::function<qint64()> &run)
{
    resetPeak();
    const qint64 before = peakResidentKiB();
    QElapsedTimer clock;
    clock.start();
    const qint64 kept = run();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const qint64 rise = peakResidentKiB() - before;
    out << "  " << name.leftJustified(34) << QString::number(kept).rightJustified(10) << " kept  "
        << QString::number(seconds, 'f', 2).rightJustified(6) << " s  peak +"
        << QString::number(double(rise) / 1024.0, 'f', 1) << " MiB" << Qt::endl;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 bytes = megabytes * 1024 * 1024;

    // A home of its own, so the login shells read no start-up files of the user's.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());

    out << "captured output, a child writing " << megabytes << " MiB; cap " << kCapturedOutputLimitBytes / (1024 * 1024)
        << " MiB per stream" << Qt::endl;
    if (!resetPeak())
        out << "  (the peak cannot be reset here; figures are peaks since start)" << Qt::endl;

    measure(QStringLiteral("process runner (git, codexbar)"), [&] {
        ProcessRequest request;
        request.program = QStringLiteral("sh");
        request.arguments = {QStringLiteral("-c"), flood(bytes)};
        return qint64(ProcessRunner::runBlocking(request).standardOutput.size());
    });
    measure(QStringLiteral("helper runner (terminator, names)"), [&] {
        BrimlockProcessRequest request;
        request.program = QStringLiteral("/bin/sh");
        request.arguments = {QStringLiteral("-c"), flood(bytes)};
        request.timeout = std::chrono::minutes(5);
        return qint64(BrimlockProcess::run(request).output.size());
    });
    measure(QStringLiteral("health check runner"), [&] {
        const auto output = BrimlockHealthRunner::runProcessSync(
            QStringLiteral("/bin/sh"), {QStringLiteral("-c"), flood(bytes)}, std::chrono::minutes(5));
        return output ? qint64(output->text.size()) : -1;
    });
    measure(QStringLiteral("usage reader"), [&] {
        const auto output = CodexBarUsageRunner::runProcessSync(
            QStringLiteral("/bin/sh"), {QStringLiteral("-c"), flood(bytes)}, std::chrono::minutes(5));
        if (!output)
            return qint64(-1);
        const CodexBarUsageResult result = CodexBarUsageRunner::resultFromOutput(*output, TimePoint::now());
        return qint64(output->standardOutput.size() + result.errorMessage.value_or(QString()).size());
    });
    measure(QStringLiteral("shell tool executor (streamed)"), [&] {
        BLEventBus bus;
        qint64 streamed = 0;
        BLEventSubscription counting = bus.subscribe([&](const BL_Event &event) {
            if (const auto payload = event.decodePayload<BL_TaskEventPayload>(); payload && payload->stdoutChunk)
                streamed += payload->stdoutChunk->size();
        });
        BL_ShellToolExecutor executor(bus);
        QEventLoop loop;
        QFutureWatcher<BL_Observation> watcher;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(executor.executeSpawned(flood(bytes), QUuid::createUuid(), QUuid::createUuid(), {}));
        loop.exec();
        QCoreApplication::processEvents();
        out << "    (" << streamed << " characters streamed as events)" << Qt::endl;
        return watcher.future().resultCount() == 1 ? qint64(watcher.future().result().summary.size()) : -1;
    });
    return 0;
}
