#include "DiffRowsView.h"

#include "GitDiffStyle.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace {

using LineKind = ParsedGitDiff::RawLine::Kind;

constexpr int kTabWidth = 4;
constexpr int kBottomSpace = 10;
// A code cell: insets, number column, marker column and the gaps between.
constexpr int kCellInsetX = 8;
constexpr int kCellInsetY = 2;
constexpr int kNumberWidth = 44;
constexpr int kMarkerWidth = 10;
constexpr int kCellSpacing = 8;
constexpr int kTextOffset = kCellInsetX + kNumberWidth + kCellSpacing + kMarkerWidth + kCellSpacing;
constexpr int kHeaderInsetX = 12;
constexpr int kHeaderInsetY = 6;
constexpr int kNoteInsetY = 4;

struct FontInfo
{
    QFont font;
    double advance = 7;
    double ascent = 10;
    int lineHeight = 14;

    explicit FontInfo(const QFont &f) : font(f)
    {
        const QFontMetricsF metrics(font);
        advance = metrics.horizontalAdvance(QLatin1Char('M'));
        ascent = metrics.ascent();
        lineHeight = int(std::ceil(metrics.lineSpacing()));
    }
};

bool isPlainAscii(QStringView text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if ((u < 0x20 && u != '\t') || u > 0x7e)
            return false;
    }
    return true;
}

// Tabs expanded to the next stop; other control characters shown as their
// visible symbols so they neither vanish nor break the line.
QString displayText(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\t') {
            shown.append(QString(kTabWidth - shown.size() % kTabWidth, u' '));
        } else if (u < 0x20) {
            shown.append(QChar(0x2400 + u));
        } else if (u == 0x7f) {
            shown.append(QChar(0x2421));
        } else {
            shown.append(c);
        }
    }
    return shown;
}

int columnsPerLine(const FontInfo &font, double width)
{
    return std::max(1, int(std::floor(width / font.advance)));
}

// Greedy wrapping by columns: a line breaks after its last blank that fits
// (a blank just past the end may hang there), else after `perLine`
// characters. Calls `line(start, length)` for each line; returns the count.
template<typename Line> int wrapColumns(QStringView text, int perLine, Line &&line)
{
    int count = 0;
    qsizetype start = 0;
    while (text.size() - start > perLine) {
        qsizetype end = start + perLine; // exclusive
        const qsizetype blank = text.lastIndexOf(u' ', end);
        if (blank > start)
            end = blank + 1;
        line(start, end - start);
        ++count;
        start = end;
    }
    if (start < text.size() || count == 0) {
        line(start, text.size() - start);
        ++count;
    }
    return count;
}

} // namespace

// A text broken into lines at a width: plain ASCII by columns of the
// fixed-pitch font, anything else through a text layout.
struct DiffRowsView::WrappedText
{
    QStringList chunks;
    std::shared_ptr<QTextLayout> layout;
    int lineCount = 1;

    static WrappedText make(const QString &text, const FontInfo &font, double width, bool keepLines)
    {
        WrappedText wrapped;
        const QString shown = displayText(text);
        if (isPlainAscii(text)) {
            const int perLine = columnsPerLine(font, width);
            wrapped.lineCount = wrapColumns(shown, perLine, [&](qsizetype start, qsizetype length) {
                if (keepLines)
                    wrapped.chunks.append(shown.mid(start, length));
            });
            return wrapped;
        }
        auto layout = std::make_shared<QTextLayout>(shown, font.font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout->setTextOption(option);
        layout->beginLayout();
        int lines = 0;
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            line.setLineWidth(std::max(1.0, width));
            line.setPosition(QPointF(0, double(lines) * font.lineHeight));
            ++lines;
        }
        layout->endLayout();
        wrapped.lineCount = std::max(1, lines);
        if (keepLines)
            wrapped.layout = std::move(layout);
        return wrapped;
    }

