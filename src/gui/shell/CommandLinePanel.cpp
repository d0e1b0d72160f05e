#include "CommandLinePanel.h"

#include "DarkAppearance.h"
#include "ShellWidgets.h"
#include "terminal/FallbackCommandRunner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

CommandLinePanel::CommandLinePanel(FallbackCommandRunner &runner, QWidget *parent) : QWidget(parent), m_runner(runner)
{
    setObjectName(QStringLiteral("commandLinePanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 10, 14, 12);
    layout->setSpacing(8);

    auto *header = new QHBoxLayout;
    m_title = new QLabel(QStringLiteral("Command Line"), this);
    m_title->setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    m_title->setStyleSheet(QStringLiteral("color: white;"));
    header->addWidget(m_title);
    m_reason = new QLabel(this);
    m_reason->setObjectName(QStringLiteral("commandLineFallbackReason"));
    m_reason->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.55);"));
    m_reason->setFont(DarkAppearance::interfaceFont(9));
    header->addWidget(m_reason, 1);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("commandLineStatus"));
    m_status->setStyleSheet(QStringLiteral("color: #7ab8ff;"));
    m_status->setFont(DarkAppearance::interfaceFont(9, QFont::DemiBold));
    header->addWidget(m_status);
    layout->addLayout(header);

    m_output = new QPlainTextEdit(this);
    m_output->setObjectName(QStringLiteral("commandLineOutput"));
    m_output->setReadOnly(true);
    m_output->setFont(DarkAppearance::codeFont(10));
    m_output->setFocusPolicy(Qt::ClickFocus);
    m_output->setStyleSheet(QStringLiteral("QPlainTextEdit { background: rgba(0,0,0,0.35); color: #e6e6e6;"
                                           " border: 1px solid rgba(255,255,255,0.12); border-radius: 8px;"
                                           " padding: 6px; }"));
    layout->addWidget(m_output, 1);

    auto *inputRow = new QHBoxLayout;
    auto *prompt = new QLabel(QStringLiteral("$"), this);
    prompt->setFont(DarkAppearance::codeFont(11, QFont::Bold));
    prompt->setStyleSheet(QStringLiteral("color: #a88bfa;"));
    inputRow->addWidget(prompt);
    m_input = new QLineEdit(this);
    m_input->setObjectName(QStringLiteral("commandLineInput"));
    m_input->setFont(DarkAppearance::codeFont(11));
    m_input->setPlaceholderText(QStringLiteral("Type a command and press Return"));
    m_input->setStyleSheet(QStringLiteral("QLineEdit { background: rgba(255,255,255,0.08); color: white;"
                                          " border: 1px solid rgba(255,255,255,0.18); border-radius: 8px;"
                                          " padding: 6px 10px; }"));
    inputRow->addWidget(m_input, 1);
    layout->addLayout(inputRow);

    connect(m_input, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (!m_workspaceID.isNull())
            m_runner.setInput(m_workspaceID, text);
    });
    connect(m_input, &QLineEdit::returnPressed, this, [this] {
        if (!m_workspaceID.isNull())
            emit runRequested(m_workspaceID);
    });
    connect(&m_runner, &FallbackCommandRunner::outputChanged, this, [this](const QUuid &id) {
        if (id == m_workspaceID)
            showOutput();
    });
    connect(&m_runner, &FallbackCommandRunner::inputChanged, this, [this](const QUuid &id) {
        if (id == m_workspaceID)
            showInput();
    });
    connect(&m_runner, &FallbackCommandRunner::runningChanged, this, [this](const QUuid &id) {
        if (id == m_workspaceID)
            showRunning();
    });
}

void CommandLinePanel::bind(const QUuid &workspaceID, const QString &rootPath, const QString &fallbackReason)
{
    m_title->setText(QStringLiteral("Command Line — ") + rootPath);
    m_title->setToolTip(rootPath);
    m_reason->setText(fallbackReason);
    if (m_workspaceID == workspaceID)
        return;
    m_workspaceID = workspaceID;
    showOutput();
    showInput();
    showRunning();
}

void CommandLinePanel::showOutput()
{
    const QString text = m_runner.output(m_workspaceID);
    if (m_output->toPlainText() == text)
        return;
    m_output->setPlainText(text);
    m_output->verticalScrollBar()->setValue(m_output->verticalScrollBar()->maximum());
}

void CommandLinePanel::showInput()
{
    const QString text = m_runner.input(m_workspaceID);
    if (m_input->text() != text)
        m_input->setText(text);
}

void CommandLinePanel::showRunning()
{
    m_status->setText(m_runner.isRunning(m_workspaceID) ? QStringLiteral("Running…") : QString());
}

void CommandLinePanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    painter.fillPath(path, PageBackdrop::cliPanelBackgroundGradient(rect()));
    painter.setPen(QPen(QColor(255, 255, 255, 30), 1));
    painter.drawPath(path);
}
