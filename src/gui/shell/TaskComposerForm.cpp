#include "TaskComposerForm.h"

#include "DarkAppearance.h"
#include "SymbolIcons.h"
#include "common/Text.h"

#include <QApplication>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

QString rawValue(TaskPriority priority)
{
    switch (priority) {
    case TaskPriority::high:
        return QStringLiteral("high");
    case TaskPriority::medium:
        return QStringLiteral("medium");
    case TaskPriority::low:
        return QStringLiteral("low");
    }
    return QStringLiteral("medium");
}

QString rawValue(TaskSizeEstimate size)
{
    switch (size) {
    case TaskSizeEstimate::S:
        return QStringLiteral("S");
    case TaskSizeEstimate::M:
        return QStringLiteral("M");
    case TaskSizeEstimate::L:
        return QStringLiteral("L");
    }
    return QStringLiteral("M");
}

std::optional<TaskPriority> taskPriorityFromRaw(const QString &raw)
{
    for (TaskPriority priority : {TaskPriority::high, TaskPriority::medium, TaskPriority::low})
        if (rawValue(priority) == raw)
            return priority;
    return std::nullopt;
}

std::optional<TaskSizeEstimate> taskSizeEstimateFromRaw(const QString &raw)
{
    for (TaskSizeEstimate size : {TaskSizeEstimate::S, TaskSizeEstimate::M, TaskSizeEstimate::L})
        if (rawValue(size) == raw)
            return size;
    return std::nullopt;
}

QString label(TaskPriority priority)
{
    QString text = rawValue(priority);
    text[0] = text[0].toUpper();
    return text;
}

bool NewTaskDraft::canCreate() const
{
    return !Text::trimmed(title).isEmpty();
}

namespace {

QWidget *fieldCard(const QString &title, const QString &subtitle, QWidget *content, QWidget *parent)
{
    auto *card = new QFrame(parent);
    card->setObjectName(QStringLiteral("composerCard"));
    card->setStyleSheet(QStringLiteral("#composerCard { background: rgba(255,255,255,0.04);"
                                       " border: 1px solid rgba(255,255,255,0.10); border-radius: 12px; }"));
    auto *layout = new QVBoxLayout(card);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);
    auto *heading = new QLabel(title, card);
    heading->setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    heading->setStyleSheet(QStringLiteral("color: white; background: transparent; border: none;"));
    layout->addWidget(heading);
    auto *sub = new QLabel(subtitle, card);
    sub->setFont(DarkAppearance::interfaceFont(9));
    sub->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.62); background: transparent; border: none;"));
    layout->addWidget(sub);
    content->setParent(card);
    layout->addWidget(content);
    return card;
}

QLabel *chip(QWidget *parent, const char *name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(DarkAppearance::interfaceFont(10));
    label->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(255,255,255,0.08); border-radius: 12px; padding: 6px 10px; }"));
    return label;
}

QString chipText(const QString &title, const QString &value)
{
    return QStringLiteral("<span style=\"color:rgba(255,255,255,0.62)\">%1</span>&nbsp;&nbsp;"
                          "<span style=\"color:white;font-weight:600\">%2</span>")
        .arg(title.toHtmlEscaped(), value.toHtmlEscaped());
}

QWidget *segmented(QButtonGroup *group, const QString &caption, const QStringList &labels, const QStringList &names,
    int checked, QWidget *parent)
{
    auto *box = new QWidget(parent);
    box->setStyleSheet(QStringLiteral("background: transparent;"));
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto *title = new QLabel(caption, box);
    title->setFont(DarkAppearance::interfaceFont(9));
    title->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.62);"));
    layout->addWidget(title);
    auto *row = new QHBoxLayout;
    row->setSpacing(0);
    for (int i = 0; i < labels.size(); ++i) {
        auto *button = new QPushButton(labels[i], box);
        button->setObjectName(names[i]);
        button->setCheckable(true);
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::TabFocus);
        button->setMinimumWidth(56);
        const QString left = i == 0 ? QStringLiteral("6px") : QStringLiteral("0");
        const QString right = i == labels.size() - 1 ? QStringLiteral("6px") : QStringLiteral("0");
        button->setStyleSheet(QStringLiteral("QPushButton { color: white; background: rgba(255,255,255,0.08);"
                                             " border: 1px solid rgba(255,255,255,0.16); padding: 4px 10px;"
                                             " border-top-left-radius: %1; border-bottom-left-radius: %1;"
                                             " border-top-right-radius: %2; border-bottom-right-radius: %2; }"
                                             "QPushButton:checked { background: #0a84ff; border-color: #0a84ff; }")
                                  .arg(left, right));
        group->addButton(button, i);
        row->addWidget(button);
        if (i == checked)
            button->setChecked(true);
    }
    layout->addLayout(row);
    return box;
}

} // namespace

