#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

enum class TaskPriority { high, medium, low };
enum class TaskSizeEstimate { S, M, L };
QString rawValue(TaskPriority priority);
QString rawValue(TaskSizeEstimate size);

// What the new-task form collects.
struct NewTaskDraft
{
    QString title;
    QString acceptanceCriteria;
    QString description;
    TaskPriority priority = TaskPriority::medium;
    TaskSizeEstimate sizeEstimate = TaskSizeEstimate::M;
};

// The new-task form shown in the composer sheet. It starts from an empty
// draft, offers Create only while the trimmed title is not empty, and hands
// the draft to `onCreate`; it creates nothing itself. The board's own
// composer takes this form's place.
class TaskComposerForm final : public QWidget
{
    Q_OBJECT

public:
    TaskComposerForm(const QString &projectName, std::function<void()> onCancel,
        std::function<void(const NewTaskDraft &)> onCreate, QWidget *parent = nullptr);

    NewTaskDraft draft() const;

private:
    void updateCreateEnabled();

    std::function<void()> m_onCancel;
    std::function<void(const NewTaskDraft &)> m_onCreate;
    QLineEdit *m_title;
    QPlainTextEdit *m_acceptance;
    QPlainTextEdit *m_description;
    QComboBox *m_priority;
    QComboBox *m_size;
    QPushButton *m_create;
};
