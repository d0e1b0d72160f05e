#pragma once

#include "board/ParsedGitDiff.h"
#include "model/BL_Task.h"
#include "model/BL_TaskGitDiff.h"
#include "storage/TaskGitCheckpointService.h"

#include <QPointer>
#include <QWidget>
#include <optional>

class GitDiffView;
class QAbstractButton;
class QHBoxLayout;
class QLabel;

// The "Git Diff" section of a task's detail: the captured diff's totals as
// pills, then either the button that opens the patch in the diff viewer or
// one line saying why there is no diff to show. The patch is read only
// through the checkpoint service's reader (the task's own patch file), in
// the background; a failed read shows its message under the button until
// the next successful opening or refresh.
class TaskGitDiffSection final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskGitDiffSection)

public:
    TaskGitDiffSection(const TaskGitCheckpointService &patchReader, const BL_Task &task, QWidget *parent = nullptr);
    ~TaskGitDiffSection() override;

    // Whether the detail shows the section: with an artifact, or for a task
    // in progress, completed or failed.
    static bool isShown(const BL_Task &task, const std::optional<BL_TaskGitDiffArtifact> &artifact);
    bool isShown() const { return isShown(m_task, m_artifact); }

    // The task as the detail has it now. Its status shows at once; its
    // artifact is read again only by refresh().
    void setTask(const BL_Task &task);
    // The detail's refresh: decodes the artifact from the task's metadata and
    // clears the last error.
    void refresh();
    // The width the viewer is sized from; without one the window's width.
    void setParentWindowContentWidth(std::optional<double> width);

    const std::optional<BL_TaskGitDiffArtifact> &gitDiffArtifact() const { return m_artifact; }
    // The task's patch file when one is offered; looked up anew on each call.
    std::optional<QString> resolvedGitDiffFilePath() const;
    // Reads the patch in the background and presents the viewer, or shows
    // why it could not be read. Does nothing while a read is under way.
    void openGitDiffViewer();

    bool isReading() const { return m_reading; }
    QString diffText() const { return m_diffText; }
    std::optional<QString> gitDiffViewerErrorMessage() const { return m_errorMessage; }
    bool isDiffViewerPresented() const { return m_viewer != nullptr; }
    GitDiffView *diffViewer() const { return m_viewer; }

signals:
    // After a read finished, whether or not the viewer opened.
    void openFinished();

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct ReadOutcome;

    void rebuild();
    void finishOpening(ReadOutcome outcome);
    void dismissViewer();
    QString statusLine() const;

    TaskGitCheckpointService m_reader;
    BL_Task m_task;
    std::optional<BL_TaskGitDiffArtifact> m_artifact;
    std::optional<double> m_parentWindowContentWidth;
    QString m_diffText;
    std::optional<QString> m_errorMessage;
    bool m_reading = false;
    QPointer<GitDiffView> m_viewer;

    QHBoxLayout *m_pills = nullptr;
    QWidget *m_pillRow = nullptr;
    QAbstractButton *m_openButton = nullptr;
    QLabel *m_errorLabel = nullptr;
    QLabel *m_statusLabel = nullptr;
};
