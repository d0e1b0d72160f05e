#include "CommandLinePanel.h"

#include "DarkAppearance.h"
#include "ShellWidgets.h"
#include "SymbolIcons.h"
#include "board/ElidedLabel.h"
#include "terminal/FallbackCommandRunner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

namespace {

using DarkAppearance::withAlpha;

class InsetBox final : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        PageBackdrop::paintCLIInsetBox(painter, rect());
    }
};

class HandleBar final : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(Qt::white, 0.28));
        painter.drawRoundedRect(QRectF((width() - 64) / 2.0, (height() - 6) / 2.0, 64, 6), 3, 3);
    }
};

} // namespace

CommandLinePanel::CommandLinePanel(FallbackCommandRunner &runner, QWidget *parent) : QWidget(parent), m_runner(runner)
{
    setObjectName(QStringLiteral("commandLinePanel"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 4);
    layout->setSpacing(8);
    const QString secondary = QStringLiteral("color: %1;").arg(DarkAppearance::secondaryTextColor().name());

    auto *header = new QHBoxLayout;
    header->setSpacing(6);
    auto *icon = new QLabel(this);
    icon->setPixmap(SymbolIcons::icon(QStringLiteral("terminal")).pixmap(14, 14));
    header->addWidget(icon);
    auto *title = new QLabel(QStringLiteral("Integrated Command Line"), this);
    title->setObjectName(QStringLiteral("commandLineTitle"));
    title->setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    header->addWidget(title);
    header->addStretch(1);
    m_rootPath = new ElidedLabel(this);
    m_rootPath->setObjectName(QStringLiteral("commandLineRootPath"));
    m_rootPath->setFont(DarkAppearance::interfaceFont(8));
    m_rootPath->setColor(DarkAppearance::secondaryTextColor());
    header->addWidget(m_rootPath);
    layout->addLayout(header);

    m_reasonRow = new QWidget(this);
    auto *reasonLayout = new QHBoxLayout(m_reasonRow);
    reasonLayout->setContentsMargins(0, 0, 0, 0);
    reasonLayout->setSpacing(8);
    auto *warning = new QLabel(m_reasonRow);
    warning->setPixmap(SymbolIcons::icon(QStringLiteral("exclamationmark.triangle.fill")).pixmap(12, 12));
    reasonLayout->addWidget(warning, 0, Qt::AlignTop);
    m_reason = new QLabel(m_reasonRow);
    m_reason->setObjectName(QStringLiteral("commandLineFallbackReason"));
    m_reason->setFont(DarkAppearance::interfaceFont(8));
    m_reason->setStyleSheet(secondary);
    m_reason->setWordWrap(true);
    m_reason->setMaximumHeight(QFontMetrics(m_reason->font()).lineSpacing() * 2 + 2);
    reasonLayout->addWidget(m_reason, 1);
    m_retry = new QPushButton(QStringLiteral("Retry Ghostty"), m_reasonRow);
    m_retry->setObjectName(QStringLiteral("retryGhosttyButton"));
    m_retry->setFlat(true);
    m_retry->setFont(DarkAppearance::interfaceFont(8));
    m_retry->setCursor(Qt::PointingHandCursor);
    m_retry->hide();
    reasonLayout->addWidget(m_retry, 0, Qt::AlignTop);
    layout->addWidget(m_reasonRow);

    m_outputFrame = new InsetBox(this);
    auto *outputLayout = new QVBoxLayout(m_outputFrame);
    outputLayout->setContentsMargins(8, 8, 8, 8);
    m_output = new QPlainTextEdit(m_outputFrame);
    m_output->setObjectName(QStringLiteral("commandLineOutput"));
    m_output->setReadOnly(true);
    m_output->setFont(DarkAppearance::codeFont(9));
    m_output->setFocusPolicy(Qt::ClickFocus);
    m_output->setFrameShape(QFrame::NoFrame);
    m_output->setPlaceholderText(QStringLiteral("Output will appear here."));
    m_output->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; %1 }").arg(secondary));
    m_output->viewport()->setAutoFillBackground(false);
    outputLayout->addWidget(m_output);
    layout->addWidget(m_outputFrame);

    m_handle = new HandleBar(this);
    m_handle->setObjectName(QStringLiteral("commandLineResizeHandle"));
    m_handle->setFixedHeight(12);
    m_handle->setCursor(Qt::SizeVerCursor);
    m_handle->setToolTip(QStringLiteral("Drag to resize CLI output"));
    m_handle->installEventFilter(this);
    layout->addWidget(m_handle);

    auto *inputRow = new QHBoxLayout;
    inputRow->setSpacing(8);
    auto *inputBox = new InsetBox(this);
    auto *inputLayout = new QHBoxLayout(inputBox);
    inputLayout->setContentsMargins(10, 8, 10, 8);
    m_input = new QLineEdit(inputBox);
    m_input->setObjectName(QStringLiteral("commandLineInput"));
    m_input->setFont(DarkAppearance::codeFont(10));
    m_input->setFrame(false);
    m_input->setPlaceholderText(QStringLiteral("Run command in workspace… (Ctrl+R to search history)"));
    m_input->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; color: white; border: none; }"));
    inputLayout->addWidget(m_input);
    inputRow->addWidget(inputBox, 1);
    m_run = new QPushButton(QStringLiteral("Run"), this);
    m_run->setObjectName(QStringLiteral("commandLineRunButton"));
    m_run->setDefault(true);
    m_run->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border-radius: 6px; "
                                        "padding: 6px 14px; } QPushButton:disabled { background: %2; color: %3; }")
                             .arg(DarkAppearance::accentColor().name(), withAlpha(Qt::white, 0.1).name(QColor::HexArgb),
                                 DarkAppearance::secondaryTextColor().name()));
    inputRow->addWidget(m_run);
    m_stop = new QPushButton(QStringLiteral("Stop"), this);
    m_stop->setObjectName(QStringLiteral("commandLineStopButton"));
    m_stop->setToolTip(QStringLiteral("Stop the running command and everything it started"));
    m_stop->hide();
    inputRow->addWidget(m_stop);
    layout->addLayout(inputRow);

    connect(m_input, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (!m_workspaceID.isNull())
            m_runner.setInput(m_workspaceID, text);
        showRunning();
    });
    connect(m_input, &QLineEdit::returnPressed, this, [this] {
        if (!m_workspaceID.isNull())
            emit runRequested(m_workspaceID);
    });
    connect(m_run, &QPushButton::clicked, this, [this] {
        if (!m_workspaceID.isNull())
            emit runRequested(m_workspaceID);
    });
    connect(m_stop, &QPushButton::clicked, this, [this] { m_runner.stop(m_workspaceID); });
    connect(m_retry, &QPushButton::clicked, this, [this] { emit retryRequested(m_workspaceID); });
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
    applyHeight();
}

