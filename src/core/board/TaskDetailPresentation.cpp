#include "TaskDetailPresentation.h"

#include "common/Text.h"
#include "common/UuidText.h"
#include "model/BL_EventType.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>
#include <algorithm>

TaskDetailRefreshKey TaskDetailRefreshKey::of(const BL_Task &task, const QString &projectRootPath)
{
    return {task.blID, task.inputData, task.metadata, task.taskConversationData, task.taskHistoryData, projectRootPath};
}

QList<TaskDetailConversationRenderRow> TaskDetailPresentation::conversationRows(
    const QList<BL_TaskConversationTurn> &turns, const std::optional<QString> &stdoutTail)
{
    QList<BL_TaskConversationTurn> sorted = turns;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
        if (a.timestamp != b.timestamp)
            return a.timestamp < b.timestamp;
        return UuidText::upper(a.id) < UuidText::upper(b.id);
    });
    std::optional<QString> tail;
    if (stdoutTail) {
        const QString trimmed = Text::trimmed(*stdoutTail);
        if (!trimmed.isEmpty())
            tail = trimmed;
    }
    QList<TaskDetailConversationRenderRow> rows;
    rows.reserve(sorted.size());
    for (qsizetype i = 0; i < sorted.size(); ++i) {
        const BL_TaskConversationTurn &turn = sorted[i];
        QString content = turn.content;
        if (tail && i == sorted.size() - 1)
            content += kTailLabel + *tail;
        rows.append({turn.id, turn.role, turn.timestamp, content});
    }
    return rows;
}

QList<BL_TaskHistoryEvent> TaskDetailPresentation::sortedHistory(QList<BL_TaskHistoryEvent> events)
{
    std::stable_sort(events.begin(), events.end(), [](const auto &a, const auto &b) {
        if (a.timestamp != b.timestamp)
            return a.timestamp > b.timestamp;
        return UuidText::upper(a.id) > UuidText::upper(b.id);
    });
    return events;
}

QString TaskDetailPresentation::displayTime(TimePoint time)
{
    const QLocale locale;
    const QDateTime local = time.toDateTime().toLocalTime();
    return locale.toString(local.date(), QLocale::ShortFormat) + u' '
        + locale.toString(local.time(), QStringLiteral("HH:mm:ss"));
}

QString TaskDetailPresentation::historyLine(const BL_TaskHistoryEvent &event)
{
    const QString separator = QStringLiteral(" \u2022 ");
    return displayTime(event.timestamp) + separator + rawValue(event.type) + separator
        + (event.detail ? *event.detail : QStringLiteral("-"));
}

QString TaskDetailPresentation::roleLabel(BL_TaskConversationRole role)
{
    switch (role) {
    case BL_TaskConversationRole::manager:
        return QStringLiteral("Manager");
    case BL_TaskConversationRole::worker:
        return QStringLiteral("Worker");
    case BL_TaskConversationRole::tool:
        return QStringLiteral("Tool");
    case BL_TaskConversationRole::system:
        return QStringLiteral("System");
    }
    return {};
}

double TaskDetailPresentation::sheetWidth(double parentWindowContentWidth, std::optional<double> screenWidth)
{
    double base = 0;
    if (parentWindowContentWidth > 0)
        base = parentWindowContentWidth;
    else if (screenWidth)
        base = *screenWidth;
    else
        return 560;
    return std::min(std::max(base * 0.44, 420.0), 560.0);
}

std::pair<double, double> TaskDetailPresentation::sheetHeightRange(std::optional<double> screenHeight)
{
    if (!screenHeight)
        return {760, 902.4};
    return {760, std::max(*screenHeight * 0.94, 760.0)};
}

double TaskDetailPresentation::maxConversationBubbleWidth(
    double parentWindowContentWidth, std::optional<double> screenWidth)
{
    double base = 0;
    if (parentWindowContentWidth > 0)
        base = parentWindowContentWidth;
    else if (screenWidth)
        base = *screenWidth;
    else
        return 436.8;
    const double w = base * 0.44;
    if (w < 420)
        return 327.6;
    if (w < 560)
        return w * 0.78;
    return 436.8;
}

QString TaskDetailPresentation::linkifiedHtml(const QString &text)
{
    // An address runs to the next white space or angle bracket or quote;
    // closing punctuation at its end belongs to the sentence.
    static const QRegularExpression link(QStringLiteral(R"((?i)\bhttps?://[^\s<>"']+)"));
    static const QString trailing = QStringLiteral(".,;:!?)]}");
    QString html;
    qsizetype position = 0;
    auto plain = [&](qsizetype from, qsizetype to) {
        html += text.mid(from, to - from).toHtmlEscaped().replace(u'\n', QStringLiteral("<br>"));
    };
    for (auto it = link.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QString candidate = match.captured();
        while (!candidate.isEmpty() && trailing.contains(candidate.back()))
            candidate.chop(1);
        const QUrl url(candidate, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
            continue;
        plain(position, match.capturedStart());
        html += QStringLiteral("<a href=\"%1\" style=\"color:#0a84ff;text-decoration:underline;\">%2</a>")
                    .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(), candidate.toHtmlEscaped());
        position = match.capturedStart() + candidate.size();
    }
    plain(position, text.size());
    return html;
}

QString TaskDetailPresentation::downloadsFolder()
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!location.isEmpty())
        return location;
    return QDir::home().filePath(QStringLiteral("Downloads"));
}

TaskDetailPresentation::DownloadOutcome TaskDetailPresentation::downloadStdoutLog(
    const QString &sourcePath, const QString &folder, const QUuid &taskID)
{
    DownloadOutcome outcome;
    outcome.targetPath = QDir(folder).filePath(UuidText::lower(taskID) + QStringLiteral(".stdout.log"));
    auto failed = [&](const QString &why) {
        outcome.message = QStringLiteral("Download failed: ") + why;
        return outcome;
    };
    QFile source(sourcePath);
    if (!QFileInfo(sourcePath).isFile())
        return failed(QStringLiteral("The output log “%1” does not exist.").arg(sourcePath));
    if (!source.open(QIODevice::ReadOnly))
        return failed(source.errorString());
    if (!QDir().mkpath(folder))
        return failed(QStringLiteral("The folder “%1” could not be created.").arg(folder));
    if (QFileInfo(outcome.targetPath).isDir())
        return failed(QStringLiteral("A folder is in the way at “%1”.").arg(outcome.targetPath));
    // The copy is written beside the target and renamed over it only when
    // it is complete, so the earlier copy survives any failure.
    QSaveFile target(outcome.targetPath);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly))
        return failed(target.errorString());
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1 << 20);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError)
            return failed(source.errorString());
        if (target.write(chunk) != chunk.size())
            return failed(target.errorString());
    }
    if (!target.commit())
        return failed(target.errorString());
    outcome.ok = true;
    outcome.message = QStringLiteral("Saved to ") + outcome.targetPath;
    return outcome;
}
