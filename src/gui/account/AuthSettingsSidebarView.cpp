#include "AuthSettingsSidebarView.h"

#include "common/Text.h"
#include "shell/DarkAppearance.h"
#include "shell/SymbolIcons.h"

#include <QAbstractButton>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// A sliding on/off switch.
class SwitchToggle final : public QAbstractButton
{
public:
    explicit SwitchToggle(QWidget *parent = nullptr) : QAbstractButton(parent)
    {
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
    }
    QSize sizeHint() const override { return QSize(38, 22); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
        painter.setPen(Qt::NoPen);
        painter.setBrush(isChecked() ? DarkAppearance::accentColor() : DarkAppearance::separatorColor());
        painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        const qreal knob = track.height() - 4;
        const qreal x = isChecked() ? track.right() - knob - 2 : track.left() + 2;
        painter.setBrush(isEnabled() ? QColor(Qt::white) : QColor(0xaa, 0xaa, 0xaa));
        painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
        if (hasFocus()) {
            painter.setPen(QPen(DarkAppearance::accentColor().lighter(140), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        }
    }
};

QLabel *captionLabel(const QString &text, qreal size, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(DarkAppearance::interfaceFont(size));
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, DarkAppearance::secondaryTextColor());
    label->setPalette(palette);
    return label;
}

QPushButton *button(const QString &text, const QString &name, bool prominent, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setFont(DarkAppearance::interfaceFont(10));
    if (prominent) {
        b->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: white; border: none; "
                                        "border-radius: 5px; padding: 4px 10px; }"
                                        "QPushButton:disabled { background-color: #2b3a5c; color: #8a93a6; }"
                                        "QPushButton:pressed { background-color: #2f66d6; }")
                             .arg(DarkAppearance::accentColor().name()));
    }
    return b;
}

QLineEdit *field(const QString &placeholder, const QString &name, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setPlaceholderText(placeholder);
    edit->setClearButtonEnabled(false);
    edit->setFont(DarkAppearance::interfaceFont(10.5));
    return edit;
}

QHBoxLayout *row(QWidget *parent = nullptr)
{
    auto *layout = new QHBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    return layout;
}

QString capitalised(const QString &text)
{
    return text.isEmpty() ? text : text.left(1).toUpper() + text.mid(1);
}

} // namespace

AuthSettingsSidebarView::AuthSettingsSidebarView(AppState &appState, std::function<void()> onClose, QWidget *parent)
    : QScrollArea(parent), m_state(appState), m_onClose(std::move(onClose))
{
    setObjectName(QStringLiteral("authSettingsSidebar"));
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setMinimumWidth(290);
    build();

    // Shown: the drafts take the stored values, the invite team the first team.
    m_backendURLField->setText(m_state.backendBaseURLString());
    m_clientIDField->setText(m_state.googleOAuthClientIDString());
    if (!m_state.teams().isEmpty())
        m_selectedTeamID = m_state.teams().first().id;
    refreshSync();
    refreshAccount();
    refreshLog();
    refreshTeams();
    refreshInvite();
    refreshEnabling();
    connect(&m_state, &AppState::changed, this, &AuthSettingsSidebarView::refreshFromState);
}

QGroupBox *AuthSettingsSidebarView::addGroup(const QString &title)
{
    auto *group = new QGroupBox(title, m_column);
    group->setFont(DarkAppearance::interfaceFont(10.5, QFont::DemiBold));
    auto *layout = new QVBoxLayout(group);
    layout->setContentsMargins(10, 8, 10, 10);
    layout->setSpacing(8);
    m_column->layout()->addWidget(group);
    return group;
}

