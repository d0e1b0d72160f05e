#pragma once

#include <QUuid>
#include <QWidget>

class FallbackCommandRunner;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// The process-backed command line of the shown workspace: the reason the
// embedded terminal is not used, the output of the last run and the input.
// Return runs the input; the terminal work replaces this panel.
class CommandLinePanel final : public QWidget
{
    Q_OBJECT

public:
    CommandLinePanel(FallbackCommandRunner &runner, QWidget *parent = nullptr);

    // Shows the given workspace's command line; `runCommand` runs its input.
    void bind(const QUuid &workspaceID, const QString &rootPath, const QString &fallbackReason);
    QUuid workspaceID() const { return m_workspaceID; }
    QLineEdit *input() const { return m_input; }

signals:
    void runRequested(const QUuid &workspaceID);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showOutput();
    void showInput();
    void showRunning();

    FallbackCommandRunner &m_runner;
    QUuid m_workspaceID;
    QLabel *m_title;
    QLabel *m_reason;
    QLabel *m_status;
    QPlainTextEdit *m_output;
    QLineEdit *m_input;
};
