#include "CommandHistorySheet.h"

#include "DarkAppearance.h"
#include "MainWindowState.h"
#include "ShellWidgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

constexpr int kHighlightRole = Qt::UserRole + 1;

// A row: the command in the code font on a rounded highlight when chosen.
class HistoryRowDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (index.data(kHighlightRole).toBool()) {
            QPainterPath path;
            path.addRoundedRect(QRectF(option.rect).adjusted(0, 1, 0, -1), 6, 6);
            painter->fillPath(path, QColor(255, 255, 255, 46));
        }
        painter->setPen(Qt::white);
        painter->setFont(DarkAppearance::codeFont(10.5));
        const QRect text = option.rect.adjusted(6, 3, -6, -3);
        painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
            painter->fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, text.width()));
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        Q_UNUSED(index);
        return QSize(option.rect.width(), QFontMetrics(DarkAppearance::codeFont(10.5)).height() + 8);
    }
};

} // namespace

CommandHistorySheet::CommandHistorySheet(MainWindowState &state, QWidget *parent) : QDialog(parent), m_state(state)
{
    setObjectName(QStringLiteral("commandHistorySheet"));
    setWindowTitle(QStringLiteral("Command History"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumSize(520, 360);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    auto *title = new QLabel(QStringLiteral("Command History"), this);
    title->setObjectName(QStringLiteral("commandHistoryTitle"));
    title->setFont(DarkAppearance::interfaceFont(14, QFont::Bold));
    title->setStyleSheet(QStringLiteral("color: white;"));
    layout->addWidget(title);

    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("commandHistorySearch"));
    m_search->setPlaceholderText(QStringLiteral("Search history…"));
    m_search->setStyleSheet(QStringLiteral("QLineEdit { color: white; background: rgba(255,255,255,0.10);"
                                           " border: 1px solid rgba(255,255,255,0.18); border-radius: 8px;"
                                           " padding: 8px 10px; }"));
    layout->addWidget(m_search);

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("commandHistoryList"));
    m_list->setItemDelegate(new HistoryRowDelegate(m_list));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setStyleSheet(QStringLiteral("QListWidget { background: transparent; }"));
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    layout->addWidget(m_list, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("commandHistoryClose"));
    close->setAutoDefault(false);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    m_search->setText(m_state.commandHistorySearchText());
    connect(m_search, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_state.setCommandHistorySearchText(text);
        m_state.setCommandHistorySelectionIndex(0);
    });
    connect(m_list, &QListWidget::itemClicked, this,
        [this](QListWidgetItem *item) { m_state.setCommandHistorySelectionIndex(m_list->row(item)); });
    connect(m_list, &QListWidget::itemDoubleClicked, this,
        [this](QListWidgetItem *item) { emit entryChosen(m_list->row(item)); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    refresh();
}

void CommandHistorySheet::refresh()
{
    const auto context = m_state.commandHistoryContext();
    const QStringList entries = context
        ? m_state.commandRunner().filteredCommandHistory(context->projectID, m_state.commandHistorySearchText())
        : QStringList();
    if (m_search->text() != m_state.commandHistorySearchText())
        m_search->setText(m_state.commandHistorySearchText());
    if (entries != m_shown) {
        m_list->clear();
        m_list->addItems(entries);
        m_shown = entries;
    }
    const qint64 highlighted = m_state.commandHistorySelectionIndex();
    for (int row = 0; row < m_list->count(); ++row)
        m_list->item(row)->setData(kHighlightRole, row == highlighted);
    if (highlighted >= 0 && highlighted < m_list->count())
        m_list->scrollToItem(m_list->item(int(highlighted)));
}

void CommandHistorySheet::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromRgbF(0.03f, 0.02f, 0.10f));
    painter.fillRect(rect(), PageBackdrop::cliPanelBackgroundGradient(rect()));
}
