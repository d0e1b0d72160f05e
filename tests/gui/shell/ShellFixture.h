#pragma once

#include "../../core/agents/BrimlockStandIn.h"
#include "TestSupport.h"
#include "model/UserNotificationCenter.h"
#include "platform/SettingsStore.h"
#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"
#include "shell/VoiceCapture.h"
#include "state/AppState.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>

// A dictation controller the test scripts: each start and stop answers with
// the next queued result; the flags are set by the test.
class ScriptedVoiceCaptureController final : public VoiceCaptureController
{
public:
    bool recording = false;
    bool transcribing = false;
    double level = 0.4;
    int starts = 0;
    int stops = 0;
    int cancels = 0;
    QList<ParakeetVoiceCaptureResult> answers;

    bool isRecording() const override { return recording; }
    bool isTranscribing() const override { return transcribing; }
    std::optional<QString> lastErrorMessage() const override { return std::nullopt; }
    double audioLevel() const override { return level; }
    QCoro::Task<ParakeetVoiceCaptureResult> startRecording() override
    {
        ++starts;
        const auto answer = answers.isEmpty() ? ParakeetVoiceCaptureResult::started() : answers.takeFirst();
        if (answer.kind == ParakeetVoiceCaptureResult::Kind::started)
            set(true, false);
        co_return answer;
    }
    QCoro::Task<ParakeetVoiceCaptureResult> stopRecordingAndTranscribe() override
    {
        ++stops;
        set(false, false);
        co_return answers.isEmpty() ? ParakeetVoiceCaptureResult::cancelled() : answers.takeFirst();
    }
    void cancelCapture() override
    {
        ++cancels;
        set(false, false);
    }
    void set(bool isRecording, bool isTranscribing)
    {
        recording = isRecording;
        transcribing = isTranscribing;
        emit changed();
    }
};

class SilentNotificationCenter final : public UserNotificationCenter
{
public:
    void requestAuthorization(AuthorizationHandler done) override { done(true, std::nullopt); }
    void add(const UserNotificationRequest &, AddHandler done) override { done(std::nullopt); }
};

// One application state over a temporary home with the Brimlock stand-in
// installed, and its main window.
struct ShellFixture
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn brimlock;
    MemorySettingsStore defaults;
    MemorySettingsStore standardDefaults;
    MemorySettingsStore legacySuite;
    std::unique_ptr<AppState> appState;
    std::unique_ptr<MainWindow> window;
    ScriptedVoiceCaptureController *voice = nullptr;
    int beeps = 0;

    ShellFixture()
    {
        DarkAppearance::apply(*qApp);
        BrimlockStandIn::installAt(home.home() + QStringLiteral("/.brimlock/bin/brimlock"));
    }

    AppState &makeState()
    {
        AppStateOptions options;
        options.dataDirectory = home.path() + QStringLiteral("/appdata");
        options.standardDefaults = &standardDefaults;
        options.legacyDefaults = &legacySuite;
        options.notificationCenter = std::make_unique<SilentNotificationCenter>();
        options.notificationOutput = [](const QString &) {};
        appState
            = std::make_unique<AppState>(defaults, std::make_unique<BrimlockSessionTerminator>(), std::move(options));
        return *appState;
    }

    // Builds the window, shows it and waits for the start-up task.
    MainWindow &open()
    {
        if (!appState)
            makeState();
        MainWindowOptions options;
        options.makeVoiceCaptureController = [this] {
            auto controller = std::make_unique<ScriptedVoiceCaptureController>();
            voice = controller.get();
            return controller;
        };
        options.beep = [this] { ++beeps; };
        options.grabGlobalVoiceHotkey = false;
        window = std::make_unique<MainWindow>(*appState, std::move(options));
        window->show();
        window->activateWindow();
        if (!QTest::qWaitForWindowActive(window.get()))
            qWarning("the main window did not become active");
        if (!TestSupport::waitUntil([&] { return window->isStartupFinished(); }, 30000))
            qWarning("the start-up task did not finish");
        settle();
        return *window;
    }

    MainWindowState &state() { return window->state(); }

    // Lets the reactions run to their settled state.
    static void settle() { TestSupport::drainMainThread(8); }

    // Imports a new folder as a workspace (it becomes the active one).
    BL_Workspace importWorkspace(const QString &name)
    {
        const QString path = home.path() + u'/' + name;
        QDir().mkpath(path);
        bool done = false;
        auto run = [](AppState &state, QString folder, bool *finished) -> QCoro::Task<> {
            co_await state.importExistingProject(folder);
            *finished = true;
        };
        auto task = run(*appState, path, &done);
        if (!TestSupport::waitUntil([&] { return done; }, 20000))
            qWarning("the import did not finish");
        settle();
        for (const BL_Workspace &workspace : appState->projects())
            if (workspace.rootPath == path)
                return workspace;
        return {};
    }

    template<typename T = QWidget> T *find(const QString &objectName) const
    {
        for (QWidget *top : QApplication::topLevelWidgets())
            if (auto *found
                = top->objectName() == objectName ? qobject_cast<T *>(top) : top->findChild<T *>(objectName))
                return found;
        return nullptr;
    }

    // The visible window-modal dialog of that name, if any.
    QWidget *dialog(const QString &objectName) const
    {
        auto *found = find<QWidget>(objectName);
        return found && found->isVisible() ? found : nullptr;
    }

    void click(QWidget *dialog, const QString &buttonName)
    {
        auto *button = dialog ? dialog->findChild<QPushButton *>(buttonName) : nullptr;
        if (!button) {
            qWarning("no button %s", qPrintable(buttonName));
            return;
        }
        QTest::mouseClick(button, Qt::LeftButton);
        settle();
    }
};
