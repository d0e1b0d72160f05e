#include "GitDiffView.h"

#include "DiffRowsView.h"
#include "ElidedLabel.h"
#include "GitDiffFileList.h"
#include "GitDiffStyle.h"
#include "PillLabel.h"
#include "board/SideBySideRow.h"
#include "shell/SymbolIcons.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

using namespace GitDiffStyle;

// A plain area filled with one colour over whatever lies behind it.
class FillPanel final : public QWidget
{
public:
    FillPanel(const QColor &fill, QWidget *parent = nullptr) : QWidget(parent), m_fill(fill) { }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), m_fill);
    }

private:
    QColor m_fill;
};

QWidget *line(Qt::Orientation orientation, const QColor &color)
{
    auto *separator = new FillPanel(color);
    if (orientation == Qt::Horizontal)
        separator->setFixedHeight(1);
    else
        separator->setFixedWidth(1);
    return separator;
}

QLabel *textLabel(const QString &text, const QFont &font, const QColor &color, const QString &objectName)
{
    auto *label = new QLabel(text);
    label->setObjectName(objectName);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

// The icon's shape in one colour.
QIcon tinted(const QIcon &icon, const QColor &color, int size)
{
    if (icon.isNull())
        return icon;
    QPixmap pixmap = icon.pixmap(size, size);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    painter.end();
    return QIcon(pixmap);
}

const PillLabel::Look kStatPill {0.98, 0.18, 0.46, 8, 4};
const PillLabel::Look kColumnLabel {1.0, 0.18, 0.42, 6, 2};

} // namespace

GitDiffView::GitDiffView(const QString &diffText, std::optional<double> parentWindowContentWidth,
    std::function<void()> onDismiss, QWidget *parent, ScreenWidth screenWidth)
    : GitDiffView(diffText, ParsedGitDiff::parse(diffText), parentWindowContentWidth, std::move(onDismiss), parent,
        std::move(screenWidth))
{
}

GitDiffView::GitDiffView(const QString &diffText, ParsedGitDiff parsedDiff,
    std::optional<double> parentWindowContentWidth, std::function<void()> onDismiss, QWidget *parent,
    ScreenWidth screenWidth)
    : QDialog(parent), m_diffText(diffText), m_parsedDiff(std::move(parsedDiff)), m_onDismiss(std::move(onDismiss))
{
    setObjectName(QStringLiteral("gitDiffView"));
    setWindowTitle(QStringLiteral("Git Diff"));
    setWindowModality(Qt::WindowModal);
    setModal(true);
    if (!m_parsedDiff.files.isEmpty())
        m_selectedFileID = m_parsedDiff.files.first().id;
    const auto screen = screenWidth ? screenWidth() : primaryScreenWidth();
    m_size = sheetSize(parentWindowContentWidth, screen);
    setMinimumSize(int(std::ceil(m_size.minimumWidth)), int(std::ceil(m_size.minimumHeight)));
    resize(int(std::ceil(m_size.idealWidth)), int(std::ceil(m_size.idealHeight)));
    build();
}

GitDiffView::~GitDiffView() = default;

GitDiffSheetSize GitDiffView::sheetSize(
    std::optional<double> parentWindowContentWidth, std::optional<double> screenWidth)
{
    const double base = parentWindowContentWidth.value_or(screenWidth.value_or(1480.0));
    GitDiffSheetSize size;
    size.idealWidth = std::max(base * 0.88, 1280.0);
    size.minimumWidth = std::max(size.idealWidth * 0.82, 980.0);
    return size;
}

std::optional<double> GitDiffView::primaryScreenWidth()
{
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        return double(screen->availableGeometry().width());
    return std::nullopt;
}

const ParsedGitDiff::FileSection *GitDiffView::selectedFile() const
{
    const auto &files = m_parsedDiff.files;
    if (files.isEmpty())
        return nullptr;
    if (m_selectedFileID) {
        for (const auto &file : files) {
            if (file.id == *m_selectedFileID)
                return &file;
        }
    }
    return &files.first();
}

void GitDiffView::selectFile(const QString &id)
{
    if (m_selectedFileID == id)
        return;
    m_selectedFileID = id;
    if (m_fileList)
        m_fileList->setSelectedFileID(m_selectedFileID);
    showSelectedFile();
}

