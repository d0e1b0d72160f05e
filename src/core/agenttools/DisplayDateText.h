#pragma once

#include "common/TimePoint.h"

#include <QLocale>
#include <QString>

// A moment as the agent-tool pages show it: the locale's numeric date, then
// its time with hours, minutes and seconds, in the local time zone
// ("3/4/25, 10:20:30 AM" in American English).
QString numericDateStandardTimeText(const TimePoint &time, const QLocale &locale = QLocale());