void AuthSettingsSidebarView::build()
{
    m_column = new QWidget(this);
    m_column->setObjectName(QStringLiteral("authSettingsColumn"));
    auto *column = new QVBoxLayout(m_column);
    column->setContentsMargins(14, 14 + 28, 14, 14);
    column->setSpacing(14);
    setWidget(m_column);

    // Header
    auto *header = new QWidget(m_column);
    auto *headerRow = row(header);
    headerRow->setAlignment(Qt::AlignTop);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(4);
    auto *title = new QLabel(QStringLiteral("User Login"), header);
    title->setFont(DarkAppearance::interfaceFont(15, QFont::Bold));
    titles->addWidget(title);
    titles->addWidget(
        captionLabel(QStringLiteral("Google auth, shared teams, and invite links for board control."), 10, header));
    headerRow->addLayout(titles, 1);
    auto *close = new QToolButton(header);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setIcon(SymbolIcons::icon(QStringLiteral("xmark")));
    close->setIconSize(QSize(12, 12));
    close->setFixedSize(22, 22);
    close->setToolTip(QStringLiteral("Close"));
    if (close->icon().isNull())
        close->setText(QStringLiteral("×"));
    connect(close, &QToolButton::clicked, this, [this] {
        if (m_onClose)
            m_onClose();
    });
    headerRow->addWidget(close, 0, Qt::AlignTop);
    column->addWidget(header);

    const QFont body = DarkAppearance::interfaceFont(10.5);

    // Backend
    QGroupBox *backend = addGroup(QStringLiteral("Backend"));
    auto *switchRow = row();
    auto *switchLabel = new QLabel(QStringLiteral("Enable Remote Task Sync"), backend);
    switchLabel->setFont(body);
    m_syncSwitch = new SwitchToggle(backend);
    m_syncSwitch->setObjectName(QStringLiteral("remoteSyncSwitch"));
    m_syncSwitch->setAccessibleName(switchLabel->text());
    switchRow->addWidget(switchLabel, 1);
    switchRow->addWidget(m_syncSwitch);
    backend->layout()->addItem(switchRow);
    connect(m_syncSwitch, &QAbstractButton::clicked, this, [this](bool on) {
        m_state.setRemoteTaskSyncFeatureEnabled(on);
        refreshSync(); // the switch shows whatever the state now holds
    });
    m_backendURLField = field(QStringLiteral("https://api.example.com"), QStringLiteral("backendURLField"), backend);
    backend->layout()->addWidget(m_backendURLField);
    m_clientIDField = field(QStringLiteral("Google OAuth Client ID (...apps.googleusercontent.com)"),
        QStringLiteral("googleClientIDField"), backend);
    backend->layout()->addWidget(m_clientIDField);
    m_lastSyncLabel = captionLabel(QString(), 9, backend);
    m_lastSyncLabel->setObjectName(QStringLiteral("lastSyncLabel"));
    backend->layout()->addWidget(m_lastSyncLabel);
    auto *backendButtons = new QGridLayout;
    backendButtons->setHorizontalSpacing(6);
    backendButtons->setVerticalSpacing(6);
    auto *saveURL = button(QStringLiteral("Save Backend URL"), QStringLiteral("saveBackendURLButton"), false, backend);
    auto *saveID
        = button(QStringLiteral("Save Google Client ID"), QStringLiteral("saveClientIDButton"), false, backend);
    auto *refresh = button(QStringLiteral("Refresh Access"), QStringLiteral("refreshAccessButton"), false, backend);
    // One row when the column is wide enough, else the third button wraps.
    backendButtons->addWidget(saveURL, 0, 0);
    backendButtons->addWidget(saveID, 0, 1);
    backendButtons->addWidget(refresh, 1, 0);
    backend->layout()->addItem(backendButtons);
    connect(saveURL, &QPushButton::clicked, this, [this] { m_state.updateBackendBaseURL(m_backendURLField->text()); });
    connect(
        saveID, &QPushButton::clicked, this, [this] { m_state.updateGoogleOAuthClientID(m_clientIDField->text()); });
    connect(refresh, &QPushButton::clicked, this, [this] { m_state.refreshAuthContextFromBackend(); });

    // Google
    QGroupBox *google = addGroup(QStringLiteral("Google"));
    m_statusLabel = new QLabel(google);
    m_statusLabel->setObjectName(QStringLiteral("signInStatusLabel"));
    m_statusLabel->setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    google->layout()->addWidget(m_statusLabel);
    m_emailLabel = captionLabel(QString(), 10, google);
    m_emailLabel->setObjectName(QStringLiteral("signInEmailLabel"));
    google->layout()->addWidget(m_emailLabel);
    auto *signRow = row();
    auto *signIn = button(QStringLiteral("Start Native Google Sign-In"), QStringLiteral("signInButton"), true, google);
    m_signOutButton = button(QStringLiteral("Sign Out"), QStringLiteral("signOutButton"), false, google);
    signRow->addWidget(signIn);
    signRow->addWidget(m_signOutButton);
    signRow->addStretch(1);
    google->layout()->addItem(signRow);
    google->layout()->addWidget(captionLabel(
        QStringLiteral("Native mode signs in with your Google account in the browser and returns the ID token "
                       "directly."),
        9, google));
    connect(signIn, &QPushButton::clicked, this, [this] { m_state.startGoogleSignIn(); });
    connect(m_signOutButton, &QPushButton::clicked, this, [this] { m_state.signOut(); });

    // OAuth Debug
    QGroupBox *debug = addGroup(QStringLiteral("OAuth Debug"));
    auto *logButtons = row();
    auto *copyLogs = button(QStringLiteral("Copy Logs"), QStringLiteral("copyLogsButton"), false, debug);
    auto *clearLogs = button(QStringLiteral("Clear Logs"), QStringLiteral("clearLogsButton"), false, debug);
    logButtons->addWidget(copyLogs);
    logButtons->addWidget(clearLogs);
    logButtons->addStretch(1);
    debug->layout()->addItem(logButtons);
    m_logView = new QPlainTextEdit(debug);
    m_logView->setObjectName(QStringLiteral("oauthLogView"));
    m_logView->setReadOnly(true);
    m_logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_logView->setFont(DarkAppearance::codeFont(8.5));
    m_logView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_logView->setStyleSheet(QStringLiteral("QPlainTextEdit { background-color: rgba(0, 0, 0, 26); border: none; "
                                            "border-radius: 8px; padding: 8px; }"));
    debug->layout()->addWidget(m_logView);
    connect(copyLogs, &QPushButton::clicked, this, [this] {
        QClipboard *clipboard = QApplication::clipboard();
        clipboard->clear();
        clipboard->setText(m_state.oauthDebugLogText());
    });
    connect(clearLogs, &QPushButton::clicked, this, [this] { m_state.clearOAuthDebugLog(); });

    // Teams
    QGroupBox *teams = addGroup(QStringLiteral("Teams"));
    auto *teamRow = row();
    m_teamNameField = field(QStringLiteral("Team name"), QStringLiteral("teamNameField"), teams);
    auto *createTeamButton = button(QStringLiteral("Create Team"), QStringLiteral("createTeamButton"), true, teams);
    teamRow->addWidget(m_teamNameField, 1);
    teamRow->addWidget(createTeamButton);
    teams->layout()->addItem(teamRow);
    m_teamPickerRow = new QWidget(teams);
    auto *pickerRow = row(m_teamPickerRow);
    auto *pickerLabel = new QLabel(QStringLiteral("Invite team"), m_teamPickerRow);
    pickerLabel->setFont(body);
    m_teamCombo = new QComboBox(m_teamPickerRow);
    m_teamCombo->setObjectName(QStringLiteral("inviteTeamCombo"));
    m_teamCombo->setFont(body);
    pickerRow->addWidget(pickerLabel);
    pickerRow->addWidget(m_teamCombo, 1);
    teams->layout()->addWidget(m_teamPickerRow);
    m_noTeamsLabel = captionLabel(QStringLiteral("No teams available yet."), 10, teams);
    m_noTeamsLabel->setObjectName(QStringLiteral("noTeamsLabel"));
    teams->layout()->addWidget(m_noTeamsLabel);
    connect(createTeamButton, &QPushButton::clicked, this, &AuthSettingsSidebarView::createTeam);
    connect(m_teamCombo, &QComboBox::activated, this, [this](int index) {
        m_selectedTeamID = m_teamCombo->itemData(index).toUuid();
        refreshEnabling();
    });

    // Invite Links
    QGroupBox *invites = addGroup(QStringLiteral("Invite Links"));
    m_inviteEmailField = field(QStringLiteral("Invite email"), QStringLiteral("inviteEmailField"), invites);
    invites->layout()->addWidget(m_inviteEmailField);
    auto *roles = new QWidget(invites);
    roles->setObjectName(QStringLiteral("inviteRoleSegments"));
    auto *rolesRow = row(roles);
    rolesRow->setSpacing(0);
    m_roleGroup = new QButtonGroup(roles);
    m_roleGroup->setExclusive(true);
    const QList<BL_TeamMembershipRole> allRoles = allTeamMembershipRoles();
    for (int i = 0; i < allRoles.size(); ++i) {
        auto *segment = new QToolButton(roles);
        const QString raw = rawValue(allRoles[i]);
        segment->setObjectName(QStringLiteral("inviteRole_") + raw);
        segment->setText(capitalised(raw));
        segment->setCheckable(true);
        segment->setChecked(allRoles[i] == m_inviteRole);
        segment->setFont(DarkAppearance::interfaceFont(10));
        segment->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        const QString corners = i == 0 ? QStringLiteral("border-top-left-radius: 5px; border-bottom-left-radius: 5px;")
            : i == allRoles.size() - 1
            ? QStringLiteral("border-top-right-radius: 5px; border-bottom-right-radius: 5px;")
            : QString();
        segment->setStyleSheet(QStringLiteral("QToolButton { border: 1px solid #34363b; padding: 3px 6px; "
                                              "background-color: #26272b; %1 }"
                                              "QToolButton:checked { background-color: #3a3c42; color: white; }")
                                   .arg(corners));
        m_roleGroup->addButton(segment, i);
        rolesRow->addWidget(segment);
    }
    invites->layout()->addWidget(roles);
    connect(m_roleGroup, &QButtonGroup::idClicked, this,
        [this](int id) { m_inviteRole = allTeamMembershipRoles().at(id); });
    auto *expiryRow = row();
    m_expiryLabel = new QLabel(invites);
    m_expiryLabel->setFont(body);
    m_expirySpinBox = new QSpinBox(invites);
    m_expirySpinBox->setObjectName(QStringLiteral("inviteExpirySpinBox"));
    m_expirySpinBox->setRange(1, 168);
    m_expirySpinBox->setSingleStep(1);
    m_expirySpinBox->setValue(24);
    m_expirySpinBox->setFont(body);
    expiryRow->addWidget(m_expiryLabel, 1);
    expiryRow->addWidget(m_expirySpinBox);
    invites->layout()->addItem(expiryRow);
    connect(m_expirySpinBox, &QSpinBox::valueChanged, this,
        [this](int hours) { m_expiryLabel->setText(QStringLiteral("Expires in %1 hours").arg(hours)); });
    m_expiryLabel->setText(QStringLiteral("Expires in %1 hours").arg(m_expirySpinBox->value()));
    m_generateInviteButton
        = button(QStringLiteral("Generate Invite Link"), QStringLiteral("generateInviteButton"), true, invites);
    auto *generateRow = row();
    generateRow->addWidget(m_generateInviteButton);
    generateRow->addStretch(1);
    invites->layout()->addItem(generateRow);
    m_latestInviteCaption = captionLabel(QStringLiteral("Latest invite URL"), 9, invites);
    invites->layout()->addWidget(m_latestInviteCaption);
    m_latestInviteURL = new QLabel(invites);
    m_latestInviteURL->setObjectName(QStringLiteral("latestInviteURLLabel"));
    m_latestInviteURL->setFont(DarkAppearance::codeFont(8.5));
    m_latestInviteURL->setWordWrap(true);
    m_latestInviteURL->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    invites->layout()->addWidget(m_latestInviteURL);
    connect(m_inviteEmailField, &QLineEdit::textChanged, this, &AuthSettingsSidebarView::refreshEnabling);
    connect(m_generateInviteButton, &QPushButton::clicked, this, &AuthSettingsSidebarView::generateInvite);

    // Accept Invite
    QGroupBox *accept = addGroup(QStringLiteral("Accept Invite"));
    m_inviteTokenField = field(QStringLiteral("Paste invite token"), QStringLiteral("inviteTokenField"), accept);
    accept->layout()->addWidget(m_inviteTokenField);
    m_acceptInviteButton = button(QStringLiteral("Accept Invite"), QStringLiteral("acceptInviteButton"), false, accept);
    auto *acceptRow = row();
    acceptRow->addWidget(m_acceptInviteButton);
    acceptRow->addStretch(1);
    accept->layout()->addItem(acceptRow);
    connect(m_inviteTokenField, &QLineEdit::textChanged, this, &AuthSettingsSidebarView::refreshEnabling);
    connect(m_acceptInviteButton, &QPushButton::clicked, this, &AuthSettingsSidebarView::acceptInvite);

    column->addStretch(1);
}

