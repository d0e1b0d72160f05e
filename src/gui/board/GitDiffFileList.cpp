#include "GitDiffFileList.h"

#include "GitDiffStyle.h"
#include "PillLabel.h"

#include <QAbstractListModel>
#include <QPainter>
#include <QPainterPath>
#include <QStyledItemDelegate>

namespace {

constexpr int kMargin = 10;
constexpr int kGap = 8;
constexpr int kPadX = 10;
constexpr int kPadY = 9;
constexpr int kLineSpacing = 6;
constexpr int kPillSpacing = 6;
constexpr int kIdRole = Qt::UserRole + 1;
constexpr int kSelectedRole = Qt::UserRole + 2;

const PillLabel::Look kMiniPill {0.96, 0.15, 0.40, 7, 3};

QFont pathFont()
{
    return GitDiffStyle::codeFont(12.5, QFont::DemiBold);
}

QFont pillFont()
{
    return GitDiffStyle::interfaceFont(GitDiffStyle::kCaption2, QFont::DemiBold);
}

class FileModel final : public QAbstractListModel
{
public:
    FileModel(const QList<ParsedGitDiff::FileSection> &files, QObject *parent)
        : QAbstractListModel(parent), m_files(files)
    {
    }

    std::optional<QString> selected() const { return m_selected; }
    void setSelected(const std::optional<QString> &id) { m_selected = id; }

    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : int(m_files.size()); }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_files.size())
            return {};
        const auto &file = m_files[index.row()];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return file.displayPath();
        case kIdRole:
            return file.id;
        case kSelectedRole:
            return m_selected.has_value() && *m_selected == file.id;
        case Qt::UserRole:
            return GitDiffFileList::cardTexts(file);
        default:
            return {};
        }
    }

private:
    QList<ParsedGitDiff::FileSection> m_files;
    std::optional<QString> m_selected;
};

class FileCardDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static int cardHeight()
    {
        const QFontMetrics path(pathFont());
        return kPadY + path.height() + kLineSpacing
            + int(PillLabel::pillSize(QStringLiteral("0"), kMiniPill, pillFont()).height()) + kPadY;
    }

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &index) const override
    {
        const bool last = index.row() == index.model()->rowCount() - 1;
        return QSize(GitDiffFileList::kWidth - 2 * kMargin, cardHeight() + (last ? 0 : kGap));
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        using namespace GitDiffStyle;
        const bool selected = index.data(kSelectedRole).toBool();
        const QStringList texts = index.data(Qt::UserRole).toStringList();
        const QRectF card(option.rect.x(), option.rect.y(), option.rect.width(), cardHeight());
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (selected) {
            // A soft glow below the card.
            for (int step = 0; step < 4; ++step) {
                const double spread = 2.0 * step;
                painter->setPen(Qt::NoPen);
                painter->setBrush(withAlpha(Qt::white, 0.12 / 4));
                painter->drawRoundedRect(
                    card.adjusted(-spread / 2, 3, spread / 2, 3 + spread / 2), 10 + spread / 2, 10 + spread / 2);
            }
        }
        painter->setPen(Qt::NoPen);
        painter->setBrush(withAlpha(Qt::white, selected ? 0.24 : 0.08));
        painter->drawRoundedRect(card, 10, 10);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(QPen(withAlpha(Qt::white, selected ? 0.44 : 0.16), 1));
        painter->drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), 9.5, 9.5);

        const QFont path = pathFont();
        const QFontMetrics pathMetrics(path);
        const int textWidth = int(card.width()) - 2 * kPadX;
        painter->setFont(path);
        painter->setPen(withAlpha(Qt::white, 0.98));
        const QRect pathRect(int(card.x()) + kPadX, int(card.y()) + kPadY, textWidth, pathMetrics.height());
        painter->drawText(pathRect, Qt::AlignLeft | Qt::AlignVCenter,
            pathMetrics.elidedText(texts.value(0), Qt::ElideMiddle, textWidth));

        const QColor tints[] = {addedTint(), removedTint(), infoTint()};
        double x = card.x() + kPadX;
        const double y = pathRect.bottom() + 1 + kLineSpacing;
        for (int i = 0; i < 3; ++i) {
            const QSizeF size = PillLabel::pillSize(texts.value(i + 1), kMiniPill, pillFont());
            PillLabel::paint(
                *painter, QRectF(QPointF(x, y), size), texts.value(i + 1), tints[i], kMiniPill, pillFont());
            x += size.width() + kPillSpacing;
        }
        painter->restore();
    }
};

} // namespace

GitDiffFileList::GitDiffFileList(const QList<ParsedGitDiff::FileSection> &files, QWidget *parent)
    : QListView(parent), m_model(new FileModel(files, this))
{
    setObjectName(QStringLiteral("fileList"));
    setFixedWidth(kWidth);
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setUniformItemSizes(false);
    setLayoutMode(QListView::Batched);
    setViewportMargins(kMargin, kMargin, kMargin, kMargin);
    setMouseTracking(false);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QListView { background: transparent; border: none; }"));
    setModel(m_model);
    setItemDelegate(new FileCardDelegate(this));
    connect(this, &QListView::clicked, this,
        [this](const QModelIndex &index) { emit fileClicked(index.data(kIdRole).toString()); });
}

void GitDiffFileList::setSelectedFileID(const std::optional<QString> &id)
{
    static_cast<FileModel *>(m_model)->setSelected(id);
    viewport()->update();
}

QStringList GitDiffFileList::cardTexts(const ParsedGitDiff::FileSection &file)
{
    return {file.displayPath(), QStringLiteral("+") + QString::number(file.addedLines()),
        QStringLiteral("-") + QString::number(file.removedLines()),
        QString::number(file.hunks.size()) + QStringLiteral(" hunks")};
}

QRect GitDiffFileList::cardRect(int row) const
{
    const QRect item = visualRect(model()->index(row, 0));
    return QRect(item.x(), item.y(), item.width(), FileCardDelegate::cardHeight());
}

std::optional<QString> GitDiffFileList::selectedFileID() const
{
    return static_cast<const FileModel *>(m_model)->selected();
}
