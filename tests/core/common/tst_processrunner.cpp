#include "TestSupport.h"
#include "common/ProcessRunner.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStringDecoder>
#include <QtTest>
#include <csignal>

using namespace std::chrono_literals;

namespace {

// Gone once it has no entry in the process table, or only a zombie's.
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() && line.at(close + 2) == 'Z';
}

} // namespace

class ProcessRunnerTest : public QObject
{
    Q_OBJECT

    static ProcessRequest shell(const QString &script)
    {
        ProcessRequest request;
        request.program = QStringLiteral("sh");
        request.arguments = {QStringLiteral("-c"), script};
        return request;
    }

    static ProcessResult runBothWays(const ProcessRequest &request, ProcessResult *asyncResult)
    {
        std::optional<ProcessResult> fromCoroutine;
        auto flow = [&]() -> QCoro::Task<> {
            auto running = ProcessRunner::run(request);
            fromCoroutine = co_await std::move(running);
        };
        flow();
        TestSupport::waitUntil([&] { return fromCoroutine.has_value(); }, 30000);
        if (fromCoroutine)
            *asyncResult = *fromCoroutine;
        return ProcessRunner::runBlocking(request);
    }

private slots:
    void outcomes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        using O = ProcessResult::Outcome;
        QTest::newRow("success") << "printf out; printf err >&2" << int(O::Finished) << 0 << QByteArray("out")
                                 << QByteArray("err");
        QTest::newRow("exit code") << "exit 3" << int(O::Finished) << 3 << QByteArray() << QByteArray();
        QTest::newRow("crash") << "kill -SEGV $$" << int(O::Crashed) << -1 << QByteArray() << QByteArray();
        QTest::newRow("reads null stdin")
            << "cat; echo done" << int(O::Finished) << 0 << QByteArray("done\n") << QByteArray();
    }
    void outcomes()
    {
        QFETCH(QString, script);
        QFETCH(int, outcome);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        ProcessResult async;
        const ProcessResult blocking = runBothWays(shell(script), &async);
        for (const ProcessResult &result : {blocking, async}) {
            QCOMPARE(int(result.outcome), outcome);
            QCOMPARE(result.exitCode, exitCode);
            QCOMPARE(result.standardOutput, out);
            QCOMPARE(result.standardError, err);
        }
    }

    void drainsLargeOutputOnBothPipes()
    {
        // Far more than a pipe buffer on each pipe, written interleaved.
        ProcessResult async;
        const ProcessResult blocking
            = runBothWays(shell(QStringLiteral(
                              "i=0; while [ $i -lt 4000 ]; do echo line-$i-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx; "
                              "echo err-$i >&2; i=$((i+1)); done")),
                &async);
        for (const ProcessResult &result : {blocking, async}) {
            QVERIFY(result.succeeded());
            QCOMPARE(result.standardOutput.count('\n'), 4000);
            QCOMPARE(result.standardError.count('\n'), 4000);
        }
    }

    // A child that writes far more than anyone reads keeps at most the cap of
    // each stream; the rest is read and dropped, so it still runs to its end.
    void floodsAreCappedPerStream()
    {
        ProcessResult async;
        const ProcessResult blocking = runBothWays(
            shell(QStringLiteral(
                "head -c 60000000 /dev/zero | tr '\\0' 'o'; head -c 30000000 /dev/zero | tr '\\0' 'e' >&2; "
                "printf '\\303\\251' >&2; echo tail")),
            &async);
        for (const ProcessResult &result : {blocking, async}) {
            QVERIFY(result.succeeded());
            QCOMPARE(result.standardOutput.size(), kCapturedOutputLimitBytes);
            QVERIFY(result.standardOutputTruncated);
            QVERIFY(result.standardError.size() <= kCapturedOutputLimitBytes);
            QVERIFY(result.standardErrorTruncated);
            QVERIFY(!result.standardOutput.contains("tail"));
        }
        // Below the cap nothing is cut or marked.
        const ProcessResult small = ProcessRunner::runBlocking(shell(QStringLiteral("printf small")));
        QCOMPARE(small.standardOutput, QByteArray("small"));
        QVERIFY(!small.standardOutputTruncated && !small.standardErrorTruncated);
    }

    // A cut never ends inside a character: the bytes kept stay valid UTF-8.
    void cutKeepsWholeCharacters()
    {
        // "é" is two bytes; one leading byte puts every character boundary at
        // an odd offset, so the cap (even) falls inside a character.
        ProcessRequest request;
        request.program = TestSupport::python();
        request.arguments = {QStringLiteral("-c"),
            QStringLiteral("import sys; sys.stdout.buffer.write(b'x' + b'\\xc3\\xa9' * 3000000)")};
        const ProcessResult result = ProcessRunner::runBlocking(request);
        QVERIFY(result.standardOutputTruncated);
        QVERIFY(result.standardOutput.size() <= kCapturedOutputLimitBytes);
        QVERIFY(result.standardOutput.size() >= kCapturedOutputLimitBytes - 3);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(result.standardOutput);
        QVERIFY(!decoder.hasError());
        QVERIFY(text.endsWith(QChar(0xE9)));
    }

    void timeoutStopsTheWholeGroup()
    {
        ProcessRequest request = shell(QStringLiteral("sleep 30 & echo $!; wait"));
        request.timeoutMs = 1000; // time for the shell to say its child under load
        request.ownProcessGroup = true;
        ProcessResult async;
        const ProcessResult blocking = runBothWays(request, &async);
        for (const ProcessResult &result : {blocking, async}) {
            QCOMPARE(int(result.outcome), int(ProcessResult::Outcome::TimedOut));
            const qint64 grandchild = result.standardOutput.trimmed().toLongLong();
            QVERIFY(grandchild > 0);
            QVERIFY(
                TestSupport::waitUntil([&] { return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(grandchild)); }));
        }
    }

    // A time-out stops by the common policy: a group that ignores the
    // termination (its members inherit the ignored signal) is killed once
    // the grace period is over, not before.
    void timeoutKillsAGroupIgnoringTerminationAfterTheGrace()
    {
        ProcessRequest request = shell(QStringLiteral("trap '' TERM; sleep 30 & echo $!; wait"));
        // Long enough for the shell to have set its trap under load: a
        // termination before that would end it at once.
        request.timeoutMs = 1000;
        request.ownProcessGroup = true;
        request.stopPolicy.grace = 700ms;
        for (const bool blocking : {true, false}) {
            QElapsedTimer clock;
            clock.start();
            ProcessResult result;
            if (blocking) {
                result = ProcessRunner::runBlocking(request);
            } else {
                std::optional<ProcessResult> fromCoroutine;
                auto flow = [&]() -> QCoro::Task<> {
                    auto running = ProcessRunner::run(request);
                    fromCoroutine = co_await std::move(running);
                };
                flow();
                QVERIFY(TestSupport::waitUntil([&] { return fromCoroutine.has_value(); }, 30000));
                result = *fromCoroutine;
            }
            const qint64 elapsed = clock.elapsed();
            QCOMPARE(int(result.outcome), int(ProcessResult::Outcome::TimedOut));
            QVERIFY(!result.errorMessage.isEmpty());
            // Time limit and grace together (1.7 s), less the 5% a coarse
            // timer may fire early.
            QVERIFY2(elapsed >= 1600 && elapsed < 6000, qPrintable(QString::number(elapsed)));
            const qint64 grandchild = result.standardOutput.trimmed().toLongLong();
            QVERIFY(grandchild > 0);
            QVERIFY(TestSupport::waitUntil([&] { return processGone(grandchild); }, 3000));
        }
    }

    // The stop of a running child, by itself: which signal ends the child,
    // and that a grandchild of its group ends as well whatever it ignores.
    void stopEndsTheChildAndItsGroup_data()
    {
        QTest::addColumn<QString>("ignored"); // trapped by the child and its grandchild
        QTest::addColumn<bool>("interrupt");
        QTest::addColumn<int>("endingSignal");
        QTest::newRow("terminates") << "" << false << int(SIGTERM);
        QTest::newRow("ignores termination: killed") << "TERM" << false << int(SIGKILL);
        QTest::newRow("ignores termination: interrupted") << "TERM" << true << int(SIGINT);
        QTest::newRow("ignores both: killed") << "TERM INT" << true << int(SIGKILL);
    }
    void stopEndsTheChildAndItsGroup()
    {
        QFETCH(QString, ignored);
        QFETCH(bool, interrupt);
        QFETCH(int, endingSignal);
        const QString traps = ignored.isEmpty() ? QString() : QStringLiteral("trap '' ") + ignored + u';';
        const StopPolicy policy {300ms, interrupt};
        for (const bool blocking : {true, false}) {
            QProcess process;
            ProcessRequest request = shell(traps + QStringLiteral(" sleep 30 & echo $!; wait"));
            request.ownProcessGroup = true;
            ProcessRunner::prepare(process, request);
            process.start();
            QVERIFY(process.waitForStarted());
            QVERIFY(TestSupport::waitUntil([&] { return process.canReadLine(); }));
            const qint64 grandchild = process.readLine().trimmed().toLongLong();
            QVERIFY(grandchild > 0);

            const ProcessRunner::StopTarget target = ProcessRunner::StopTarget::of(process, true);
            QVERIFY(target.anythingLeft());
            bool ended = false;
            if (blocking) {
                ended = ProcessRunner::stopBlocking(target, policy);
            } else {
                std::optional<bool> fromCoroutine;
                auto flow = [&]() -> QCoro::Task<> {
                    auto stopping = ProcessRunner::stop(target, policy);
                    fromCoroutine = co_await std::move(stopping);
                };
                flow();
                QVERIFY(TestSupport::waitUntil([&] { return fromCoroutine.has_value(); }, 10000));
                ended = *fromCoroutine;
            }
            QVERIFY(ended);
            QVERIFY(!target.anythingLeft());
            QVERIFY(processGone(grandchild));
            QCOMPARE(process.exitStatus(), QProcess::CrashExit);
            QCOMPARE(process.exitCode(), endingSignal);
        }
    }

    void crashReportsTheSignal()
    {
        const ProcessResult result = ProcessRunner::runBlocking(shell(QStringLiteral("kill -TERM $$")));
        QCOMPARE(int(result.outcome), int(ProcessResult::Outcome::Crashed));
        QCOMPARE(result.crashSignal, int(SIGTERM));
        QCOMPARE(result.exitCode, -1);
    }

    void mergedStandardErrorKeepsTheOrder()
    {
        ProcessRequest request = shell(QStringLiteral("echo one; echo two >&2; echo three"));
        request.mergeStandardError = true;
        ProcessResult async;
        const ProcessResult blocking = runBothWays(request, &async);
        for (const ProcessResult &result : {blocking, async}) {
            QCOMPARE(result.standardOutput, QByteArray("one\ntwo\nthree\n"));
            QVERIFY(result.standardError.isEmpty());
        }
    }

    void inputEnvironmentAndFolder()
    {
        ProcessRequest request = shell(QStringLiteral("pwd; printf %s \"$TESSARON_PROBE\"; echo; cat"));
        request.workingDirectory = QStringLiteral("/tmp");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TESSARON_PROBE"), QStringLiteral("value"));
        request.environment = environment;
        request.standardInput = QByteArray("from stdin");
        ProcessResult async;
        const ProcessResult blocking = runBothWays(request, &async);
        for (const ProcessResult &result : {blocking, async})
            QCOMPARE(result.standardOutput, QByteArray("/tmp\nvalue\nfrom stdin"));
    }

    void missingProgramIsReported()
    {
        ProcessRequest request;
        request.program = QStringLiteral("tessaron-no-such-program");
        const ProcessResult result = ProcessRunner::runBlocking(request);
        // env itself starts and says it cannot find the program (exit 127).
        QCOMPARE(int(result.outcome), int(ProcessResult::Outcome::Finished));
        QCOMPARE(result.exitCode, 127);
        QVERIFY(!result.standardError.isEmpty());
    }
};

QTEST_GUILESS_MAIN(ProcessRunnerTest)
#include "tst_processrunner.moc"