    void paint(QPainter &painter, const FontInfo &font, const QPointF &topLeft) const
    {
        if (layout) {
            layout->draw(&painter, topLeft);
            return;
        }
        painter.setFont(font.font);
        // Only the lines inside the painted area: a wrapped row can be far
        // taller than the screen.
        qsizetype first = 0;
        qsizetype last = chunks.size() - 1;
        if (painter.hasClipping()) {
            const QRectF clip = painter.clipBoundingRect();
            first = std::max<qsizetype>(0, qsizetype((clip.top() - topLeft.y()) / font.lineHeight) - 1);
            last = std::min<qsizetype>(last, qsizetype((clip.bottom() - topLeft.y()) / font.lineHeight) + 1);
        }
        for (qsizetype k = first; k <= last; ++k)
            painter.drawText(QPointF(topLeft.x(), topLeft.y() + double(k) * font.lineHeight + font.ascent), chunks[k]);
    }
};

struct DiffRowsView::RowLayout
{
    WrappedText left; // or the header or note text
    WrappedText right;
};

struct DiffRowsView::Metrics
{
    FontInfo text {GitDiffStyle::codeFont(12)};
    FontInfo number {GitDiffStyle::codeFont(11)};
    FontInfo marker {GitDiffStyle::codeFont(12, QFont::Bold)};
    FontInfo header {GitDiffStyle::codeFont(12, QFont::DemiBold)};
    FontInfo note {GitDiffStyle::codeFont(11.5, QFont::Medium)};
    int width = 0;

    int halfWidth() const { return std::max(1, (width - 1) / 2); }
    double cellTextWidth() const { return std::max(1, halfWidth() - kTextOffset - kCellInsetX); }
    double fullTextWidth() const { return std::max(1, width - 2 * kHeaderInsetX); }
};

DiffRowsView::DiffRowsView(QWidget *parent) : QAbstractScrollArea(parent), m_metrics(std::make_unique<Metrics>())
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(40);
}

DiffRowsView::~DiffRowsView() = default;

void DiffRowsView::setRows(QList<SideBySideRow> rows)
{
    m_rows = std::move(rows);
    m_layouts.clear();
    m_builtCount = 0;
    m_anchor = m_cursor = -1;
    m_layoutWidth = -1;
    relayout();
    verticalScrollBar()->setValue(0);
    viewport()->update();
}

int DiffRowsView::measureRow(const SideBySideRow &row) const
{
    const Metrics &m = *m_metrics;
    switch (row.kind) {
    case SideBySideRow::Kind::hunkHeader:
        return WrappedText::make(row.text, m.header, m.fullTextWidth(), false).lineCount * m.header.lineHeight
            + 2 * kHeaderInsetY;
    case SideBySideRow::Kind::note:
        return WrappedText::make(row.text, m.note, m.fullTextWidth(), false).lineCount * m.note.lineHeight
            + 2 * kNoteInsetY;
    case SideBySideRow::Kind::pair:
        break;
    }
    const double width = m.cellTextWidth();
    const int leftLines = row.left ? WrappedText::make(row.left->text, m.text, width, false).lineCount : 1;
    const int rightLines = row.right ? WrappedText::make(row.right->text, m.text, width, false).lineCount : 1;
    return std::max(leftLines, rightLines) * m.text.lineHeight + 2 * kCellInsetY;
}

DiffRowsView::RowLayout DiffRowsView::buildLayout(const SideBySideRow &row) const
{
    const Metrics &m = *m_metrics;
    RowLayout layout;
    switch (row.kind) {
    case SideBySideRow::Kind::hunkHeader:
        layout.left = WrappedText::make(row.text, m.header, m.fullTextWidth(), true);
        break;
    case SideBySideRow::Kind::note:
        layout.left = WrappedText::make(row.text, m.note, m.fullTextWidth(), true);
        break;
    case SideBySideRow::Kind::pair:
        if (row.left)
            layout.left = WrappedText::make(row.left->text, m.text, m.cellTextWidth(), true);
        if (row.right)
            layout.right = WrappedText::make(row.right->text, m.text, m.cellTextWidth(), true);
        break;
    }
    return layout;
}

void DiffRowsView::relayout()
{
    const int width = viewport()->width();
    m_metrics->width = width;
    m_layoutWidth = width;
    m_layouts.clear();
    m_offsets.assign(size_t(m_rows.size()) + 1, 0);
    int top = 0;
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        m_offsets[size_t(i)] = top;
        top += measureRow(m_rows[i]);
    }
    m_offsets[size_t(m_rows.size())] = top;
    updateScrollBar();
}

