#include "BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BrimlockRuntime.h"
#include "agents/BrimlockSessionTerminator.h"
#include "common/Text.h"
#include "platform/AppPaths.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QString kUnset = QStringLiteral("<unset>");

// A sandbox for the executable search: the home, the program's own folders,
// one PATH folder and a current folder, all inside a temporary home.
struct SearchSandbox
{
    TestSupport::TemporaryHome home;
    BrimlockHost host = makeHost();

    BrimlockHost makeHost() const
    {
        BrimlockHost result = BrimlockHost::current();
        result.executableDirectory = root() + QStringLiteral("/app/bin");
        result.resourcesDirectory = root() + QStringLiteral("/app/share");
        result.currentDirectory = root() + QStringLiteral("/cwd");
        QDir().mkpath(result.currentDirectory);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"BRIMLOCK_BIN", "BRIMLOCK_CONFIG_PATH", "BRIMLOCK_STATE_DIR"})
            environment.remove(QLatin1String(name));
        environment.insert(QStringLiteral("PATH"), root() + QStringLiteral("/pathbin:/usr/bin:/bin"));
        result.environment = environment;
        return result;
    }

    QString root() const { return home.path(); }

    QString expand(QString text) const
    {
        text.replace(QStringLiteral("{home}"), home.home());
        text.replace(QStringLiteral("{app}"), root() + QStringLiteral("/app/bin"));
        text.replace(QStringLiteral("{res}"), root() + QStringLiteral("/app/share"));
        text.replace(QStringLiteral("{path}"), root() + QStringLiteral("/pathbin"));
        text.replace(QStringLiteral("{cwd}"), root() + QStringLiteral("/cwd"));
        text.replace(QStringLiteral("{root}"), root());
        return text;
    }
    QStringList expand(const QStringList &texts) const
    {
        QStringList result;
        for (const QString &text : texts)
            result.append(expand(text));
        return result;
    }

    void writeFile(const QString &path, const QByteArray &content, bool executable) const
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        QFile::setPermissions(path,
            executable ? QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                       : QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    void setZprofile(const QString &content) const
    {
        if (!content.isEmpty())
            writeFile(home.home() + QStringLiteral("/.zprofile"), expand(content).toUtf8(), false);
    }
};

QStringList fixedCandidates()
{
    return {QStringLiteral("{app}/brimlock"), QStringLiteral("{res}/brimlock"),
        QStringLiteral("{home}/.brimlock/bin/brimlock"), QStringLiteral("{home}/.npm-global/bin/brimlock"),
        QStringLiteral("{home}/.local/bin/brimlock"), QStringLiteral("/opt/homebrew/bin/brimlock"),
        QStringLiteral("/usr/local/bin/brimlock")};
}

QString optionalText(const std::optional<QString> &value)
{
    return value ? *value : kUnset;
}