std::optional<QUuid> AuthSettingsSidebarView::inviteTeamID() const
{
    if (m_selectedTeamID)
        return m_selectedTeamID;
    if (!m_state.teams().isEmpty())
        return m_state.teams().first().id;
    return std::nullopt;
}

void AuthSettingsSidebarView::refreshFromState(AppState::Field field)
{
    switch (field) {
    case AppState::Field::remoteSyncFeatureEnabled:
    case AppState::Field::remoteLastSyncAt:
        refreshSync();
        break;
    case AppState::Field::isAuthenticated:
    case AppState::Field::currentUserEmail:
        refreshAccount();
        break;
    case AppState::Field::oauthDebugLogText:
        refreshLog();
        break;
    case AppState::Field::teams:
        refreshTeams();
        break;
    case AppState::Field::lastCreatedInvite:
        refreshInvite();
        break;
    default:
        break;
    }
}

void AuthSettingsSidebarView::refreshSync()
{
    m_syncSwitch->setChecked(m_state.remoteSyncFeatureEnabled());
    const auto lastSync = m_state.remoteLastSyncAt();
    m_lastSyncLabel->setVisible(lastSync.has_value());
    if (lastSync) {
        const QLocale locale;
        const QDateTime local = lastSync->toDateTime().toLocalTime();
        m_lastSyncLabel->setText(QStringLiteral("Last backend sync: ")
            + locale.toString(local.date(), QStringLiteral("MMM d, yyyy")) + QStringLiteral(" at ")
            + locale.toString(local.time(), QStringLiteral("HH:mm:ss")));
    }
}

