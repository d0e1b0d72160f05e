#pragma once

#include "state/AppState.h"

#include <QPointer>
#include <QScrollArea>
#include <QUuid>
#include <functional>
#include <optional>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QAbstractButton;

// The account settings panel: backend address and remote task sync, the
// Google client ID, sign-in and sign-out, the OAuth debug log, teams, invite
// links and accepting an invite. It keeps only its drafts; every effect is an
// operation of the application state and every status a published field.
class AuthSettingsSidebarView final : public QScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AuthSettingsSidebarView)

public:
    AuthSettingsSidebarView(AppState &appState, std::function<void()> onClose, QWidget *parent = nullptr);

    // The team invites are made for: the panel's own choice, else the first
    // team of the state, else none.
    std::optional<QUuid> inviteTeamID() const;

private:
    void build();
    QGroupBox *addGroup(const QString &title);
    void refreshFromState(AppState::Field field);
    void refreshSync();
    void refreshAccount();
    void refreshLog();
    void refreshTeams();
    void refreshInvite();
    void refreshEnabling();
    void createTeam();
    void generateInvite();
    void acceptInvite();

    AppState &m_state;
    std::function<void()> m_onClose;
    std::optional<QUuid> m_selectedTeamID;
    BL_TeamMembershipRole m_inviteRole = BL_TeamMembershipRole::member;

    QWidget *m_column = nullptr;
    QAbstractButton *m_syncSwitch = nullptr;
    QLineEdit *m_backendURLField = nullptr;
    QLineEdit *m_clientIDField = nullptr;
    QLabel *m_lastSyncLabel = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_emailLabel = nullptr;
    QPushButton *m_signOutButton = nullptr;
    QPlainTextEdit *m_logView = nullptr;
    QLineEdit *m_teamNameField = nullptr;
    QWidget *m_teamPickerRow = nullptr;
    QComboBox *m_teamCombo = nullptr;
    QLabel *m_noTeamsLabel = nullptr;
    QLineEdit *m_inviteEmailField = nullptr;
    QButtonGroup *m_roleGroup = nullptr;
    QSpinBox *m_expirySpinBox = nullptr;
    QLabel *m_expiryLabel = nullptr;
    QPushButton *m_generateInviteButton = nullptr;
    QLabel *m_latestInviteCaption = nullptr;
    QLabel *m_latestInviteURL = nullptr;
    QLineEdit *m_inviteTokenField = nullptr;
    QPushButton *m_acceptInviteButton = nullptr;
};
