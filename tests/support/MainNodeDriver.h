#pragma once

#include "TestSupport.h"
#include "platform/SettingsStore.h"
#include "state/AppState.h"

#include <QUrl>
#include <QUuid>
#include <memory>

// A headless main node for the browser check, the bench and client-node
// tests: a real application state on a temporary HOME with one git
// workspace holding a task in every status (a title with markup, an address
// with a "token" item, a ready and a pending diff), `extraTasks` more, and
// the local viewer started (port and token as given, else random).
class MainNodeDriver
{
public:
    struct Options
    {
        int extraTasks = 0;
        qint64 extraLogBytes = 0; // a raw output log of this size for each extra task
        quint16 port = 0; // 0: a random high port
        QString token; // empty: a random token
    };

    explicit MainNodeDriver(Options options);
    ~MainNodeDriver();

    bool ok() const { return m_ok; }
    AppState &state() { return *m_state; }
    QUuid workspaceID() const { return m_workspaceID; }
    quint16 port() const;
    QString token() const;
    QUrl shareLink() const; // http://127.0.0.1:<port>/?token=<token>
    QUuid markupTaskID() const { return m_markupTaskID; }
    QUuid readyDiffTaskID() const { return m_readyDiffTaskID; }

    static const QString kMarkupTitle;

private:
    QUuid addTask(const QString &title, BL_TaskStatus status);
    void writeLog(const QUuid &taskID, const QByteArray &bytes);

    TestSupport::TemporaryHome m_home;
    MemorySettingsStore m_defaults;
    MemorySettingsStore m_standardDefaults;
    MemorySettingsStore m_legacy;
    std::unique_ptr<AppState> m_state;
    QUuid m_workspaceID;
    QUuid m_markupTaskID;
    QUuid m_readyDiffTaskID;
    bool m_ok = false;
};