void CommandLinePanel::bind(const QUuid &workspaceID, const QString &rootPath, const QString &fallbackReason)
{
    m_rootPath->setText(rootPath);
    m_reason->setText(QStringLiteral("Using legacy CLI: ") + fallbackReason);
    m_reason->setToolTip(fallbackReason);
    m_reasonRow->setVisible(!fallbackReason.isEmpty());
    if (m_workspaceID == workspaceID)
        return;
    m_workspaceID = workspaceID;
    showOutput();
    showInput();
    showRunning();
    applyHeight();
}

void CommandLinePanel::setRetryAvailable(bool available)
{
    m_retry->setVisible(available);
}

void CommandLinePanel::setHeightMaps(QHash<QUuid, double> *heights, QHash<QUuid, double> *resizeStarts)
{
    m_heights = heights;
    m_resizeStarts = resizeStarts;
    applyHeight();
}

double CommandLinePanel::outputHeight() const
{
    const double stored = m_heights ? m_heights->value(m_workspaceID, 200.0) : 200.0;
    return std::clamp(stored, 90.0, 500.0);
}

void CommandLinePanel::applyHeight()
{
    m_outputFrame->setFixedHeight(int(outputHeight()));
}

bool CommandLinePanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_handle || !m_heights || !m_resizeStarts)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        m_dragStart = static_cast<QMouseEvent *>(event)->globalPosition().y();
        return true;
    case QEvent::MouseMove: {
        const qreal translation = static_cast<QMouseEvent *>(event)->globalPosition().y() - m_dragStart;
        const double start = m_resizeStarts->value(m_workspaceID, outputHeight());
        m_resizeStarts->insert(m_workspaceID, start);
        m_heights->insert(m_workspaceID, std::clamp(start - translation, 90.0, 500.0));
        applyHeight();
        return true;
    }
    case QEvent::MouseButtonRelease:
        m_resizeStarts->remove(m_workspaceID);
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void CommandLinePanel::showOutput()
{
    const QString text = m_runner.output(m_workspaceID);
    if (m_output->toPlainText() == text)
        return;
    QScrollBar *bar = m_output->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum() - 2;
    const QString shown = m_output->toPlainText();
    if (!shown.isEmpty() && text.startsWith(shown)) {
        // Only new text: append it instead of laying out everything again.
        QTextCursor cursor(m_output->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text.mid(shown.size()));
    } else {
        m_output->setPlainText(text);
    }
    if (atEnd)
        bar->setValue(bar->maximum());
}

void CommandLinePanel::showInput()
{
    const QString text = m_runner.input(m_workspaceID);
    if (m_input->text() != text)
        m_input->setText(text);
    showRunning();
}

void CommandLinePanel::showRunning()
{
    const bool running = m_runner.isRunning(m_workspaceID);
    m_run->setText(running ? QStringLiteral("Running…") : QStringLiteral("Run"));
    m_run->setEnabled(!running && !m_runner.input(m_workspaceID).trimmed().isEmpty());
    if (running && m_input->isEnabled())
        m_restoreInputFocus = m_input->hasFocus();
    const bool reenabled = !running && !m_input->isEnabled();
    m_input->setEnabled(!running);
    m_stop->setVisible(running);
    // The input gives up the focus while disabled; it takes it back after.
    if (reenabled && m_restoreInputFocus && isVisible())
        m_input->setFocus(Qt::OtherFocusReason);
    if (reenabled)
        m_restoreInputFocus = false;
}

void CommandLinePanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    painter.fillPath(path, PageBackdrop::cliPanelBackgroundGradient(rect()));
}
