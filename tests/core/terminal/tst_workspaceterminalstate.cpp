#include "common/UuidText.h"
#include "terminal/WorkspaceTerminalState.h"

#include <QtTest>

using State = WorkspaceTerminalState;
using Command = WorkspaceTerminalState::TerminalCommandState;

class WorkspaceTerminalStateTest : public QObject
{
    Q_OBJECT

    const QUuid w = QUuid::createUuid();

private slots:
    void firstEnsureGivesOneDefaultTab()
    {
        State state;
        state.ensureWorkspace(w);
        const QString first = UuidText::lower(w) + QStringLiteral("-tab-1");
        QCOMPARE(state.tabIDsByWorkspaceID.value(w), QStringList {first});
        QCOMPARE(state.activeTabIDByWorkspaceID.value(w), first);
        QCOMPARE(state.terminalCommandStateByWorkspaceID.value(w).value(first), Command {});
        QVERIFY(state.cliVisibilityByWorkspaceID.isEmpty());
        QVERIFY(state.cliExpandedByWorkspaceID.isEmpty());
        QVERIFY(!state.snappedTabIDsByWorkspaceID.contains(w));
        // A second ensure changes nothing.
        const State before = state;
        state.ensureWorkspace(w);
        QCOMPARE(state, before);
    }

    void createTabOnUnseenWorkspaceAddsAfterTheDefault()
    {
        State state;
        QCOMPARE(state.createTab(w, QStringLiteral("x")), QStringLiteral("x"));
        QCOMPARE(state.tabIDsByWorkspaceID.value(w), (QStringList {State::defaultTabID(w), QStringLiteral("x")}));
        QCOMPARE(state.activeTabIDByWorkspaceID.value(w), QStringLiteral("x"));
    }

    void closeTab_data()
    {
        QTest::addColumn<QString>("active");
        QTest::addColumn<QString>("closed");
        QTest::addColumn<QStringList>("tabsAfter");
        QTest::addColumn<QString>("activeAfter");
        QTest::newRow("last active: the one before") << "c"
                                                     << "c" << QStringList {"a", "b"} << "b";
        QTest::newRow("middle active: the one after") << "b"
                                                      << "b" << QStringList {"a", "c"} << "c";
        QTest::newRow("other tab: active stays") << "b"
                                                 << "a" << QStringList {"b", "c"} << "b";
        QTest::newRow("unknown id: nothing") << "b"
                                             << "zz" << QStringList {"a", "b", "c"} << "b";
    }

    void closeTab()
    {
        QFETCH(QString, active);
        QFETCH(QString, closed);
        QFETCH(QStringList, tabsAfter);
        QFETCH(QString, activeAfter);
        State state;
        state.tabIDsByWorkspaceID.insert(w, {"a", "b", "c"});
        state.ensureWorkspace(w);
        QVERIFY(state.selectTab(w, active));
        state.closeTab(w, closed);
        QCOMPARE(state.tabIDsByWorkspaceID.value(w), tabsAfter);
        QCOMPARE(state.activeTabIDByWorkspaceID.value(w), activeAfter);
        QCOMPARE(state.terminalCommandStateByWorkspaceID.value(w).size(), tabsAfter.size());
    }

    void theLastTabIsNeverClosed()
    {
        State state;
        state.ensureWorkspace(w);
        const State before = state;
        state.closeTab(w, State::defaultTabID(w));
        QCOMPARE(state, before);
    }

    void snapping()
    {
        State state;
        state.tabIDsByWorkspaceID.insert(w, {"a", "b"});
        QVERIFY(!state.snapTab(w, QStringLiteral("zz")));
        QVERIFY(state.snapTab(w, QStringLiteral("b")));
        QVERIFY(state.snapTab(w, QStringLiteral("b")));
        QCOMPARE(state.snappedTabIDs(w), QStringList {"b"});
        state.closeTab(w, QStringLiteral("b"));
        QVERIFY(!state.snappedTabIDsByWorkspaceID.contains(w));
        QVERIFY(!state.unsnapTab(w, QStringLiteral("a")));
    }