void DiffRowsView::updateScrollBar()
{
    const int content = m_offsets.empty() ? 0 : m_offsets.back() + kBottomSpace;
    const int page = viewport()->height();
    verticalScrollBar()->setPageStep(page);
    verticalScrollBar()->setRange(0, std::max(0, content - page));
}

int DiffRowsView::rowTop(qsizetype row) const
{
    return m_offsets[size_t(row)];
}

int DiffRowsView::rowHeight(qsizetype row) const
{
    return m_offsets[size_t(row) + 1] - m_offsets[size_t(row)];
}

qsizetype DiffRowsView::rowAt(int contentY) const
{
    if (m_rows.isEmpty())
        return -1;
    // The last row whose top is at or above the point.
    const auto end = m_offsets.begin() + m_rows.size();
    const auto found = std::upper_bound(m_offsets.begin(), end, contentY);
    return std::clamp<qsizetype>(qsizetype(found - m_offsets.begin()) - 1, 0, m_rows.size() - 1);
}

std::optional<std::pair<qsizetype, qsizetype>> DiffRowsView::visibleRows() const
{
    if (m_rows.isEmpty())
        return std::nullopt;
    const int top = verticalScrollBar()->value();
    const int bottom = top + std::max(1, viewport()->height()) - 1;
    if (top >= m_offsets.back())
        return std::nullopt;
    return std::make_pair(rowAt(top), rowAt(bottom));
}

QList<qsizetype> DiffRowsView::heldRows() const
{
    QList<qsizetype> held = m_layouts.keys();
    std::sort(held.begin(), held.end());
    return held;
}

void DiffRowsView::paintEvent(QPaintEvent *event)
{
    if (m_layoutWidth != viewport()->width())
        relayout();
    QPainter painter(viewport());
    painter.setClipRect(event->rect());
    const auto visible = visibleRows();
    // Keep the layouts of the rows on screen only.
    for (auto it = m_layouts.begin(); it != m_layouts.end();) {
        if (!visible || it.key() < visible->first || it.key() > visible->second)
            it = m_layouts.erase(it);
        else
            ++it;
    }
    if (!visible)
        return;
    const int scroll = verticalScrollBar()->value();
    for (qsizetype i = visible->first; i <= visible->second; ++i) {
        auto &layout = m_layouts[i];
        if (!layout) {
            layout = std::make_shared<RowLayout>(buildLayout(m_rows[i]));
            ++m_builtCount;
        }
        paintRow(painter, i, *layout, m_offsets[size_t(i)] - scroll);
    }
}

void DiffRowsView::paintRow(QPainter &painter, qsizetype index, const RowLayout &layout, int top) const
{
    using namespace GitDiffStyle;
    const Metrics &m = *m_metrics;
    const SideBySideRow &row = m_rows[index];
    const int height = rowHeight(index);
    const QRect rowRect(0, top, m.width, height);

    switch (row.kind) {
    case SideBySideRow::Kind::hunkHeader:
        painter.fillRect(rowRect, withAlpha(QColor::fromRgbF(0.10f, 0.16f, 0.24f), 0.80));
        painter.setPen(infoTint());
        layout.left.paint(painter, m.header, QPointF(kHeaderInsetX, top + kHeaderInsetY));
        break;
    case SideBySideRow::Kind::note:
        painter.fillRect(rowRect, withAlpha(Qt::white, 0.05));
        painter.setPen(withAlpha(Qt::white, 0.72));
        layout.left.paint(painter, m.note, QPointF(kHeaderInsetX, top + kNoteInsetY));
        break;
    case SideBySideRow::Kind::pair: {
        const int half = m.halfWidth();
        const auto paintCell
            = [&](const std::optional<SideBySideRow::Cell> &cell, const WrappedText &text, int x, int width) {
                  const std::optional<LineKind> kind = cell ? std::optional<LineKind>(cell->kind) : std::nullopt;
                  const int lines = cell ? text.lineCount : 1;
                  const int cellHeight = lines * m.text.lineHeight + 2 * kCellInsetY;
                  const int cellTop = top + (height - cellHeight) / 2;
                  painter.fillRect(QRect(x, cellTop, width, cellHeight), backgroundColor(kind));
                  if (!cell)
                      return;
                  const int lineTop = cellTop + kCellInsetY;
                  painter.setFont(m.number.font);
                  painter.setPen(withAlpha(Qt::white, 0.52));
                  painter.drawText(QRect(x + kCellInsetX, lineTop, kNumberWidth, m.text.lineHeight),
                      Qt::AlignRight | Qt::AlignVCenter, QString::number(cell->lineNumber));
                  painter.setFont(m.marker.font);
                  painter.setPen(markerColor(kind));
                  painter.drawText(
                      QRect(x + kCellInsetX + kNumberWidth + kCellSpacing, lineTop, kMarkerWidth, m.text.lineHeight),
                      Qt::AlignCenter, QString(cell->marker));
                  painter.setPen(textColor(kind));
                  text.paint(painter, m.text, QPointF(x + kTextOffset, lineTop));
              };
        paintCell(row.left, layout.left, 0, half);
        painter.fillRect(QRect(half, top, 1, height), withAlpha(Qt::white, 0.06));
        paintCell(row.right, layout.right, half + 1, m.width - half - 1);
        painter.fillRect(QRect(0, top + height - 1, m.width, 1), withAlpha(Qt::white, 0.03));
        break;
    }
    }

    if (const auto selected = selection(); selected && index >= selected->first && index <= selected->second)
        painter.fillRect(rowRect, withAlpha(palette().color(QPalette::Highlight), 0.28));
}

