#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

enum class TaskPriority { high, medium, low };
enum class TaskSizeEstimate { S, M, L };
QString rawValue(TaskPriority priority);
QString rawValue(TaskSizeEstimate size);
// Exact, case-sensitive matches of the raw values.
std::optional<TaskPriority> taskPriorityFromRaw(const QString &raw);
std::optional<TaskSizeEstimate> taskSizeEstimateFromRaw(const QString &raw);
// "High", "Medium", "Low".
QString label(TaskPriority priority);

// What the composer collects; texts exactly as typed.
struct NewTaskDraft
{
    QString title;
    QString acceptanceCriteria;
    QString description;
    TaskPriority priority = TaskPriority::medium;
    TaskSizeEstimate sizeEstimate = TaskSizeEstimate::M;

    // The title has something besides white space and line breaks.
    bool canCreate() const;
};

// The composer sheet's content: "Create New Task" for a workspace, the
// draft's chips, and the four cards (title, acceptance criteria,
// description, priority and size). It creates nothing and never closes
// itself: Create hands the untrimmed draft to `onCreate`, Cancel and Escape
// call `onCancel`, and the window closes the sheet.
//
// While it is shown an application-wide filter makes Return and keypad Enter
// without Ctrl, Alt or Meta (Shift does not count) submit from anywhere in
// the sheet, editors included; the key reaches no widget. Alt+Return puts a
// line break into the two editors.
class TaskComposerForm final : public QWidget
{
    Q_OBJECT

public:
    TaskComposerForm(const QString &projectName, std::function<void()> onCancel,
        std::function<void(const NewTaskDraft &)> onCreate, QWidget *parent = nullptr);
    ~TaskComposerForm() override;

    NewTaskDraft draft() const;
    bool isReturnFilterInstalled() const { return m_filterInstalled; }
    // The submit action shared by Create, the title's own submit and Return.
    void submit();
    void cancel();

    // Whether a key chord submits: Return or keypad Enter without Ctrl, Alt
    // or Meta.
    static bool isSubmitKey(int key, Qt::KeyboardModifiers modifiers);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void syncDraft();
    void setFilterInstalled(bool installed);

    std::function<void()> m_onCancel;
    std::function<void(const NewTaskDraft &)> m_onCreate;
    QLineEdit *m_title;
    QPlainTextEdit *m_acceptance;
    QPlainTextEdit *m_description;
    QButtonGroup *m_priority;
    QButtonGroup *m_size;
    QLabel *m_priorityChip;
    QLabel *m_sizeChip;
    QPushButton *m_create;
    bool m_filterInstalled = false;
};
