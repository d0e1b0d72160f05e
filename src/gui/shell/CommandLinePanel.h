#pragma once

#include <QHash>
#include <QUuid>
#include <QWidget>

class ElidedLabel;
class FallbackCommandRunner;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The process-backed command line of the shown workspace, used where the
// embedded terminal cannot be: the reason, the output of the last run, a
// resize handle and the input with Run and Stop.
class CommandLinePanel final : public QWidget
{
    Q_OBJECT

public:
    CommandLinePanel(FallbackCommandRunner &runner, QWidget *parent = nullptr);

    // Shows the given workspace's command line; an empty reason hides the
    // reason row.
    void bind(const QUuid &workspaceID, const QString &rootPath, const QString &fallbackReason);
    // "Retry Ghostty" is offered when the terminal failed at run time.
    void setRetryAvailable(bool available);
    // The window's height map, shared with the embedded panel: read here
    // into 90…500 with 200 for a missing entry.
    void setHeightMaps(QHash<QUuid, double> *heights, QHash<QUuid, double> *resizeStarts);
    double outputHeight() const;

    QUuid workspaceID() const { return m_workspaceID; }
    QLineEdit *input() const { return m_input; }

signals:
    void runRequested(const QUuid &workspaceID);
    void retryRequested(const QUuid &workspaceID);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showOutput();
    void showInput();
    void showRunning();
    void applyHeight();

    FallbackCommandRunner &m_runner;
    QUuid m_workspaceID;
    QHash<QUuid, double> *m_heights = nullptr;
    QHash<QUuid, double> *m_resizeStarts = nullptr;
    ElidedLabel *m_rootPath;
    QWidget *m_reasonRow;
    QLabel *m_reason;
    QPushButton *m_retry;
    QWidget *m_outputFrame;
    QPlainTextEdit *m_output;
    QWidget *m_handle;
    qreal m_dragStart = 0;
    QLineEdit *m_input;
    QPushButton *m_run;
    QPushButton *m_stop;
    bool m_restoreInputFocus = false;
};
