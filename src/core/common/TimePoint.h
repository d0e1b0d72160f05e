#pragma once

#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <compare>
#include <optional>

// A moment in time as the system stores it: double seconds since
// 2001-01-01 00:00:00 UTC. Keeps sub-millisecond precision, so a value read
// from JSON is written back to the same number.
class TimePoint
{
public:
    static constexpr double kUnixOffset = 978307200.0; // Unix seconds at 2001-01-01

    constexpr TimePoint() = default;
    static constexpr TimePoint fromReferenceSeconds(double seconds) { return TimePoint(seconds); }
    static constexpr TimePoint fromUnixSeconds(double seconds) { return TimePoint(seconds - kUnixOffset); }
    // Nothing for a value that is not finite or lies outside years 1 to 9999.
    static std::optional<TimePoint> fromReferenceSecondsChecked(double seconds);
    static std::optional<TimePoint> fromUnixSecondsChecked(double seconds);
    static TimePoint fromDateTime(const QDateTime &dateTime);
    static TimePoint now();

    constexpr double referenceSeconds() const { return m_seconds; }
    constexpr double unixSeconds() const { return m_seconds + kUnixOffset; }
    QDateTime toDateTime() const; // UTC, milliseconds

    TimePoint addSeconds(double seconds) const { return TimePoint(m_seconds + seconds); }
    double secondsSince(const TimePoint &other) const { return m_seconds - other.m_seconds; }

    // Database text "yyyy-MM-dd HH:mm:ss.SSS" in UTC.
    QString toDatabaseText() const;
    static std::optional<TimePoint> fromDatabaseText(QStringView text);

    // ISO 8601 internet date-time. Writing gives UTC with "Z", whole seconds
    // unless fractional seconds are asked for (then three digits).
    enum class Fraction { Forbidden, Required, Optional };
    QString toIso8601(bool withFractionalSeconds = false) const;
    // Strict: full date with dashes, "T", time with colons and seconds, then
    // "Z" or a numeric offset (+hh:mm or +hhmm). Fraction as asked.
    static std::optional<TimePoint> fromIso8601(QStringView text, Fraction fraction = Fraction::Optional);

    // Calendar helpers (proleptic Gregorian, UTC): whether a date exists in
    // years 1 to 9999, and the days from 1970-01-01 to it.
    static bool isValidCivilDate(int year, int month, int day);
    static qint64 daysFromCivil(qint64 year, unsigned month, unsigned day);

    // A date as task files and peers write it: a JSON number of Unix seconds
    // (one above 1e10 is read as milliseconds), or ISO 8601 text with or
    // without fractional seconds; nothing for anything else. A number outside
    // years 1 to 9999 is refused, unless `outOfCalendar` accepts it (a finite
    // number still names an instant, as the client-node wire reads it).
    enum class OutOfCalendar { Refuse, Accept };
    static std::optional<TimePoint> fromLooseDate(
        const QJsonValue &value, OutOfCalendar outOfCalendar = OutOfCalendar::Refuse);

    // JSON number of reference seconds; nothing for anything else.
    QJsonValue toJson() const { return QJsonValue(m_seconds); }
    static std::optional<TimePoint> fromJson(const QJsonValue &value);

    friend constexpr auto operator<=>(const TimePoint &, const TimePoint &) = default;
    friend constexpr bool operator==(const TimePoint &, const TimePoint &) = default;

private:
    explicit constexpr TimePoint(double seconds) : m_seconds(seconds) { }
    double m_seconds = 0.0;
};

// Something that tells the time; tests pin it.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    static const Clock &system();
};