void AuthSettingsSidebarView::refreshAccount()
{
    m_statusLabel->setText(m_state.isAuthenticated() ? QStringLiteral("Authenticated") : QStringLiteral("Signed out"));
    const auto email = m_state.currentUserEmail();
    m_emailLabel->setVisible(email && !email->isEmpty());
    m_emailLabel->setText(email.value_or(QString()));
    refreshEnabling();
}

void AuthSettingsSidebarView::refreshLog()
{
    const QString text = m_state.oauthDebugLogText();
    m_logView->setPlainText(text.isEmpty() ? QStringLiteral("No OAuth debug events yet.") : text);
    // As tall as the text, between 120 and 220; the user scrolls beyond.
    const qreal lines = m_logView->document()->documentLayout()->documentSize().height();
    const int wanted = int(lines * m_logView->fontMetrics().lineSpacing()) + 24;
    m_logView->setFixedHeight(std::clamp(wanted, 120, 220));
}

void AuthSettingsSidebarView::refreshTeams()
{
    const QList<BL_Team> &teams = m_state.teams();
    if (!m_selectedTeamID
        || std::none_of(teams.cbegin(), teams.cend(), [&](const BL_Team &t) { return t.id == *m_selectedTeamID; }))
        m_selectedTeamID = teams.isEmpty() ? std::nullopt : std::optional<QUuid>(teams.first().id);
    m_teamCombo->clear();
    for (const BL_Team &team : teams)
        m_teamCombo->addItem(team.name, team.id);
    if (const auto chosen = inviteTeamID())
        m_teamCombo->setCurrentIndex(m_teamCombo->findData(*chosen));
    m_teamPickerRow->setVisible(!teams.isEmpty());
    m_noTeamsLabel->setVisible(teams.isEmpty());
    refreshEnabling();
}

