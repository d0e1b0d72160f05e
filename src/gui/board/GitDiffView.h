#pragma once

#include "board/ParsedGitDiff.h"

#include <QDialog>
#include <functional>
#include <optional>

class DiffRowsView;
class ElidedLabel;
class GitDiffFileList;
class QLabel;
class QStackedWidget;

// The sheet's declared sizes in points.
struct GitDiffSheetSize
{
    double idealWidth = 0;
    double minimumWidth = 0;
    double idealHeight = 760;
    double minimumHeight = 620;

    friend bool operator==(const GitDiffSheetSize &, const GitDiffSheetSize &) = default;
};

// The sheet in which the user reads one patch: a header with the totals and a
// close button, the list of changed files and the selected file's rows side
// by side. It never closes itself: the close button, Escape and the window's
// own close each call `onDismiss` once and the presenter takes it down.
class GitDiffView final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GitDiffView)

public:
    // The width of the screen the sheet is sized from, when there is one.
    using ScreenWidth = std::function<std::optional<double>()>;

    // Parses `diffText` here. Without a parent window width the sheet is sized
    // from `screenWidth` (by default the primary screen's available width).
    GitDiffView(const QString &diffText, std::optional<double> parentWindowContentWidth,
        std::function<void()> onDismiss, QWidget *parent = nullptr, ScreenWidth screenWidth = {});
    // With the patch already parsed (off the main thread, for a large one).
    GitDiffView(const QString &diffText, ParsedGitDiff parsedDiff, std::optional<double> parentWindowContentWidth,
        std::function<void()> onDismiss, QWidget *parent = nullptr, ScreenWidth screenWidth = {});
    ~GitDiffView() override;

    // Ideal width max(W × 0.88, 1280), minimum max(ideal × 0.82, 980), height
    // 760 ideal and 620 minimum; W is the parent width, else the screen's,
    // else 1480.
    static GitDiffSheetSize sheetSize(
        std::optional<double> parentWindowContentWidth, std::optional<double> screenWidth);
    static std::optional<double> primaryScreenWidth();
    GitDiffSheetSize declaredSize() const { return m_size; }

    const QString &diffText() const { return m_diffText; }
    const ParsedGitDiff &parsedDiff() const { return m_parsedDiff; }
    std::optional<QString> selectedFileID() const { return m_selectedFileID; }
    // The file the pane shows: the selected one, else the first.
    const ParsedGitDiff::FileSection *selectedFile() const;
    // As a click on the file's entry does.
    void selectFile(const QString &id);

    DiffRowsView *rowsView() const { return m_rows; }
    GitDiffFileList *fileList() const { return m_fileList; }

public slots:
    void reject() override; // Escape

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void build();
    QWidget *buildHeader();
    QWidget *buildEmptyState();
    QWidget *buildPane();
    void showSelectedFile();
    void dismiss();

    QString m_diffText;
    ParsedGitDiff m_parsedDiff;
    std::function<void()> m_onDismiss;
    GitDiffSheetSize m_size;
    std::optional<QString> m_selectedFileID;
    GitDiffFileList *m_fileList = nullptr;
    ElidedLabel *m_pathLabel = nullptr;
    ElidedLabel *m_subtitleLabel = nullptr;
    QStackedWidget *m_paneBody = nullptr;
    DiffRowsView *m_rows = nullptr;
};
