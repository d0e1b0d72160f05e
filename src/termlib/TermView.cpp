#include "TermView.h"

#include "TermSurface.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <vector>

namespace termlib {

TermView::TermView(TermSurface *surface, QWidget *host) : QWidget(host), m_surface(surface)
{
    setObjectName(QStringLiteral("terminalSurfaceView"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(false);
    setGeometry(host->rect());
    host->installEventFilter(this);
    show();
}

bool TermView::cellAt(QPointF position, int &row, int &column) const
{
    if (!m_surface)
        return false;
    row = std::clamp(int(position.y() / m_surface->cellHeight()), 0, m_surface->rows() - 1);
    column = std::clamp(int(position.x() / m_surface->cellWidth()), 0, m_surface->columns() - 1);
    return true;
}

bool TermView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != parent())
        return false;
    switch (event->type()) {
    case QEvent::Resize:
        setGeometry(parentWidget()->rect());
        break;
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        int row, column;
        if (mouse->button() == Qt::LeftButton && cellAt(mouse->position(), row, column)) {
            m_selecting = true;
            m_surface->beginSelection(row, column);
        }
        break;
    }
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        int row, column;
        if (m_selecting && (mouse->buttons() & Qt::LeftButton) && cellAt(mouse->position(), row, column))
            m_surface->extendSelection(row, column);
        break;
    }
    case QEvent::MouseButtonRelease:
        m_selecting = false;
        break;
    default:
        break;
    }
    return false;
}

void TermView::paintEvent(QPaintEvent *event)
{
    if (!m_surface)
        return;
    QPainter painter(this);
    const double cw = m_surface->cellWidth(), ch = m_surface->cellHeight();
    const QFont base = m_surface->font();
    int cursorRow = -1, cursorColumn = -1;
    const bool showCursor = m_surface->cursor(cursorRow, cursorColumn);
    const QColor selection(0x3A, 0x5F, 0x9F);

    // What one cell draws, after reverse video, selection and the cursor.
    struct Look
    {
        QColor fg, bg;
        bool fill = false;
        bool bold = false, italic = false, underline = false, strike = false;
        bool sameText(const Look &other) const
        {
            return fg == other.fg && bold == other.bold && italic == other.italic && underline == other.underline
                && strike == other.strike;
        }
    };
    QFont current = base;
    bool fontSet = false;
    auto useFont = [&](const Look &look) {
        if (fontSet && current.bold() == look.bold && current.italic() == look.italic
            && current.underline() == look.underline && current.strikeOut() == look.strike)
            return;
        current = base;
        current.setBold(look.bold);
        current.setItalic(look.italic);
        current.setUnderline(look.underline);
        current.setStrikeOut(look.strike);
        painter.setFont(current);
        fontSet = true;
    };

    const int firstRow = std::max(0, int(event->rect().top() / ch));
    const int lastRow = std::min(m_surface->rows() - 1, int(event->rect().bottom() / ch));
    const int columns = m_surface->columns();
    std::vector<TermSurface::Cell> cells(size_t(std::max(columns, 0)));
    std::vector<Look> looks(cells.size());
    QString run;
    for (int row = firstRow; row <= lastRow; ++row) {
        for (int column = 0; column < columns; ++column) {
            const TermSurface::Cell &cell = cells[size_t(column)] = m_surface->cellAt(row, column);
            Look &look = looks[size_t(column)];
            look.fg = m_surface->rgb(cell.fg);
            look.bg = m_surface->rgb(cell.bg);
            look.fill = !VTERM_COLOR_IS_DEFAULT_BG(&cell.bg);
            if (cell.attrs.reverse) {
                std::swap(look.fg, look.bg);
                look.fill = true;
            }
            if (m_surface->isSelected(row, column)) {
                look.bg = selection;
                look.fill = true;
            }
            if (showCursor && row == cursorRow && column == cursorColumn && m_surface->focused()) {
                std::swap(look.fg, look.bg);
                if (!look.fill)
                    look.fg = QColor(0x10, 0x10, 0x10);
                look.bg = QColor(0xE6, 0xE6, 0xE6);
                look.fill = true;
            }
            look.bold = cell.attrs.bold;
            look.italic = cell.attrs.italic;
            look.underline = cell.attrs.underline != 0;
            look.strike = cell.attrs.strike;
        }

        // Backgrounds in runs of one colour.
        for (int column = 0; column < columns;) {
            const Look &look = looks[size_t(column)];
            int end = column + 1;
            while (end < columns && looks[size_t(end)].fill == look.fill && looks[size_t(end)].bg == look.bg)
                ++end;
            if (look.fill)
                painter.fillRect(QRectF(column * cw, row * ch, (end - column) * cw, ch), look.bg);
            column = end;
        }

        // Text: plain ASCII in runs of one look (the font is monospaced, so a
        // run lines up with its cells); anything else cell by cell.
        auto plain = [&](int column) {
            const TermSurface::Cell &cell = cells[size_t(column)];
            return cell.width <= 1 && cell.chars[0] > ' ' && cell.chars[0] < 0x7F && cell.chars[1] == 0
                && cell.chars[0] != uint32_t(-1);
        };
        for (int column = 0; column < columns;) {
            const TermSurface::Cell &cell = cells[size_t(column)];
            const Look &look = looks[size_t(column)];
            if (cell.chars[0] == uint32_t(-1) || cell.chars[0] == 0 || cell.chars[0] == ' ') {
                ++column; // blank, or the right half of a wide character
                continue;
            }
            useFont(look);
            painter.setPen(look.fg);
            if (plain(column)) {
                run.clear();
                int end = column;
                while (end < columns && plain(end) && looks[size_t(end)].sameText(look)) {
                    run.append(QChar(char16_t(cells[size_t(end)].chars[0])));
                    ++end;
                }
                painter.drawText(
                    QRectF(column * cw, row * ch, (end - column) * cw + cw, ch), Qt::AlignLeft | Qt::AlignVCenter, run);
                column = end;
                continue;
            }
            const int width = std::max(1, cell.width);
            char32_t chars[VTERM_MAX_CHARS_PER_CELL];
            int count = 0;
            for (; count < VTERM_MAX_CHARS_PER_CELL && cell.chars[count]; ++count)
                chars[count] = cell.chars[count];
            painter.drawText(QRectF(column * cw, row * ch, cw * width, ch), Qt::AlignLeft | Qt::AlignVCenter,
                QString::fromUcs4(chars, count));
            column += width;
        }

        if (showCursor && row == cursorRow && !m_surface->focused() && cursorColumn < columns) {
            const int width = std::max(1, cells[size_t(cursorColumn)].width);
            painter.setPen(QColor(0xE6, 0xE6, 0xE6));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRectF(cursorColumn * cw, row * ch, cw * width, ch).adjusted(0.5, 0.5, -0.5, -0.5));
        }
    }
}

} // namespace termlib
