#include "TaskComposerForm.h"

#include "DarkAppearance.h"
#include "common/Text.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
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

TaskComposerForm::TaskComposerForm(const QString &projectName, std::function<void()> onCancel,
    std::function<void(const NewTaskDraft &)> onCreate, QWidget *parent)
    : QWidget(parent), m_onCancel(std::move(onCancel)), m_onCreate(std::move(onCreate))
{
    setObjectName(QStringLiteral("taskComposerForm"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(12);

    auto *heading = new QLabel(QStringLiteral("New Task"), this);
    heading->setFont(DarkAppearance::interfaceFont(14, QFont::Bold));
    layout->addWidget(heading);
    auto *workspace = new QLabel(projectName, this);
    workspace->setObjectName(QStringLiteral("taskComposerProjectName"));
    workspace->setStyleSheet(QStringLiteral("color: #9a9ca1;"));
    layout->addWidget(workspace);

    auto *form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight);
    form->setSpacing(8);
    m_title = new QLineEdit(this);
    m_title->setObjectName(QStringLiteral("taskComposerTitle"));
    m_title->setPlaceholderText(QStringLiteral("Title"));
    form->addRow(QStringLiteral("Title"), m_title);
    m_acceptance = new QPlainTextEdit(this);
    m_acceptance->setObjectName(QStringLiteral("taskComposerAcceptanceCriteria"));
    m_acceptance->setFixedHeight(70);
    form->addRow(QStringLiteral("Acceptance criteria"), m_acceptance);
    m_description = new QPlainTextEdit(this);
    m_description->setObjectName(QStringLiteral("taskComposerDescription"));
    m_description->setFixedHeight(90);
    form->addRow(QStringLiteral("Description"), m_description);
    m_priority = new QComboBox(this);
    m_priority->setObjectName(QStringLiteral("taskComposerPriority"));
    m_priority->addItem(QStringLiteral("High"), int(TaskPriority::high));
    m_priority->addItem(QStringLiteral("Medium"), int(TaskPriority::medium));
    m_priority->addItem(QStringLiteral("Low"), int(TaskPriority::low));
    m_priority->setCurrentIndex(1);
    form->addRow(QStringLiteral("Priority"), m_priority);
    m_size = new QComboBox(this);
    m_size->setObjectName(QStringLiteral("taskComposerSize"));
    m_size->addItem(QStringLiteral("S"), int(TaskSizeEstimate::S));
    m_size->addItem(QStringLiteral("M"), int(TaskSizeEstimate::M));
    m_size->addItem(QStringLiteral("L"), int(TaskSizeEstimate::L));
    m_size->setCurrentIndex(1);
    form->addRow(QStringLiteral("Size"), m_size);
    layout->addLayout(form);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("taskComposerCancel"));
    cancel->setAutoDefault(false);
    buttons->addWidget(cancel);
    m_create = new QPushButton(QStringLiteral("Create"), this);
    m_create->setObjectName(QStringLiteral("taskComposerCreate"));
    m_create->setDefault(true);
    buttons->addWidget(m_create);
    layout->addLayout(buttons);

    connect(cancel, &QPushButton::clicked, this, [this] {
        if (m_onCancel)
            m_onCancel();
    });
    connect(m_create, &QPushButton::clicked, this, [this] {
        if (!Text::trimmed(m_title->text()).isEmpty() && m_onCreate)
            m_onCreate(draft());
    });
    connect(m_title, &QLineEdit::textChanged, this, &TaskComposerForm::updateCreateEnabled);
    updateCreateEnabled();
}

NewTaskDraft TaskComposerForm::draft() const
{
    return NewTaskDraft {m_title->text(), m_acceptance->toPlainText(), m_description->toPlainText(),
        TaskPriority(m_priority->currentData().toInt()), TaskSizeEstimate(m_size->currentData().toInt())};
}

void TaskComposerForm::updateCreateEnabled()
{
    m_create->setEnabled(!Text::trimmed(m_title->text()).isEmpty());
}
