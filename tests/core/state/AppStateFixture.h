#pragma once

#include "TestSupport.h"
#include "model/UserNotificationCenter.h"
#include "platform/SettingsStore.h"
#include "state/AppState.h"

#include <QDir>
#include <QTemporaryDir>
#include <functional>

// A notification centre that only remembers what it was asked.
class RecordingNotificationCenter final : public UserNotificationCenter
{
public:
    void requestAuthorization(AuthorizationHandler done) override { done(true, std::nullopt); }
    void add(const UserNotificationRequest &request, AddHandler done) override
    {
        requests.append(request);
        done(std::nullopt);
    }
    QList<UserNotificationRequest> requests;
};

// Settings, data folder and home for one application state, kept across a
// "restart" (a second AppState over the same stores and folders).
struct AppStateFixture
{
    TestSupport::TemporaryHome home;
    MemorySettingsStore defaults;
    MemorySettingsStore standardDefaults;
    MemorySettingsStore legacySuite;
    QString dataDirectory = home.path() + QStringLiteral("/appdata");
    QStringList printedLines;
    // Adjusts the options of every state made, after the defaults above.
    std::function<void(AppStateOptions &)> configure;

    // The states made are gone by now (declared after the fixture): their
    // coroutines still waiting on the main thread for work the state's
    // shutdown cancelled resume here, see that the state has gone and end.
    ~AppStateFixture() { TestSupport::drainMainThread(); }

    std::unique_ptr<AppState> make()
    {
        AppStateOptions options;
        options.dataDirectory = dataDirectory;
        options.standardDefaults = &standardDefaults;
        options.legacyDefaults = &legacySuite;
        options.notificationCenter = std::make_unique<RecordingNotificationCenter>();
        options.notificationOutput = [this](const QString &line) { printedLines.append(line); };
        if (configure)
            configure(options);
        return std::make_unique<AppState>(defaults, std::make_unique<BrimlockSessionTerminator>(), std::move(options));
    }

    // Runs a coroutine of the state to its end on the main thread.
    static bool run(QCoro::Task<> task, int timeoutMs = 20000)
    {
        return TestSupport::awaitDone(std::move(task), timeoutMs);
    }

    QString makeFolder(const QString &name)
    {
        const QString path = home.path() + u'/' + name;
        QDir().mkpath(path);
        return path;
    }
};
