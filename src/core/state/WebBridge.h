#pragma once

#include "model/BL_Task.h"
#include "model/BL_TaskGitDiff.h"
#include "node/LocalViewerRecords.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The pure pieces of the web bridge: how a task becomes the local viewer's
// summary and detail records. No state, no file access; the caller reads the
// log tail and the patch (off the main thread) and passes them in.
namespace WebBridge {

inline constexpr int kMaxTasksPerList = 20;
inline const QString kStdoutTailMarker = QStringLiteral("[stdout log tail]");

// "title" when it is a string (even empty), else "prompt", else "Untitled".
QString extractTitle(const BL_Task &task);
// The first http(s) address in the output's stdout and stderr, the input and
// the metadata that survives sanitizeDetectedURL.
std::optional<QString> extractDetectedURL(const BL_Task &task);
// Trims quotes, angle brackets, parentheses and commas; http(s) only; drops
// every "token" query item (any letter case).
std::optional<QString> sanitizeDetectedURL(const QString &candidate);
// The tail appended to the latest turn, unless a turn already carries one.
QString augmentConversationJSON(const QString &conversationJSON, const std::optional<QString> &stdoutLogTail);
// The trimmed text's bytes when it is a JSON object or array, else fallback.
QByteArray normalizedJSONData(const QString &text, const QString &fallback);
// Indented, keys sorted; fallback when the bytes are no JSON object or array.
QString prettyJSON(const QByteArray &bytes, const QString &fallback);

// The submitter name of the metadata: trimmed (nothing when empty) for the
// list, untrimmed for the detail.
std::optional<QString> listSubmitterUsername(const QByteArray &metadata);
std::optional<QString> detailSubmitterUsername(const QByteArray &metadata);

LocalViewer::TaskSummary taskSummary(const BL_Task &task, const std::optional<QString> &stdoutLogTail);

struct DetailInputs
{
    std::optional<QString> stdoutLogTail;
    std::optional<QString> gitDiffPatch; // read by the one patch reader
};
LocalViewer::TaskDetailResponse taskDetail(const BL_Task &task, const DetailInputs &inputs);

// A workspace folder name: runs of other characters than A-Z, a-z, 0-9, "_"
// and "-" become "-", "-" runs collapse, "-" and "_" trimmed from the ends,
// at most 80 characters; nothing when empty.
std::optional<QString> sanitizedWorkspaceDirectoryName(const QString &name);
// "<folder>/<base>", else "<base>-2", "<base>-3", ... whichever does not exist.
QString uniqueWorkspaceDirectoryURL(const QString &folder, const QString &baseName);

// The first six-part colon-separated hexadecimal address in the text, lower
// case, octets as printed.
std::optional<QString> firstHardwareAddress(const QString &text);

} // namespace WebBridge