TaskComposerForm::TaskComposerForm(const QString &projectName, std::function<void()> onCancel,
    std::function<void(const NewTaskDraft &)> onCreate, QWidget *parent)
    : QWidget(parent), m_onCancel(std::move(onCancel)), m_onCreate(std::move(onCreate))
{
    setObjectName(QStringLiteral("taskComposerForm"));
    setMinimumSize(620, 640);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(14);

    auto *header = new QHBoxLayout;
    auto *headings = new QVBoxLayout;
    headings->setSpacing(4);
    auto *heading = new QLabel(QStringLiteral("Create New Task"), this);
    heading->setFont(DarkAppearance::interfaceFont(18, QFont::Bold));
    heading->setStyleSheet(QStringLiteral("color: white;"));
    headings->addWidget(heading);
    auto *workspace = new QLabel(projectName, this);
    workspace->setObjectName(QStringLiteral("taskComposerProjectName"));
    workspace->setFont(DarkAppearance::interfaceFont(10));
    workspace->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.72);"));
    headings->addWidget(workspace);
    header->addLayout(headings);
    header->addStretch(1);
    auto *cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("taskComposerCancel"));
    cancelButton->setAutoDefault(false);
    header->addWidget(cancelButton, 0, Qt::AlignTop);
    m_create = new QPushButton(SymbolIcons::icon(QStringLiteral("sparkles")), QStringLiteral("Create"), this);
    m_create->setObjectName(QStringLiteral("taskComposerCreate"));
    m_create->setAutoDefault(false);
    m_create->setStyleSheet(QStringLiteral("QPushButton { color: white; background: #0a84ff; border-radius: 6px;"
                                           " padding: 5px 14px; }"
                                           "QPushButton:disabled { background: rgba(10,132,255,0.35);"
                                           " color: rgba(255,255,255,0.5); }"));
    header->addWidget(m_create, 0, Qt::AlignTop);
    layout->addLayout(header);

    auto *summary = new QHBoxLayout;
    summary->setSpacing(8);
    m_priorityChip = chip(this, "taskComposerPriorityChip");
    m_sizeChip = chip(this, "taskComposerSizeChip");
    summary->addWidget(m_priorityChip);
    summary->addWidget(m_sizeChip);
    summary->addStretch(1);
    auto *hint = new QLabel(QStringLiteral("Enter to submit"), this);
    hint->setFont(DarkAppearance::interfaceFont(9));
    hint->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.55);"));
    summary->addWidget(hint);
    layout->addLayout(summary);

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
    scroll->viewport()->setAutoFillBackground(false);
    auto *cards = new QWidget;
    cards->setObjectName(QStringLiteral("taskComposerCards"));
    cards->setStyleSheet(QStringLiteral("#taskComposerCards { background: transparent; }"));
    auto *cardLayout = new QVBoxLayout(cards);
    cardLayout->setContentsMargins(14, 14, 14, 14);
    cardLayout->setSpacing(14);

    m_title = new QLineEdit;
    m_title->setObjectName(QStringLiteral("taskComposerTitle"));
    m_title->setPlaceholderText(QStringLiteral("e.g. Add pricing comparison table"));
    m_title->setStyleSheet(QStringLiteral("QLineEdit { background: rgba(255,255,255,0.10);"
                                          " border: 1px solid rgba(255,255,255,0.20); border-radius: 8px;"
                                          " padding: 8px 12px; color: white; }"));
    cardLayout->addWidget(fieldCard(QStringLiteral("Title"), QStringLiteral("Required"), m_title, cards));
    const QString editorStyle = QStringLiteral("QPlainTextEdit { background: rgba(255,255,255,0.08);"
                                               " border: 1px solid rgba(255,255,255,0.16); border-radius: 10px;"
                                               " padding: 8px; color: white; }");
    m_acceptance = new QPlainTextEdit;
    m_acceptance->setObjectName(QStringLiteral("taskComposerAcceptanceCriteria"));
    m_acceptance->setMinimumHeight(100);
    m_acceptance->setStyleSheet(editorStyle);
    m_acceptance->setTabChangesFocus(true);
    cardLayout->addWidget(
        fieldCard(QStringLiteral("Acceptance Criteria"), QStringLiteral("Optional"), m_acceptance, cards));
    m_description = new QPlainTextEdit;
    m_description->setObjectName(QStringLiteral("taskComposerDescription"));
    m_description->setMinimumHeight(120);
    m_description->setStyleSheet(editorStyle);
    m_description->setTabChangesFocus(true);
    cardLayout->addWidget(fieldCard(
        QStringLiteral("Description"), QStringLiteral("Optional details for the delegate"), m_description, cards));

    auto *pickers = new QWidget;
    auto *pickerRow = new QHBoxLayout(pickers);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(12);
    m_priority = new QButtonGroup(this);
    m_size = new QButtonGroup(this);
    pickerRow->addWidget(segmented(m_priority, QStringLiteral("Priority"),
        {QStringLiteral("High"), QStringLiteral("Medium"), QStringLiteral("Low")},
        {QStringLiteral("taskComposerPriorityHigh"), QStringLiteral("taskComposerPriorityMedium"),
            QStringLiteral("taskComposerPriorityLow")},
        1, pickers));
    pickerRow->addWidget(segmented(m_size, QStringLiteral("Size Estimate"),
        {QStringLiteral("S"), QStringLiteral("M"), QStringLiteral("L")},
        {QStringLiteral("taskComposerSizeS"), QStringLiteral("taskComposerSizeM"), QStringLiteral("taskComposerSizeL")},
        1, pickers));
    pickerRow->addStretch(1);
    cardLayout->addWidget(
        fieldCard(QStringLiteral("Task Metadata"), QStringLiteral("Tune execution profile"), pickers, cards));
    cardLayout->addStretch(1);
    scroll->setWidget(cards);
    layout->addWidget(scroll, 1);

    connect(cancelButton, &QPushButton::clicked, this, &TaskComposerForm::cancel);
    connect(m_create, &QPushButton::clicked, this, &TaskComposerForm::submit);
    connect(m_title, &QLineEdit::returnPressed, this, &TaskComposerForm::submit);
    connect(m_title, &QLineEdit::textChanged, this, &TaskComposerForm::syncDraft);
    connect(m_priority, &QButtonGroup::idClicked, this, &TaskComposerForm::syncDraft);
    connect(m_size, &QButtonGroup::idClicked, this, &TaskComposerForm::syncDraft);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &TaskComposerForm::cancel);
    syncDraft();
    m_title->setFocus();
}

