#include "DisplayDateText.h"

namespace {

// The locale's long time format without its time-zone name: hours, minutes
// and seconds. Quoted literal text is kept as it is.
QString timeWithSecondsFormat(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar character : format) {
        if (character == u'\'')
            quoted = !quoted;
        if (!quoted && character == u't')
            continue;
        result.append(character);
    }
    return result.trimmed();
}

} // namespace

QString numericDateStandardTimeText(const TimePoint &time, const QLocale &locale)
{
    const QDateTime local = time.toDateTime().toLocalTime();
    return locale.toString(local.date(), QLocale::ShortFormat) + QStringLiteral(", ")
        + locale.toString(local.time(), timeWithSecondsFormat(locale));
}