    void tokensMakeEarlierSettlesStale()
    {
        State state;
        state.tabIDsByWorkspaceID.insert(w, {"a", "b"});
        state.ensureWorkspace(w);
        QCOMPARE(state.markOutputActivity(w, "a"), std::nullopt); // nothing submitted yet
        QCOMPARE(state.markCommandSubmitted(w, "a"), std::optional<quint64>(1));
        QCOMPARE(state.markOutputActivity(w, "a"), std::optional<quint64>(2));
        QCOMPARE(state.markOutputActivity(w, "a"), std::optional<quint64>(3));
        QVERIFY(!state.markOutputSettled(w, "a", 2));
        QVERIFY(state.terminalCommandStateByWorkspaceID.value(w).value("a").isOutputStreaming);
        // "a" is the active tab: settling ends the streaming without attention.
        QVERIFY(!state.markOutputSettled(w, "a", 3));
        QCOMPARE(state.terminalCommandStateByWorkspaceID.value(w).value("a"), (Command {true, false, 3, false}));

        QCOMPARE(state.markCommandSubmitted(w, "b"), std::optional<quint64>(1));
        QVERIFY(state.markOutputSettled(w, "b", std::nullopt)); // not active: needs attention
        QVERIFY(state.terminalCommandStateByWorkspaceID.value(w).value("b").needsAttention);
        QVERIFY(state.selectTab(w, "b"));
        QVERIFY(!state.terminalCommandStateByWorkspaceID.value(w).value("b").needsAttention);
        QVERIFY(!state.selectTab(w, "zz"));
        QCOMPARE(state.currentCommandActivityToken(w, "b"), std::optional<quint64>(1));
    }

    void tokenWrapsAround()
    {
        State state;
        state.ensureWorkspace(w);
        const QString tab = State::defaultTabID(w);
        state.terminalCommandStateByWorkspaceID[w][tab]
            = Command {true, false, std::numeric_limits<quint64>::max(), false};
        QCOMPARE(state.markCommandSubmitted(w, tab), std::optional<quint64>(0));
    }

    void prune()
    {
        const QUuid other = QUuid::createUuid();
        State state;
        state.cliVisibilityByWorkspaceID.insert(w, true);
        state.createTab(w, "x");
        state.snapTab(w, "x");
        state.createTab(other, "y");
        state.cliVisibilityByWorkspaceID.insert(other, true);
        // A kept workspace without a tab list keeps its (emptied) command map.
        const QUuid bare = QUuid::createUuid();
        state.terminalCommandStateByWorkspaceID[bare]["t"] = Command {};
        state.snappedTabIDsByWorkspaceID.insert(bare, {"t"});

        state.prune({w, bare});
        QVERIFY(!state.tabIDsByWorkspaceID.contains(other));
        QVERIFY(!state.cliVisibilityByWorkspaceID.contains(other));
        QVERIFY(!state.terminalCommandStateByWorkspaceID.contains(other));
        QCOMPARE(state.snappedTabIDs(w), QStringList {"x"});
        QVERIFY(state.terminalCommandStateByWorkspaceID.contains(bare));
        QVERIFY(state.terminalCommandStateByWorkspaceID.value(bare).isEmpty());
        QVERIFY(!state.snappedTabIDsByWorkspaceID.contains(bare));

        state.prune({});
        QCOMPARE(state, State {});
    }

    void hiddenPanelCannotExpand()
    {
        State state;
        state.setCLIExpanded(true, w);
        QCOMPARE(state.cliExpandedByWorkspaceID.value(w, true), false);
        state.cliVisibilityByWorkspaceID.insert(w, true);
        state.setCLIExpanded(true, w);
        QCOMPARE(state.cliExpandedByWorkspaceID.value(w), true);
    }
};

QTEST_GUILESS_MAIN(WorkspaceTerminalStateTest)
#include "tst_workspaceterminalstate.moc"