TaskComposerForm::~TaskComposerForm()
{
    setFilterInstalled(false);
}

NewTaskDraft TaskComposerForm::draft() const
{
    return NewTaskDraft {m_title->text(), m_acceptance->toPlainText(), m_description->toPlainText(),
        TaskPriority(std::max(m_priority->checkedId(), 0)), TaskSizeEstimate(std::max(m_size->checkedId(), 0))};
}

void TaskComposerForm::syncDraft()
{
    const NewTaskDraft current = draft();
    m_create->setEnabled(current.canCreate());
    m_priorityChip->setText(chipText(QStringLiteral("Priority"), label(current.priority)));
    m_sizeChip->setText(chipText(QStringLiteral("Size"), rawValue(current.sizeEstimate)));
}

void TaskComposerForm::submit()
{
    const NewTaskDraft current = draft();
    if (current.canCreate() && m_onCreate)
        m_onCreate(current);
}

void TaskComposerForm::cancel()
{
    if (m_onCancel)
        m_onCancel();
}

bool TaskComposerForm::isSubmitKey(int key, Qt::KeyboardModifiers modifiers)
{
    return (key == Qt::Key_Return || key == Qt::Key_Enter)
        && !(modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

bool TaskComposerForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    if (isSubmitKey(key->key(), key->modifiers())) {
        // Swallowed: no widget sees it; a blank title makes it do nothing.
        if (!key->isAutoRepeat())
            submit();
        return true;
    }
    const bool alt = key->modifiers() & Qt::AltModifier;
    if (alt && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
        && !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) {
        // Alt+Return is a line break in the editors, which ignore it.
        QWidget *focus = QApplication::focusWidget();
        if (focus == m_acceptance || focus == m_description) {
            static_cast<QPlainTextEdit *>(focus)->insertPlainText(QStringLiteral("\n"));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TaskComposerForm::setFilterInstalled(bool installed)
{
    if (installed == m_filterInstalled || !qApp)
        return;
    m_filterInstalled = installed;
    if (installed)
        qApp->installEventFilter(this);
    else
        qApp->removeEventFilter(this);
}

void TaskComposerForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    setFilterInstalled(true);
    m_title->setFocus();
}

void TaskComposerForm::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    setFilterInstalled(false);
}

void TaskComposerForm::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
    gradient.setColorAt(0, QColor::fromRgbF(0.11, 0.08, 0.22));
    gradient.setColorAt(0.5, QColor::fromRgbF(0.06, 0.06, 0.14));
    gradient.setColorAt(1, QColor::fromRgbF(0, 0, 0, 0.95));
    painter.fillRect(rect(), QColor(0, 0, 0));
    painter.fillRect(rect(), gradient);
}