void DiffRowsView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (m_layoutWidth != viewport()->width())
        relayout();
    else
        updateScrollBar();
}

void DiffRowsView::scrollContentsBy(int, int)
{
    viewport()->update();
}

std::optional<std::pair<qsizetype, qsizetype>> DiffRowsView::selection() const
{
    if (m_anchor < 0 || m_cursor < 0)
        return std::nullopt;
    return std::make_pair(std::min(m_anchor, m_cursor), std::max(m_anchor, m_cursor));
}

void DiffRowsView::selectRows(qsizetype first, qsizetype last)
{
    if (m_rows.isEmpty())
        return;
    m_anchor = std::clamp<qsizetype>(first, 0, m_rows.size() - 1);
    m_cursor = std::clamp<qsizetype>(last, 0, m_rows.size() - 1);
    viewport()->update();
}

void DiffRowsView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || m_rows.isEmpty())
        return QAbstractScrollArea::mousePressEvent(event);
    const int y = int(event->position().y()) + verticalScrollBar()->value();
    if (y >= m_offsets.back())
        return;
    const qsizetype row = rowAt(y);
    if ((event->modifiers() & Qt::ShiftModifier) && m_anchor >= 0)
        m_cursor = row;
    else
        m_anchor = m_cursor = row;
    setFocus(Qt::MouseFocusReason);
    viewport()->update();
}

void DiffRowsView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || m_anchor < 0)
        return QAbstractScrollArea::mouseMoveEvent(event);
    const int y = std::clamp(int(event->position().y()), 0, viewport()->height());
    m_cursor = rowAt(y + verticalScrollBar()->value());
    viewport()->update();
}

void DiffRowsView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectRows(0, m_rows.size() - 1);
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

QString DiffRowsView::selectedText() const
{
    const auto selected = selection();
    if (!selected)
        return {};
    QStringList lines;
    QStringList removed;
    QStringList added;
    const auto flush = [&] {
        lines += removed;
        lines += added;
        removed.clear();
        added.clear();
    };
    for (qsizetype i = selected->first; i <= selected->second; ++i) {
        const SideBySideRow &row = m_rows[i];
        if (row.kind != SideBySideRow::Kind::pair) {
            flush();
            lines.append(row.text);
            continue;
        }
        if (row.left && row.left->kind == LineKind::context) {
            flush();
            lines.append(u' ' + row.left->text);
            continue;
        }
        // A deletion after rows without one starts a new block.
        if (row.left && !added.isEmpty() && added.size() > removed.size())
            flush();
        if (row.left)
            removed.append(u'-' + row.left->text);
        if (row.right)
            added.append(u'+' + row.right->text);
    }
    flush();
    return lines.join(u'\n') + u'\n';
}

void DiffRowsView::copySelection() const
{
    if (selection())
        QGuiApplication::clipboard()->setText(selectedText());
}