void AuthSettingsSidebarView::refreshInvite()
{
    const auto &invite = m_state.lastCreatedInvite();
    m_latestInviteCaption->setVisible(invite.has_value());
    m_latestInviteURL->setVisible(invite.has_value());
    m_latestInviteURL->setText(invite ? invite->inviteURL : QString());
}

void AuthSettingsSidebarView::refreshEnabling()
{
    m_signOutButton->setEnabled(m_state.isAuthenticated());
    m_generateInviteButton->setEnabled(inviteTeamID() && !Text::isBlank(m_inviteEmailField->text()));
    m_acceptInviteButton->setEnabled(!Text::isBlank(m_inviteTokenField->text()));
}

void AuthSettingsSidebarView::createTeam()
{
    const QString name = Text::trimmed(m_teamNameField->text());
    if (name.isEmpty()) {
        m_state.createTeam(std::nullopt);
        return;
    }
    m_state.createTeam(name);
    m_teamNameField->clear();
}

void AuthSettingsSidebarView::generateInvite()
{
    const auto team = inviteTeamID();
    if (!team)
        return;
    m_state.createInvite(*team, m_inviteEmailField->text(), m_inviteRole, m_expirySpinBox->value());
}

void AuthSettingsSidebarView::acceptInvite()
{
    m_state.acceptInvite(m_inviteTokenField->text());
}
