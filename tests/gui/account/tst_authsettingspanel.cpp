#include "../../core/state/AppStateFixture.h"
#include "account/AuthSettingsSidebarView.h"
#include "shell/DarkAppearance.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

namespace {

template<typename T> T *child(QWidget &panel, const char *name)
{
    T *widget = panel.findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// With TESSARON_SCREENSHOT_DIR set (under Xvfb with a screen 1400 high), shows the panel as the
// sidebar column and captures the screen into <dir>/<name>.png.
void screenshot(QWidget &panel, const QString &name)
{
    const QString directory = qEnvironmentVariable("TESSARON_SCREENSHOT_DIR");
    if (directory.isEmpty())
        return;
    panel.resize(340, 1400);
    panel.move(0, 0);
    panel.show();
    QTest::qWait(600);
    QProcess::execute(QStringLiteral("import"),
        {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("-crop"), QStringLiteral("340x1400+0+0"),
            directory + u'/' + name + QStringLiteral(".png")});
}

} // namespace

class TestAuthSettingsPanel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { DarkAppearance::apply(*qApp); }

    void signedOutWithoutTeams()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        bool closed = false;
        AuthSettingsSidebarView panel(*state, [&] { closed = true; });

        QCOMPARE(child<QLabel>(panel, "signInStatusLabel")->text(), QStringLiteral("Signed out"));
        QVERIFY(child<QLabel>(panel, "signInEmailLabel")->isHidden());
        QVERIFY(!child<QPushButton>(panel, "signOutButton")->isEnabled());
        QVERIFY(child<QLabel>(panel, "lastSyncLabel")->isHidden());
        QCOMPARE(
            child<QPlainTextEdit>(panel, "oauthLogView")->toPlainText(), QStringLiteral("No OAuth debug events yet."));
        QVERIFY(child<QLabel>(panel, "noTeamsLabel")->isVisibleTo(&panel));
        QVERIFY(!child<QComboBox>(panel, "inviteTeamCombo")->isVisibleTo(&panel));
        child<QLineEdit>(panel, "inviteEmailField")->setText(QStringLiteral("bo@example.com"));
        QVERIFY(!child<QPushButton>(panel, "generateInviteButton")->isEnabled());
        auto *expiry = child<QSpinBox>(panel, "inviteExpirySpinBox");
        QCOMPARE(expiry->value(), 24);
        QCOMPARE(expiry->minimum(), 1);
        QCOMPARE(expiry->maximum(), 168);
        QVERIFY(child<QToolButton>(panel, "inviteRole_member")->isChecked());
        QVERIFY(!child<QAbstractButton>(panel, "remoteSyncSwitch")->isChecked());
        screenshot(panel, QStringLiteral("account-panel-signed-out"));

        // Copying an empty log leaves an empty text.
        QApplication::clipboard()->setText(QStringLiteral("old"));
        child<QPushButton>(panel, "copyLogsButton")->click();
        QCOMPARE(QApplication::clipboard()->text(), QString());
        child<QToolButton>(panel, "closeButton")->click();
        QVERIFY(closed);
    }

    void teamsInvitesAndLog()
    {
        AppStateFixture fixture;
        fixture.defaults.setValue(AppSettings::backendBaseURLKey, QStringLiteral("https://api.example.com"));
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->startGoogleSignIn())); // local sign-in
        AuthSettingsSidebarView panel(*state, {});
        QCOMPARE(child<QLineEdit>(panel, "backendURLField")->text(), QStringLiteral("https://api.example.com"));
        QCOMPARE(child<QLabel>(panel, "signInStatusLabel")->text(), QStringLiteral("Authenticated"));
        QVERIFY(child<QPushButton>(panel, "signOutButton")->isEnabled());

        // A blank name lets the state choose and keeps the draft; a name empties it.
        auto *teamName = child<QLineEdit>(panel, "teamNameField");
        teamName->setText(QStringLiteral("   "));
        child<QPushButton>(panel, "createTeamButton")->click();
        QCOMPARE(state->teams().last().name, QStringLiteral("Team 1"));
        QCOMPARE(teamName->text(), QStringLiteral("   "));
        teamName->setText(QStringLiteral(" Platform "));
        child<QPushButton>(panel, "createTeamButton")->click();
        QCOMPARE(teamName->text(), QString());
        auto *combo = child<QComboBox>(panel, "inviteTeamCombo");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->currentText(), QStringLiteral("Team 1"));

        auto *email = child<QLineEdit>(panel, "inviteEmailField");
        auto *generate = child<QPushButton>(panel, "generateInviteButton");
        email->setText(QStringLiteral("  "));
        QVERIFY(!generate->isEnabled());
        email->setText(QStringLiteral(" Bo@Example.com "));
        QVERIFY(generate->isEnabled());
        combo->setCurrentIndex(1);
        emit combo->activated(1);
        child<QToolButton>(panel, "inviteRole_admin")->click();
        child<QSpinBox>(panel, "inviteExpirySpinBox")->setValue(48);
        generate->click();
        QVERIFY(TestSupport::waitUntil([&] { return state->lastCreatedInvite().has_value(); }));
        QCOMPARE(state->lastCreatedInvite()->teamID, std::optional<QUuid>(state->teams().at(1).id));
        QCOMPARE(state->lastCreatedInvite()->role, BL_TeamMembershipRole::admin);
        auto *url = child<QLabel>(panel, "latestInviteURLLabel");
        QVERIFY(url->isVisibleTo(&panel));
        QVERIFY(url->text().startsWith(QStringLiteral("https://api.example.com/invite?token=")));
        QCOMPARE(email->text(), QStringLiteral(" Bo@Example.com ")); // drafts stay

        auto *token = child<QLineEdit>(panel, "inviteTokenField");
        auto *accept = child<QPushButton>(panel, "acceptInviteButton");
        token->setText(QStringLiteral(" \t"));
        QVERIFY(!accept->isEnabled());
        token->setText(QStringLiteral(" abc "));
        QVERIFY(accept->isEnabled());

        QVERIFY(child<QPlainTextEdit>(panel, "oauthLogView")
                    ->toPlainText()
                    .contains(QStringLiteral("Created invite for bo@example.com.")));
        screenshot(panel, QStringLiteral("account-panel-signed-in"));
        child<QPushButton>(panel, "copyLogsButton")->click();
        QCOMPARE(QApplication::clipboard()->text(), state->oauthDebugLogText());
        child<QPushButton>(panel, "clearLogsButton")->click();
        QCOMPARE(state->oauthDebugLogText(), QString());
        QCOMPARE(
            child<QPlainTextEdit>(panel, "oauthLogView")->toPlainText(), QStringLiteral("No OAuth debug events yet."));
    }

    void syncSwitchFollowsTheState()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        AuthSettingsSidebarView panel(*state, {});
        auto *toggle = child<QAbstractButton>(panel, "remoteSyncSwitch");
        toggle->click();
        QVERIFY(state->remoteSyncFeatureEnabled());
        QVERIFY(toggle->isChecked());
        QCOMPARE(fixture.defaults.boolean(AppSettings::remoteTaskSyncFlagKey), std::optional<bool>(true));
        QVERIFY(state->oauthDebugLogText().contains(QStringLiteral("Remote task sync feature enabled.")));
        state->setRemoteTaskSyncFeatureEnabled(false);
        QVERIFY(!toggle->isChecked());
    }
};

QTEST_MAIN(TestAuthSettingsPanel)
#include "tst_authsettingspanel.moc"
