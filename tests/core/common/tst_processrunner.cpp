#include "TestSupport.h"
#include "common/ProcessRunner.h"

#include <QStringDecoder>
#include <QtTest>

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
        request.program = QStringLiteral("python3");
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
        request.timeoutMs = 300;
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
