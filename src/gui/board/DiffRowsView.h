#pragma once

#include "board/SideBySideRow.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QHash>
#include <QList>
#include <memory>
#include <optional>
#include <vector>

class QTextLayout;

// The rows of one file, old text left and new text right. Only the rows on
// screen are laid out and drawn: a file of any length costs one pass over its
// rows for their heights and a handful of row layouts per screen. Long lines
// wrap within their half and are never cut. Rows are selected with the
// mouse (Shift extends) or Ctrl+A and copied with Ctrl+C as a unified-diff
// excerpt.
class DiffRowsView final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DiffRowsView)

public:
    explicit DiffRowsView(QWidget *parent = nullptr);
    ~DiffRowsView() override;

    void setRows(QList<SideBySideRow> rows);
    const QList<SideBySideRow> &rows() const { return m_rows; }

    // Row layouts made since the rows were set, and the rows that hold one now
    // (exactly those on screen at the last paint).
    qsizetype builtRowCount() const { return m_builtCount; }
    QList<qsizetype> heldRows() const;
    // First and last row that meet the viewport; nothing without rows.
    std::optional<std::pair<qsizetype, qsizetype>> visibleRows() const;
    // The row's top and height in content coordinates at the current width.
    int rowTop(qsizetype row) const;
    int rowHeight(qsizetype row) const;

    // The selected rows (first, last), inclusive.
    std::optional<std::pair<qsizetype, qsizetype>> selection() const;
    void selectRows(qsizetype first, qsizetype last);
    // The selected rows as a unified-diff excerpt: header and note lines
    // verbatim, context " text", and each changed block's deletions ("-")
    // before its additions ("+").
    QString selectedText() const;
    void copySelection() const;

    struct WrappedText;
    struct RowLayout;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Metrics;

    void relayout();
    void updateScrollBar();
    qsizetype rowAt(int contentY) const;
    int measureRow(const SideBySideRow &row) const;
    RowLayout buildLayout(const SideBySideRow &row) const;
    void paintRow(QPainter &painter, qsizetype index, const RowLayout &layout, int top) const;

    QList<SideBySideRow> m_rows;
    std::unique_ptr<Metrics> m_metrics;
    std::vector<int> m_offsets; // row tops; one more entry for the end
    int m_layoutWidth = -1;
    QHash<qsizetype, std::shared_ptr<RowLayout>> m_layouts;
    qsizetype m_builtCount = 0;
    qsizetype m_anchor = -1;
    qsizetype m_cursor = -1;
};