void GitDiffView::build()
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(1, 1, 1, 1); // inside the sheet's border
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(line(Qt::Horizontal, withAlpha(Qt::white, 0.16)));
    if (m_parsedDiff.files.isEmpty()) {
        column->addWidget(buildEmptyState(), 1);
        return;
    }
    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("diffContent"));
    auto *row = new QHBoxLayout(content);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto *sidebar = new FillPanel(withAlpha(Qt::white, 0.045));
    sidebar->setObjectName(QStringLiteral("fileSidebar"));
    auto *sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    m_fileList = new GitDiffFileList(m_parsedDiff.files);
    m_fileList->setSelectedFileID(m_selectedFileID);
    connect(m_fileList, &GitDiffFileList::fileClicked, this, &GitDiffView::selectFile);
    sidebarLayout->addWidget(m_fileList);
    sidebar->setFixedWidth(GitDiffFileList::kWidth);
    row->addWidget(sidebar);
    row->addWidget(line(Qt::Vertical, withAlpha(Qt::white, 0.16)));
    row->addWidget(buildPane(), 1);
    column->addWidget(content, 1);
    showSelectedFile();
}

QWidget *GitDiffView::buildHeader()
{
    auto *header = new FillPanel(withAlpha(Qt::white, 0.06));
    header->setObjectName(QStringLiteral("diffHeader"));
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(10);

    auto *titleBlock = new QVBoxLayout;
    titleBlock->setSpacing(4);
    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    auto *icon = new QLabel;
    icon->setObjectName(QStringLiteral("diffTitleIcon"));
    icon->setPixmap(SymbolIcons::icon(QStringLiteral("arrow.triangle.branch")).pixmap(18, 18));
    titleRow->addWidget(icon);
    titleRow->addWidget(textLabel(
        QStringLiteral("Git Diff"), interfaceFont(kTitle3, QFont::DemiBold), Qt::white, QStringLiteral("diffTitle")));
    titleRow->addStretch(1);
    titleBlock->addLayout(titleRow);
    titleBlock->addWidget(textLabel(QString::number(m_parsedDiff.files.size()) + QStringLiteral(" files changed"),
        interfaceFont(kCaption), withAlpha(Qt::white, 0.78), QStringLiteral("filesChangedLabel")));
    row->addLayout(titleBlock);
    row->addStretch(1);

    const QFont pillFont = interfaceFont(kCaption, QFont::DemiBold);
    auto *added = new PillLabel(
        QStringLiteral("+") + QString::number(m_parsedDiff.totalAdded), addedTint(), kStatPill, pillFont);
    added->setObjectName(QStringLiteral("addedTotalPill"));
    auto *removed = new PillLabel(
        QStringLiteral("-") + QString::number(m_parsedDiff.totalRemoved), removedTint(), kStatPill, pillFont);
    removed->setObjectName(QStringLiteral("removedTotalPill"));
    row->addWidget(added);
    row->addWidget(removed);

    auto *close = new QToolButton;
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAutoRaise(true);
    close->setFocusPolicy(Qt::NoFocus);
    close->setToolTip(QStringLiteral("Close"));
    close->setText(QStringLiteral("Close"));
    close->setIcon(tinted(SymbolIcons::icon(QStringLiteral("xmark.circle.fill")), withAlpha(Qt::white, 0.78), 22));
    close->setIconSize(QSize(22, 22));
    close->setToolButtonStyle(close->icon().isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonIconOnly);
    close->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; padding: 2px; }"));
    connect(close, &QToolButton::clicked, this, &GitDiffView::dismiss);
    row->addWidget(close);
    return header;
}

QWidget *GitDiffView::buildEmptyState()
{
    auto *empty = new QWidget;
    empty->setObjectName(QStringLiteral("emptyState"));
    auto *column = new QVBoxLayout(empty);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(8);
    column->addStretch(1);
    auto *title = textLabel(QStringLiteral("No diff content available."), interfaceFont(kCallout, QFont::Medium),
        withAlpha(Qt::white, 0.90), QStringLiteral("emptyStateTitle"));
    auto *detail = textLabel(QStringLiteral("The patch did not include any file hunks."), interfaceFont(kCaption),
        withAlpha(Qt::white, 0.72), QStringLiteral("emptyStateDetail"));
    title->setAlignment(Qt::AlignCenter);
    detail->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    column->addWidget(detail);
    column->addStretch(1);
    return empty;
}

