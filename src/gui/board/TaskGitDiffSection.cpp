#include "TaskGitDiffSection.h"

#include "GitDiffStyle.h"
#include "GitDiffView.h"
#include "PillLabel.h"
#include "common/Background.h"
#include "shell/DarkAppearance.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {

using namespace GitDiffStyle;

const PillLabel::Look kDiffPill {0.95, 0.16, 0.35, 8, 4};

QFont pillFont()
{
    return interfaceFont(kCaption2, QFont::DemiBold);
}

PillLabel *diffPill(const QString &text, const QColor &tint, const QString &objectName)
{
    auto *pill = new PillLabel(text, tint, kDiffPill, pillFont());
    pill->setObjectName(objectName);
    return pill;
}

// A plain button drawn as a pill.
class PillButton final : public QAbstractButton
{
public:
    PillButton(const QString &text, const QColor &tint, QWidget *parent = nullptr)
        : QAbstractButton(parent), m_tint(tint)
    {
        setText(text);
        setFont(pillFont());
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override { return PillLabel::pillSize(text(), kDiffPill, font()).toSize(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        if (!isEnabled())
            painter.setOpacity(0.5);
        else if (isDown())
            painter.setOpacity(0.7);
        PillLabel::paint(painter, QRectF(rect()), text(), m_tint, kDiffPill, font());
    }

private:
    QColor m_tint;
};

QLabel *captionLabel(const QString &objectName, const QColor &color)
{
    auto *label = new QLabel;
    label->setObjectName(objectName);
    label->setFont(interfaceFont(kCaption));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

} // namespace

struct TaskGitDiffSection::ReadOutcome
{
    std::optional<PatchRead> read;
    ParsedGitDiff parsed;
};

TaskGitDiffSection::TaskGitDiffSection(
    const TaskGitCheckpointService &patchReader, const BL_Task &task, QWidget *parent)
    : QWidget(parent), m_reader(patchReader), m_task(task)
{
    setObjectName(QStringLiteral("gitDiffSection"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    m_pillRow = new QWidget;
    m_pills = new QHBoxLayout(m_pillRow);
    m_pills->setContentsMargins(0, 0, 0, 0);
    m_pills->setSpacing(8);
    auto *title = new QLabel(QStringLiteral("Git Diff"));
    title->setObjectName(QStringLiteral("gitDiffTitle"));
    title->setFont(interfaceFont(kHeadline, QFont::DemiBold));
    m_pills->addWidget(title);
    m_pills->addStretch(1);
    column->addWidget(m_pillRow);

    auto *button = new PillButton(QStringLiteral("Open Diff Viewer"), standardOrange());
    button->setObjectName(QStringLiteral("openDiffViewerButton"));
    connect(button, &QAbstractButton::clicked, this, &TaskGitDiffSection::openGitDiffViewer);
    m_openButton = button;
    auto *buttonRow = new QHBoxLayout;
    buttonRow->setContentsMargins(0, 0, 0, 0);
    buttonRow->addWidget(m_openButton);
    buttonRow->addStretch(1);
    column->addLayout(buttonRow);
    m_errorLabel = captionLabel(QStringLiteral("gitDiffErrorLabel"), withAlpha(standardRed(), 0.86));
    column->addWidget(m_errorLabel);
    m_statusLabel = captionLabel(QStringLiteral("gitDiffStatusLabel"), DarkAppearance::secondaryTextColor());
    column->addWidget(m_statusLabel);

    refresh();
}

TaskGitDiffSection::~TaskGitDiffSection()
{
    if (m_viewer)
        delete m_viewer.data();
}

bool TaskGitDiffSection::isShown(const BL_Task &task, const std::optional<BL_TaskGitDiffArtifact> &artifact)
{
    return artifact.has_value() || task.status == BL_TaskStatus::inProgress || task.status == BL_TaskStatus::completed
        || task.status == BL_TaskStatus::failed;
}

void TaskGitDiffSection::setTask(const BL_Task &task)
{
    m_task = task;
    rebuild();
}

void TaskGitDiffSection::refresh()
{
    m_artifact = BL_TaskGitDiffArtifact::decode(m_task.metadata);
    m_errorMessage.reset();
    rebuild();
}

void TaskGitDiffSection::setParentWindowContentWidth(std::optional<double> width)
{
    m_parentWindowContentWidth = width;
}

std::optional<QString> TaskGitDiffSection::resolvedGitDiffFilePath() const
{
    if (!m_artifact)
        return std::nullopt;
    return m_reader.offeredPatchPath(m_task.projectID, m_task.blID, *m_artifact);
}

QString TaskGitDiffSection::statusLine() const
{
    if (!m_artifact) {
        return m_task.status == BL_TaskStatus::inProgress
            ? QStringLiteral("Git checkpointing in progress.")
            : QStringLiteral("No git diff has been captured for this task.");
    }
    switch (m_artifact->state) {
    case BL_TaskGitDiffState::pending:
        return QStringLiteral("Git checkpointing in progress.");
    case BL_TaskGitDiffState::ready:
        return QStringLiteral("Git diff captured, but the patch file was not found.");
    case BL_TaskGitDiffState::unavailable:
    case BL_TaskGitDiffState::failed:
        return m_artifact->errorMessage.value_or(QStringLiteral("Git diff unavailable."));
    }
    return {};
}

void TaskGitDiffSection::rebuild()
{
    // The pills after the title follow the artifact's summary.
    while (m_pills->count() > 2) {
        QLayoutItem *item = m_pills->takeAt(1);
        delete item->widget();
        delete item;
    }
    if (m_artifact && m_artifact->summary) {
        const BL_TaskGitDiffSummary &summary = *m_artifact->summary;
        m_pills->insertWidget(1,
            diffPill(QString::number(summary.filesChanged) + QStringLiteral(" files"), standardBlue(),
                QStringLiteral("filesChangedPill")));
        m_pills->insertWidget(2,
            diffPill(QStringLiteral("+") + QString::number(summary.linesAdded), standardGreen(),
                QStringLiteral("linesAddedPill")));
        m_pills->insertWidget(3,
            diffPill(QStringLiteral("-") + QString::number(summary.linesRemoved), standardRed(),
                QStringLiteral("linesRemovedPill")));
    }

    const bool offered = resolvedGitDiffFilePath().has_value();
    m_openButton->setVisible(offered);
    m_openButton->setEnabled(!m_reading);
    const bool showError = offered && m_errorMessage && !m_errorMessage->isEmpty();
    m_errorLabel->setText(showError ? *m_errorMessage : QString());
    m_errorLabel->setVisible(showError);
    m_statusLabel->setText(offered ? QString() : statusLine());
    m_statusLabel->setVisible(!offered);
}

void TaskGitDiffSection::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    rebuild(); // the patch file may have come or gone meanwhile
}

void TaskGitDiffSection::openGitDiffViewer()
{
    if (m_reading || !m_artifact)
        return;
    m_reading = true;
    rebuild();
    const TaskGitCheckpointService reader = m_reader;
    const QUuid projectID = m_task.projectID;
    const QUuid taskID = m_task.blID;
    const BL_TaskGitDiffArtifact artifact = *m_artifact;
    Background::run(
        [reader, projectID, taskID, artifact] {
            ReadOutcome outcome {reader.readPatch(projectID, taskID, artifact), {}};
            if (outcome.read->ok())
                outcome.parsed = ParsedGitDiff::parse(outcome.read->text());
            return outcome;
        },
        this, [this](ReadOutcome outcome) { finishOpening(std::move(outcome)); });
}

void TaskGitDiffSection::finishOpening(ReadOutcome outcome)
{
    m_reading = false;
    if (!outcome.read->ok()) {
        m_errorMessage = outcome.read->error().message;
        rebuild();
        emit openFinished();
        return;
    }
    m_diffText = outcome.read->text();
    m_errorMessage.reset();
    rebuild();
    const std::optional<double> width
        = m_parentWindowContentWidth ? m_parentWindowContentWidth : std::optional<double>(window()->width());
    m_viewer = new GitDiffView(
        m_diffText, std::move(outcome.parsed), width, [this] { dismissViewer(); }, window());
    m_viewer->show();
    emit openFinished();
}

void TaskGitDiffSection::dismissViewer()
{
    if (!m_viewer)
        return;
    GitDiffView *viewer = m_viewer;
    m_viewer = nullptr;
    viewer->hide();
    viewer->deleteLater();
}