void writeText(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

QByteArray readText(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

class BrimlockRuntimeTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char *path : {"/usr/local/bin/brimlock", "/opt/homebrew/bin/brimlock"}) {
            if (QFileInfo::exists(QLatin1String(path)))
                QSKIP("a Brimlock tool is installed on this machine");
        }
    }

    void executableSearch_data()
    {
        QTest::addColumn<QStringList>("executables");
        QTest::addColumn<QStringList>("plainFiles");
        QTest::addColumn<QString>("brimlockBin");
        QTest::addColumn<QString>("zprofile");
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<QString>("loginBin");
        QTest::addColumn<QString>("loginCommandV");

        const QStringList fixed = fixedCandidates();
        const QString none = kUnset;
        QTest::newRow("BRIMLOCK_BIN absolute, trimmed")
            << QStringList {"{root}/tools/brimlock"} << QStringList {} << " {root}/tools/brimlock \n"
            << "" << QStringList {"BRIMLOCK_BIN(process): {root}/tools/brimlock"} << "{root}/tools/brimlock" << none
            << none;
        QTest::newRow("BRIMLOCK_BIN name: tool bin before PATH, never the current folder")
            << QStringList {"{home}/.brimlock/bin/brimlock", "{path}/brimlock", "{cwd}/brimlock"} << QStringList {}
            << "brimlock"
            << "" << QStringList {"BRIMLOCK_BIN(process): brimlock"} << "{home}/.brimlock/bin/brimlock" << none << none;
        QTest::newRow("BRIMLOCK_BIN name found on PATH")
            << QStringList {"{path}/brimlock", "{cwd}/brimlock"} << QStringList {} << "brimlock"
            << "" << QStringList {"BRIMLOCK_BIN(process): brimlock"} << "{path}/brimlock" << none << none;
        QTest::newRow("BRIMLOCK_BIN name only in the current folder")
            << QStringList {"{cwd}/brimlock"} << QStringList {} << "brimlock"
            << ""
            << QStringList {"BRIMLOCK_BIN(process): brimlock"} + fixed
                + QStringList {"BRIMLOCK_BIN(login shell): brimlock"}
            << ""
            << "brimlock" << none;
        QTest::newRow("BRIMLOCK_BIN with ~ is expanded")
            << QStringList {"{home}/tools/brimlock"} << QStringList {} << "~/tools/brimlock"
            << "" << QStringList {"BRIMLOCK_BIN(process): ~/tools/brimlock"} << "{home}/tools/brimlock" << none << none;
        QTest::newRow("BRIMLOCK_BIN relative path is standardized")
            << QStringList {"{root}/tools/brimlock"} << QStringList {} << "./../tools/./brimlock"
            << "" << QStringList {"BRIMLOCK_BIN(process): ./../tools/./brimlock"} << "{root}/tools/brimlock" << none
            << none;
        QTest::newRow("BRIMLOCK_BIN not executable: on to the program's folder")
            << QStringList {"{app}/brimlock"} << QStringList {"{root}/tools/brimlock"} << "{root}/tools/brimlock"
            << "" << QStringList {"BRIMLOCK_BIN(process): {root}/tools/brimlock", "{app}/brimlock"} << "{app}/brimlock"
            << none << none;
        QTest::newRow("BRIMLOCK_BIN blanks: no entry") << QStringList {"{res}/brimlock"} << QStringList {} << "   "
                                                       << "" << fixed.mid(0, 2) << "{res}/brimlock" << none << none;
        QTest::newRow("tool home") << QStringList {"{home}/.brimlock/bin/brimlock"} << QStringList {} << kUnset << ""
                                   << fixed.mid(0, 3) << "{home}/.brimlock/bin/brimlock" << none << none;
        QTest::newRow("npm global") << QStringList {"{home}/.npm-global/bin/brimlock"} << QStringList {} << kUnset << ""
                                    << fixed.mid(0, 4) << "{home}/.npm-global/bin/brimlock" << none << none;
        QTest::newRow("local bin, a plain file before it is passed over")
            << QStringList {"{home}/.local/bin/brimlock"} << QStringList {"{home}/.npm-global/bin/brimlock"} << kUnset
            << "" << fixed.mid(0, 5) << "{home}/.local/bin/brimlock" << none << none;
        QTest::newRow("PATH, no login shell")
            << QStringList {"{path}/brimlock"} << QStringList {} << kUnset << ""
            << fixed + QStringList {"PATH(process): {path}/brimlock"} << "{path}/brimlock" << none << none;
        QTest::newRow("nothing anywhere")
            << QStringList {} << QStringList {} << kUnset << "" << fixed << "" << none << none;
        QTest::newRow("login shell BRIMLOCK_BIN")
            << QStringList {"{home}/shell/brimlock"} << QStringList {} << kUnset
            << "export BRIMLOCK_BIN=~/shell/brimlock\n"
            << fixed + QStringList {"BRIMLOCK_BIN(login shell): {home}/shell/brimlock"} << "{home}/shell/brimlock"
            << "{home}/shell/brimlock" << none;
        QTest::newRow("login shell PATH")
            << QStringList {"{home}/shellbin/brimlock"} << QStringList {} << kUnset
            << "export PATH=$HOME/shellbin:$PATH\n"
            << fixed + QStringList {"command -v brimlock (login shell): {home}/shellbin/brimlock"}
            << "{home}/shellbin/brimlock" << none << "{home}/shellbin/brimlock";
        QTest::newRow("login shell start-up line before the BRIMLOCK_BIN line")
            << QStringList {"{home}/odd/brimlock"} << QStringList {} << kUnset << "echo '  {home}/odd/brimlock  '\n"
            << fixed + QStringList {"command -v brimlock (login shell): {home}/odd/brimlock"} << "{home}/odd/brimlock"
            << none << "{home}/odd/brimlock";
        QTest::newRow("login shell BRIMLOCK_BIN missing, command -v found")
            << QStringList {"{home}/shellbin/brimlock"} << QStringList {} << kUnset
            << "export BRIMLOCK_BIN=/nowhere/brimlock PATH=$HOME/shellbin:$PATH\n"
            << fixed
                + QStringList {"BRIMLOCK_BIN(login shell): /nowhere/brimlock",
                    "command -v brimlock (login shell): {home}/shellbin/brimlock"}
            << "{home}/shellbin/brimlock"
            << "/nowhere/brimlock"
            << "{home}/shellbin/brimlock";
    }
    void executableSearch()
    {
        QFETCH(QStringList, executables);
        QFETCH(QStringList, plainFiles);
        QFETCH(QString, brimlockBin);
        QFETCH(QString, zprofile);
        QFETCH(QStringList, checked);
        QFETCH(QString, resolved);
        QFETCH(QString, loginBin);
        QFETCH(QString, loginCommandV);

        SearchSandbox sandbox;
        for (const QString &path : executables)
            sandbox.writeFile(sandbox.expand(path), "#!/bin/sh\n", true);
        for (const QString &path : plainFiles)
            sandbox.writeFile(sandbox.expand(path), "#!/bin/sh\n", false);
        if (brimlockBin != kUnset)
            sandbox.host.environment.insert(QStringLiteral("BRIMLOCK_BIN"), sandbox.expand(brimlockBin));
        sandbox.setZprofile(zprofile);

        const BrimlockBinaryResolutionDiagnostics result
            = BrimlockRuntime::brimlockBinaryResolutionDiagnostics(sandbox.host);
        QCOMPARE(result.checkedPaths, sandbox.expand(checked));
        QCOMPARE(result.resolvedPath.value_or(QString()), sandbox.expand(resolved));
        QCOMPARE(optionalText(result.loginShellBRIMLOCK_BIN), sandbox.expand(loginBin));
        QCOMPARE(optionalText(result.loginShellCommandV), sandbox.expand(loginCommandV));
        QCOMPARE(result.processPATH, sandbox.host.environment.value(QStringLiteral("PATH")));
        if (brimlockBin == kUnset)
            QVERIFY(!result.processBRIMLOCK_BIN);
        else
            QCOMPARE(optionalText(result.processBRIMLOCK_BIN), Text::trimmed(sandbox.expand(brimlockBin)));
        QCOMPARE(BrimlockRuntime::invocationPrefix(sandbox.host).has_value(), !resolved.isEmpty());
    }

    // The login shell reads the null device, its errors go nowhere and it has
    // a time limit, so no start-up file can hold the search.
    void loginShellProbeCannotHang_data()
    {
        QTest::addColumn<QString>("zprofile");
        QTest::addColumn<QString>("loginBin");
        QTest::newRow("waits for input") << "read -r line\nexport BRIMLOCK_BIN=/x/brimlock\n"
                                         << "/x/brimlock";
        QTest::newRow("floods standard error")
            << "head -c 400000 /dev/zero | tr '\\0' e >&2\nexport BRIMLOCK_BIN=/x/brimlock\n"
            << "/x/brimlock";
        QTest::newRow("never ends") << "export BRIMLOCK_BIN=/x/brimlock\nsleep 60\n" << kUnset;
        QTest::newRow("output not UTF-8") << "export BRIMLOCK_BIN=/x/brimlock\nprintf '\\377\\n'\n" << kUnset;
    }
    void loginShellProbeCannotHang()
    {
        QFETCH(QString, zprofile);
        QFETCH(QString, loginBin);
        SearchSandbox sandbox;
        sandbox.host.loginShellTimeout = 1500ms;
        sandbox.setZprofile(zprofile);
        QElapsedTimer clock;
        clock.start();
        const BrimlockBinaryResolutionDiagnostics result
            = BrimlockRuntime::brimlockBinaryResolutionDiagnostics(sandbox.host);
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(optionalText(result.loginShellBRIMLOCK_BIN), loginBin);
        QVERIFY(!result.resolvedPath);
    }

    void invocationPrefix_data()
    {
        QTest::addColumn<QString>("configPath");
        QTest::addColumn<QString>("stateDir");
        QTest::addColumn<QString>("expectedConfig");
        QTest::addColumn<QString>("expectedState");
        QTest::addColumn<bool>("toolHomeCopied");
        QTest::newRow("neither") << kUnset << kUnset << kUnset << kUnset << false;
        QTest::newRow("blanks count as unset") << "  "
                                               << "\t" << kUnset << kUnset << false;
        QTest::newRow("config only: default state, tool home copied in")
            << " {root}/conf/brimlock.json " << kUnset << "{root}/conf/brimlock.json"
            << "{data}/state" << true;
        QTest::newRow("state only: config inside it, no migration") << kUnset << "{root}/st/../state-dir"
                                                                    << "{root}/state-dir/brimlock.json"
                                                                    << "{root}/state-dir" << false;
        QTest::newRow("both") << "{root}/c.json"
                              << "{root}/s"
                              << "{root}/c.json"
                              << "{root}/s" << false;
    }
    void invocationPrefix()
    {
        QFETCH(QString, configPath);
        QFETCH(QString, stateDir);
        QFETCH(QString, expectedConfig);
        QFETCH(QString, expectedState);
        QFETCH(bool, toolHomeCopied);

        SearchSandbox sandbox;
        BrimlockStandIn standIn;
        // A path that needs the quoting rule.
        const QString executable
            = BrimlockStandIn::installAt(sandbox.root() + QStringLiteral("/team's tools/brimlock"));
        writeText(sandbox.home.home() + QStringLiteral("/.brimlock/workspace/SOUL.md"), "main agent");
        const QString data = sandbox.home.dataHome() + QStringLiteral("/com.tessaron.app");
        auto expand = [&](QString text) { return sandbox.expand(text.replace(QStringLiteral("{data}"), data)); };
        sandbox.host.environment.insert(QStringLiteral("BRIMLOCK_BIN"), executable);
        if (configPath != kUnset)
            sandbox.host.environment.insert(QStringLiteral("BRIMLOCK_CONFIG_PATH"), expand(configPath));
        if (stateDir != kUnset)
            sandbox.host.environment.insert(QStringLiteral("BRIMLOCK_STATE_DIR"), expand(stateDir));

        const std::optional<QString> prefix = BrimlockRuntime::invocationPrefix(sandbox.host);
        QVERIFY(prefix);
        const QString quotedExecutable = sandbox.root() + QStringLiteral("/team'\"'\"'s tools/brimlock");
        if (expectedConfig == kUnset) {
            QCOMPARE(*prefix, u'\'' + quotedExecutable + u'\'');
        } else {
            QCOMPARE(*prefix,
                QStringLiteral("BRIMLOCK_CONFIG_PATH='%1' BRIMLOCK_STATE_DIR='%2' '%3'")
                    .arg(expand(expectedConfig), expand(expectedState), quotedExecutable));
            QCOMPARE(BrimlockRuntime::configFileURL(sandbox.host), expand(expectedConfig));
        }
        QCOMPARE(QFileInfo::exists(data + QStringLiteral("/state/workspace/SOUL.md")), toolHomeCopied);
        if (!toolHomeCopied)
            QVERIFY(!QFileInfo::exists(data + QStringLiteral("/state")));

        // The prefix starts a real command line: the tool sees the locations.
        const BrimlockCommandExecutionResult run
            = ProcessBrimlockCommandRunner().runBlocking(*prefix + QStringLiteral(" doctor"));
        QCOMPARE(run.exitCode, 0);
        const QList<QJsonObject> calls = standIn.invocations();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].value(QStringLiteral("executable")).toString(), executable);
        QCOMPARE(BrimlockStandIn::argv(calls[0]), QStringList {QStringLiteral("doctor")});
        const QString seenConfig = BrimlockStandIn::env(calls[0], QStringLiteral("BRIMLOCK_CONFIG_PATH"));
        const QString seenState = BrimlockStandIn::env(calls[0], QStringLiteral("BRIMLOCK_STATE_DIR"));
        if (expectedConfig == kUnset) {
            QVERIFY(seenConfig.isNull());
            QVERIFY(seenState.isNull());
        } else {
            QCOMPARE(seenConfig, expand(expectedConfig));
            QCOMPARE(seenState, expand(expectedState));
        }
    }

    void invocationPrefixAbsentWithoutExecutable()
    {
        SearchSandbox sandbox;
        sandbox.host.environment.insert(QStringLiteral("BRIMLOCK_CONFIG_PATH"), QStringLiteral("/tmp/c.json"));
        QVERIFY(!BrimlockRuntime::invocationPrefix(sandbox.host));
    }

    void shellInvocationArguments()
    {
        BrimlockHost host;
        host.homeDirectory = QStringLiteral("/home/o'neil");
        const QString script = QStringLiteral("export PATH='/home/o'\"'\"'neil/.brimlock/bin':$PATH && brimlock 'x y'");
        QCOMPARE(BrimlockRuntime::shellInvocationArguments(QStringLiteral("brimlock 'x y'"), false, host),
            (QStringList {"zsh", "-lc", script}));
        QCOMPARE(BrimlockRuntime::shellInvocationArguments(QStringLiteral("brimlock 'x y'"), true, host),
            (QStringList {"TERM=xterm-ghostty", "TERM_PROGRAM=ghostty", "COLORTERM=truecolor", "zsh", "-lc", script}));
    }

    // Through "/usr/bin/env" and a zsh login shell: the bare tool name is found
    // in the tool's bin folder although PATH does not hold it.
    void shellInvocationRunsInALoginShell_data()
    {
        QTest::addColumn<bool>("preferGhostty");
        QTest::newRow("terminal variables") << true;
        QTest::newRow("inherited terminal") << false;
    }
    void shellInvocationRunsInALoginShell()
    {
        QFETCH(bool, preferGhostty);
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        const QString installed = BrimlockStandIn::installInToolHome();
        const QByteArray savedTerm = qgetenv("TERM_PROGRAM");
        qputenv("TERM_PROGRAM", "tessaron-test");
        QProcess process;
        process.setProgram(QStringLiteral("/usr/bin/env"));
        process.setArguments(
            BrimlockRuntime::shellInvocationArguments(QStringLiteral("cd / && brimlock doctor"), preferGhostty));
        process.start();
        QVERIFY(process.waitForFinished(30000));
        qputenv("TERM_PROGRAM", savedTerm);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(), QByteArray("Brimlock doctor: all checks passed.\n"));

        const QList<QJsonObject> calls = standIn.invocations();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].value(QStringLiteral("executable")).toString(), installed);
        QCOMPARE(calls[0].value(QStringLiteral("cwd")).toString(), QStringLiteral("/"));
        QVERIFY(BrimlockStandIn::env(calls[0], QStringLiteral("PATH")).startsWith(home.home() + "/.brimlock/bin:"));
        QCOMPARE(BrimlockStandIn::env(calls[0], QStringLiteral("TERM_PROGRAM")),
            preferGhostty ? QStringLiteral("ghostty") : QStringLiteral("tessaron-test"));
        if (preferGhostty) {
            QCOMPARE(BrimlockStandIn::env(calls[0], QStringLiteral("TERM")), QStringLiteral("xterm-ghostty"));
            QCOMPARE(BrimlockStandIn::env(calls[0], QStringLiteral("COLORTERM")), QStringLiteral("truecolor"));
        }
    }

    void pathLookup()
    {
        SearchSandbox sandbox;
        sandbox.writeFile(sandbox.expand("{path}/codexbar"), "#!/bin/sh\n", true);
        sandbox.writeFile(sandbox.expand("{root}/later/codexbar"), "#!/bin/sh\n", true);
        sandbox.writeFile(sandbox.expand("{root}/plain/codexbar"), "data", false);
        sandbox.host.environment.insert(QStringLiteral("PATH"), sandbox.expand("::{root}/plain:{path}:{root}/later"));
        QCOMPARE(BrimlockRuntime::resolveExecutableOnPATH(QStringLiteral("codexbar"), sandbox.host),
            std::optional<QString>(sandbox.expand("{path}/codexbar")));
        QVERIFY(!BrimlockRuntime::resolveExecutableOnPATH(QStringLiteral("no-such-tool"), sandbox.host));
        // The tool's own bin folder comes first.
        sandbox.writeFile(sandbox.expand("{home}/.brimlock/bin/codexbar"), "#!/bin/sh\n", true);
        QCOMPARE(BrimlockRuntime::resolveExecutableOnPATH(QStringLiteral("codexbar"), sandbox.host),
            std::optional<QString>(sandbox.expand("{home}/.brimlock/bin/codexbar")));
    }

    void programFoldersComeFromTheRunningProgram()
    {
        const BrimlockHost host = BrimlockHost::current();
        QCOMPARE(host.executableDirectory.value_or(QString()), QCoreApplication::applicationDirPath());
        QCOMPARE(host.resourcesDirectory.value_or(QString()),
            QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tessaron")));
        QCOMPARE(host.homeDirectory, QDir::homePath());
    }

    void dataDirectoryLocation()
    {
        TestSupport::TemporaryHome home;
        QCOMPARE(BrimlockRuntime::defaultAppSupportDirectory(), home.dataHome() + QStringLiteral("/com.tessaron.app"));
        QCOMPARE(BrimlockRuntime::defaultAppSupportDirectory(), AppPaths::dataDirectory());

        BrimlockHost host = BrimlockHost::current();
        host.bundleIdentifier.reset();
        QCOMPARE(BrimlockRuntime::defaultAppSupportDirectory(host),
            home.dataHome() + u'/' + QLatin1String(BrimlockRuntime::kFallbackDataFolderName));
        host.applicationSupportDirectory.clear();
        QCOMPARE(BrimlockRuntime::defaultAppSupportDirectory(host),
            home.home() + QStringLiteral("/.local/share/") + QLatin1String(BrimlockRuntime::kFallbackDataFolderName));

        // Nothing to migrate: the folder is named, not created.
        QCOMPARE(BrimlockRuntime::appSupportDirectory(), AppPaths::dataDirectory());
        QVERIFY(!QFileInfo::exists(AppPaths::dataDirectory()));
    }

    void legacyDataIsCopiedInWhereAbsent()
    {
        TestSupport::TemporaryHome home;
        BrimlockHost host = BrimlockHost::current();
        host.bundleIdentifier.reset(); // the data folder is not the first legacy folder here
        const QString data = home.dataHome();
        const QString destination = BrimlockRuntime::defaultAppSupportDirectory(host);

        writeText(home.home() + QStringLiteral("/.brimlock/tessaron/shared.txt"), "tool home");
        writeText(home.home() + QStringLiteral("/.brimlock/tessaron/.hidden"), "hidden");
        writeText(data + QStringLiteral("/com.tessaron.app/shared.txt"), "bundle");
        writeText(data + QStringLiteral("/com.tessaron.app/tessaron.sqlite"), "tasks");
        writeText(data + QStringLiteral("/Quillstead/quillstead.sqlite"), "legacy tasks");
        writeText(data + QStringLiteral("/Quillstead/task-logs/p/t.jsonl"), "{}");
        writeText(data + QStringLiteral("/Ravelbox/existing/inner.txt"), "would merge");
        writeText(data + QStringLiteral("/Ravelbox/shared.txt"), "ravelbox");
        QDir().mkpath(destination + QStringLiteral("/existing"));
        QVERIFY(QFile::link(QStringLiteral("tessaron.sqlite"), data + QStringLiteral("/Ravelbox/link")));

        QCOMPARE(BrimlockRuntime::appSupportDirectory(host), destination);
        QCOMPARE(readText(destination + QStringLiteral("/shared.txt")), QByteArray("tool home")); // earlier source wins
        QCOMPARE(readText(destination + QStringLiteral("/.hidden")), QByteArray("hidden"));
        QCOMPARE(readText(destination + QStringLiteral("/tessaron.sqlite")), QByteArray("tasks"));
        QCOMPARE(readText(destination + QStringLiteral("/quillstead.sqlite")), QByteArray("legacy tasks"));
        QCOMPARE(readText(destination + QStringLiteral("/task-logs/p/t.jsonl")), QByteArray("{}"));
        QCOMPARE(QFileInfo(destination + QStringLiteral("/link")).symLinkTarget(), destination + "/tessaron.sqlite");
        // An existing folder is neither merged into nor replaced.
        QVERIFY(QDir(destination + QStringLiteral("/existing")).isEmpty());

        // Later requests copy only what has gone missing, never overwrite.
        writeText(destination + QStringLiteral("/tessaron.sqlite"), "newer");
        QFile::remove(destination + QStringLiteral("/quillstead.sqlite"));
        BrimlockRuntime::appSupportDirectory(host);
        QCOMPARE(readText(destination + QStringLiteral("/tessaron.sqlite")), QByteArray("newer"));
        QCOMPARE(readText(destination + QStringLiteral("/quillstead.sqlite")), QByteArray("legacy tasks"));
    }

    void dataFolderThatIsTheFirstLegacyFolderGainsNothing()
    {
        TestSupport::TemporaryHome home;
        const QString data = BrimlockRuntime::defaultAppSupportDirectory();
        QCOMPARE(data, home.dataHome() + u'/' + QLatin1String(BrimlockRuntime::kLegacyBundleIdentifier));
        writeText(data + QStringLiteral("/tessaron.sqlite"), "tasks");
        QDir().mkpath(data + QStringLiteral("/task-logs"));
        BrimlockRuntime::appSupportDirectory();
        QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            (QStringList {"task-logs", "tessaron.sqlite"}));
        QVERIFY(QDir(data + QStringLiteral("/task-logs")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(BrimlockRuntimeTest)
#include "tst_brimlockruntime.moc"
