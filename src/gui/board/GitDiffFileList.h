#pragma once

#include "board/ParsedGitDiff.h"

#include <QAbstractListModel>
#include <QListView>
#include <optional>

// The fixed-width list of a patch's files: one card per file section with its
// path (shortened in the middle) and its added, removed and hunk counts.
// Cards are drawn only as they scroll into view. A click reports the file's
// id; the highlighted card is the one whose id equals selectedFileID.
class GitDiffFileList final : public QListView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GitDiffFileList)

public:
    static constexpr int kWidth = 272;

    explicit GitDiffFileList(const QList<ParsedGitDiff::FileSection> &files, QWidget *parent = nullptr);

    void setSelectedFileID(const std::optional<QString> &id);
    std::optional<QString> selectedFileID() const;
    // The texts a card shows: path, then the three pills.
    static QStringList cardTexts(const ParsedGitDiff::FileSection &file);
    // The card of a file, in the list's viewport.
    QRect cardRect(int row) const;

signals:
    void fileClicked(const QString &id);

private:
    QAbstractListModel *m_model;
};
