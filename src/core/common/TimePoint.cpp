#include "TimePoint.h"

#include <algorithm>
#include <cmath>

namespace {
// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59.999Z in Unix seconds.
constexpr double kEarliestUnix = -62135596800.0;
constexpr double kLatestUnix = 253402300799.999;

class SystemClock final : public Clock
{
public:
    TimePoint now() const override { return TimePoint::now(); }
};

int digits(QStringView text, qsizetype from, qsizetype count)
{
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i)
        value = value * 10 + (text[i].unicode() - u'0');
    return value;
}

bool allDigits(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

} // namespace

std::optional<TimePoint> TimePoint::fromReferenceSecondsChecked(double seconds)
{
    return fromUnixSecondsChecked(seconds + kUnixOffset);
}

std::optional<TimePoint> TimePoint::fromUnixSecondsChecked(double seconds)
{
    if (!std::isfinite(seconds) || seconds < kEarliestUnix || seconds > kLatestUnix)
        return std::nullopt;
    return fromUnixSeconds(seconds);
}

TimePoint TimePoint::fromDateTime(const QDateTime &dateTime)
{
    return fromUnixSeconds(static_cast<double>(dateTime.toMSecsSinceEpoch()) / 1000.0);
}

TimePoint TimePoint::now()
{
    return fromDateTime(QDateTime::currentDateTimeUtc());
}

QDateTime TimePoint::toDateTime() const
{
    const double unix = unixSeconds();
    const double clamped = std::isfinite(unix) ? std::clamp(unix, kEarliestUnix, kLatestUnix) : 0.0;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(clamped * 1000.0 + 0.5)), Qt::UTC);
}

QString TimePoint::toDatabaseText() const
{
    return toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

std::optional<TimePoint> TimePoint::fromDatabaseText(QStringView text)
{
    // yyyy-MM-dd HH:mm:ss.SSS
    if (text.size() != 23 || text[4] != u'-' || text[7] != u'-' || text[10] != u' ' || text[13] != u':'
        || text[16] != u':' || text[19] != u'.')
        return std::nullopt;
    for (qsizetype i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 22})
        if (text[i] < u'0' || text[i] > u'9')
            return std::nullopt;
    const int y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    const int h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2), ms = digits(text, 20, 3);
    if (!isValidCivilDate(y, mo, d) || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    const double unix
        = static_cast<double>(TimePoint::daysFromCivil(y, mo, d)) * 86400.0 + h * 3600 + mi * 60 + s + ms / 1000.0;
    return fromUnixSeconds(unix);
}

QString TimePoint::toIso8601(bool withFractionalSeconds) const
{
    if (withFractionalSeconds)
        return toDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
    // Whole seconds are cut, not rounded: 09:15:00.9996 is still 09:15:00.
    const TimePoint wholeSecond = fromUnixSeconds(std::floor(unixSeconds()));
    return wholeSecond.toDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

std::optional<TimePoint> TimePoint::fromIso8601(QStringView text, Fraction fraction)
{
    // yyyy-MM-ddTHH:mm:ss[.f+](Z|+hh:mm|+hhmm)
    if (text.size() < 20 || text[4] != u'-' || text[7] != u'-' || text[10] != u'T' || text[13] != u':'
        || text[16] != u':')
        return std::nullopt;
    for (qsizetype i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (text[i] < u'0' || text[i] > u'9')
            return std::nullopt;
    qsizetype pos = 19;
    double fractionSeconds = 0.0;
    bool hasFraction = false;
    if (pos < text.size() && text[pos] == u'.') {
        qsizetype end = pos + 1;
        while (end < text.size() && text[end] >= u'0' && text[end] <= u'9')
            ++end;
        const QStringView fractionDigits = text.mid(pos + 1, end - pos - 1);
        if (!allDigits(fractionDigits))
            return std::nullopt;
        fractionSeconds = QStringLiteral("0.%1").arg(fractionDigits).toDouble();
        hasFraction = true;
        pos = end;
    }
    if ((fraction == Fraction::Forbidden && hasFraction) || (fraction == Fraction::Required && !hasFraction))
        return std::nullopt;
    if (pos >= text.size())
        return std::nullopt;
    int offsetSeconds = 0;
    const QStringView zone = text.mid(pos);
    if (zone == u"Z") {
        offsetSeconds = 0;
    } else if (zone.size() == 6 && (zone[0] == u'+' || zone[0] == u'-') && zone[3] == u':' && allDigits(zone.mid(1, 2))
        && allDigits(zone.mid(4, 2))) {
        offsetSeconds = digits(zone, 1, 2) * 3600 + digits(zone, 4, 2) * 60;
        if (zone[0] == u'-')
            offsetSeconds = -offsetSeconds;
    } else if (zone.size() == 5 && (zone[0] == u'+' || zone[0] == u'-') && allDigits(zone.mid(1, 4))) {
        offsetSeconds = digits(zone, 1, 2) * 3600 + digits(zone, 3, 2) * 60;
        if (zone[0] == u'-')
            offsetSeconds = -offsetSeconds;
    } else {
        return std::nullopt;
    }
    const int y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    const int h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!isValidCivilDate(y, mo, d) || h > 23 || mi > 59 || s > 59 || std::abs(offsetSeconds) > 18 * 3600)
        return std::nullopt;
    const double unix = static_cast<double>(TimePoint::daysFromCivil(y, mo, d)) * 86400.0 + h * 3600 + mi * 60 + s
        + fractionSeconds - offsetSeconds;
    return fromUnixSecondsChecked(unix);
}

std::optional<TimePoint> TimePoint::fromJson(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    return fromReferenceSecondsChecked(value.toDouble());
}

bool TimePoint::isValidCivilDate(int y, int m, int d)
{
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1)
        return false;
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= lengths[m - 1] + (m == 2 && leap ? 1 : 0);
}

qint64 TimePoint::daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<qint64>(doe) - 719468;
}

const Clock &Clock::system()
{
    static const SystemClock clock;
    return clock;
}

std::optional<TimePoint> TimePoint::fromLooseDate(const QJsonValue &value, OutOfCalendar outOfCalendar)
{
    if (value.isDouble()) {
        constexpr double kMillisecondsThreshold = 1e10;
        double seconds = value.toDouble();
        if (seconds > kMillisecondsThreshold)
            seconds /= 1000.0;
        if (auto date = fromUnixSecondsChecked(seconds))
            return date;
        if (outOfCalendar == OutOfCalendar::Accept && std::isfinite(seconds))
            return fromUnixSeconds(seconds);
        return std::nullopt;
    }
    if (value.isString()) {
        const QString text = value.toString();
        if (auto date = fromIso8601(text, Fraction::Required))
            return date;
        return fromIso8601(text, Fraction::Forbidden);
    }
    return std::nullopt;
}
