#pragma once

#include <QString>
#include <QUuid>
#include <optional>

// UUID text as the system writes and reads it: the 36-character hyphenated
// form only, either letter case; braces, URNs and other shapes are refused.
namespace UuidText {

std::optional<QUuid> parse(QStringView text);
QString upper(const QUuid &uuid);
QString lower(const QUuid &uuid);

} // namespace UuidText