QWidget *GitDiffView::buildPane()
{
    auto *pane = new FillPanel(withAlpha(Qt::black, 0.14));
    pane->setObjectName(QStringLiteral("filePane"));
    auto *column = new QVBoxLayout(pane);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *header = new FillPanel(withAlpha(Qt::white, 0.06));
    header->setObjectName(QStringLiteral("fileHeader"));
    auto *headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(12, 9, 12, 9);
    headerRow->setSpacing(10);
    auto *paths = new QVBoxLayout;
    paths->setSpacing(4);
    m_pathLabel = new ElidedLabel;
    m_pathLabel->setObjectName(QStringLiteral("fileHeaderPath"));
    m_pathLabel->setFont(codeFont(13, QFont::DemiBold));
    m_pathLabel->setColor(withAlpha(Qt::white, 0.98));
    m_subtitleLabel = new ElidedLabel;
    m_subtitleLabel->setObjectName(QStringLiteral("fileHeaderSubtitle"));
    QFont subtitleFont = interfaceFont(kCaption2);
    subtitleFont.setStyleStrategy(QFont::PreferNoShaping); // "->" as written
    m_subtitleLabel->setFont(subtitleFont);
    m_subtitleLabel->setColor(withAlpha(Qt::white, 0.66));
    paths->addWidget(m_pathLabel);
    paths->addWidget(m_subtitleLabel);
    headerRow->addLayout(paths, 1);
    const QFont labelFont = interfaceFont(kCaption2, QFont::DemiBold);
    auto *before = new PillLabel(QStringLiteral("Before"), withAlpha(removedTint(), 0.90), kColumnLabel, labelFont);
    before->setObjectName(QStringLiteral("beforeLabel"));
    auto *after = new PillLabel(QStringLiteral("After"), withAlpha(addedTint(), 0.90), kColumnLabel, labelFont);
    after->setObjectName(QStringLiteral("afterLabel"));
    auto *labels = new QHBoxLayout;
    labels->setSpacing(8);
    labels->addWidget(before);
    labels->addWidget(after);
    headerRow->addLayout(labels);
    headerRow->setAlignment(labels, Qt::AlignTop);
    column->addWidget(header);
    column->addWidget(line(Qt::Horizontal, withAlpha(Qt::white, 0.10)));

    m_paneBody = new QStackedWidget;
    auto *notice = new QWidget;
    notice->setObjectName(QStringLiteral("noHunksNotice"));
    auto *noticeColumn = new QVBoxLayout(notice);
    noticeColumn->setContentsMargins(20, 20, 20, 20);
    noticeColumn->setSpacing(8);
    noticeColumn->addStretch(1);
    auto *noticeTitle = textLabel(QStringLiteral("No textual hunks available for this file."), interfaceFont(kCallout),
        withAlpha(Qt::white, 0.78), QStringLiteral("noHunksTitle"));
    auto *noticeDetail = textLabel(QStringLiteral("This usually indicates a binary change or metadata-only diff."),
        interfaceFont(kCaption), withAlpha(Qt::white, 0.62), QStringLiteral("noHunksDetail"));
    noticeTitle->setAlignment(Qt::AlignCenter);
    noticeDetail->setAlignment(Qt::AlignCenter);
    noticeColumn->addWidget(noticeTitle);
    noticeColumn->addWidget(noticeDetail);
    noticeColumn->addStretch(1);
    m_rows = new DiffRowsView;
    m_rows->setObjectName(QStringLiteral("diffRows"));
    m_paneBody->addWidget(notice);
    m_paneBody->addWidget(m_rows);
    column->addWidget(m_paneBody, 1);
    return pane;
}

void GitDiffView::showSelectedFile()
{
    const ParsedGitDiff::FileSection *file = selectedFile();
    if (!file || !m_pathLabel)
        return;
    m_pathLabel->setText(file->displayPath());
    const auto subtitle = file->subtitle();
    m_subtitleLabel->setText(subtitle.value_or(QString()));
    m_subtitleLabel->setVisible(subtitle.has_value());
    if (file->hunks.isEmpty()) {
        m_rows->setRows({});
        m_paneBody->setCurrentIndex(0);
    } else {
        m_rows->setRows(sideBySideRows(*file));
        m_paneBody->setCurrentIndex(1);
    }
}

void GitDiffView::reject()
{
    dismiss();
}

void GitDiffView::closeEvent(QCloseEvent *event)
{
    // The window's own close button asks like the sheet's; the presenter's
    // own close goes through.
    if (event->spontaneous()) {
        event->ignore();
        dismiss();
        return;
    }
    QDialog::closeEvent(event);
}

void GitDiffView::dismiss()
{
    if (m_onDismiss)
        m_onDismiss();
}

void GitDiffView::paintEvent(QPaintEvent *)
{
    // The dark translucent backdrop has no equivalent here: an opaque dark
    // ground stands in for it, under the diagonal gradient and the border.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x12, 0x14, 0x18));
    QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
    gradient.setColorAt(0, withAlpha(QColor::fromRgbF(0.10f, 0.13f, 0.18f), 0.92));
    gradient.setColorAt(1, withAlpha(QColor::fromRgbF(0.06f, 0.09f, 0.14f), 0.88));
    painter.fillRect(rect(), gradient);
    painter.setPen(QPen(withAlpha(Qt::white, 0.28), 1));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
