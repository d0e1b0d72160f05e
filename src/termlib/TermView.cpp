#include "TermView.h"

#include "TermSurface.h"

#include <QMouseEvent>
#include <QPainter>

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

void TermView::paintEvent(QPaintEvent *)
{
    if (!m_surface)
        return;
    QPainter painter(this);
    const double cw = m_surface->cellWidth(), ch = m_surface->cellHeight();
    const QFont base = m_surface->font();
    int cursorRow = -1, cursorColumn = -1;
    const bool showCursor = m_surface->cursor(cursorRow, cursorColumn);
    const QColor selection(0x3A, 0x5F, 0x9F);

    for (int row = 0; row < m_surface->rows(); ++row) {
        for (int column = 0; column < m_surface->columns(); ++column) {
            const TermSurface::Cell cell = m_surface->cellAt(row, column);
            if (cell.chars[0] == uint32_t(-1))
                continue; // the right half of a wide character
            const int width = std::max(1, cell.width);
            const QRectF rect(column * cw, row * ch, cw * width, ch);
            QColor fg = m_surface->rgb(cell.fg);
            const bool defaultBackground = VTERM_COLOR_IS_DEFAULT_BG(&cell.bg);
            QColor bg = m_surface->rgb(cell.bg);
            bool fillBackground = !defaultBackground;
            if (cell.attrs.reverse) {
                std::swap(fg, bg);
                fillBackground = true;
            }
            const bool selected = m_surface->isSelected(row, column);
            if (selected) {
                bg = selection;
                fillBackground = true;
            }
            const bool atCursor = showCursor && row == cursorRow && column == cursorColumn;
            if (atCursor && m_surface->focused()) {
                std::swap(fg, bg);
                if (!fillBackground)
                    fg = QColor(0x10, 0x10, 0x10);
                bg = QColor(0xE6, 0xE6, 0xE6);
                fillBackground = true;
            }
            if (fillBackground)
                painter.fillRect(rect, bg);
            if (cell.chars[0] && cell.chars[0] != ' ') {
                QFont font = base;
                font.setBold(cell.attrs.bold);
                font.setItalic(cell.attrs.italic);
                font.setUnderline(cell.attrs.underline != 0);
                font.setStrikeOut(cell.attrs.strike);
                painter.setFont(font);
                painter.setPen(fg);
                char32_t chars[VTERM_MAX_CHARS_PER_CELL];
                int count = 0;
                for (; count < VTERM_MAX_CHARS_PER_CELL && cell.chars[count]; ++count)
                    chars[count] = cell.chars[count];
                painter.drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, QString::fromUcs4(chars, count));
            }
            if (atCursor && !m_surface->focused()) {
                painter.setPen(QColor(0xE6, 0xE6, 0xE6));
                painter.drawRect(rect.adjusted(0.5, 0.5, -0.5, -0.5));
            }
        }
    }
}

} // namespace termlib
