#pragma once

#include <QByteArray>
#include <functional>
#include <optional>

// The machine's memory as the worker capacity card shows it.
struct MemorySnapshot
{
    double systemAvailableGB = 0; // units of 2^30 bytes
    double usedPercent = 0; // 0 to 100

    friend bool operator==(const MemorySnapshot &, const MemorySnapshot &) = default;
};

// The raw figures a sample is computed from: physical memory in bytes, the
// page size and the free, inactive and speculative page counts.
struct MemoryFigures
{
    quint64 physicalBytes = 0;
    quint64 pageSize = 0;
    quint64 freePages = 0;
    quint64 inactivePages = 0;
    quint64 speculativePages = 0;
};

namespace MemoryFiguresReader {

// The figures from the text of /proc/meminfo and a page size: MemTotal is
// the physical memory, MemFree the free pages, Inactive the inactive pages,
// no speculative pages. None when MemTotal or MemFree is missing or the page
// size is 0.
std::optional<MemoryFigures> fromMeminfo(const QByteArray &meminfo, quint64 pageSize);

// Reads /proc/meminfo and sysconf(_SC_PAGESIZE).
std::optional<MemoryFigures> system();

// The sample: available = page size x (free + inactive + speculative),
// capped at the physical memory; none for zero physical memory or missing
// figures.
std::optional<MemorySnapshot> snapshot(const std::optional<MemoryFigures> &figures);

} // namespace MemoryFiguresReader
