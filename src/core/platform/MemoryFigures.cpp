#include "MemoryFigures.h"

#include <QFile>
#include <QList>
#include <limits>
#include <unistd.h>

namespace MemoryFiguresReader {

namespace {

    // Saturating arithmetic: figures never wrap around.
    quint64 addSaturating(quint64 a, quint64 b)
    {
        return a > std::numeric_limits<quint64>::max() - b ? std::numeric_limits<quint64>::max() : a + b;
    }

    std::optional<quint64> kilobytesLine(const QByteArray &meminfo, const QByteArray &key)
    {
        for (const QByteArray &line : meminfo.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || line.left(colon).trimmed() != key)
                continue;
            QByteArray value = line.mid(colon + 1).trimmed();
            quint64 factor = 1;
            if (value.endsWith(" kB")) {
                value.chop(3);
                factor = 1024;
            }
            bool ok = false;
            const quint64 number = value.trimmed().toULongLong(&ok);
            if (!ok)
                return std::nullopt;
            if (number > std::numeric_limits<quint64>::max() / factor)
                return std::numeric_limits<quint64>::max();
            return number * factor;
        }
        return std::nullopt;
    }

} // namespace

std::optional<MemoryFigures> fromMeminfo(const QByteArray &meminfo, quint64 pageSize)
{
    if (pageSize == 0)
        return std::nullopt;
    const auto total = kilobytesLine(meminfo, "MemTotal");
    const auto free = kilobytesLine(meminfo, "MemFree");
    if (!total || !free)
        return std::nullopt;
    MemoryFigures figures;
    figures.physicalBytes = *total;
    figures.pageSize = pageSize;
    figures.freePages = *free / pageSize;
    figures.inactivePages = kilobytesLine(meminfo, "Inactive").value_or(0) / pageSize;
    figures.speculativePages = 0;
    return figures;
}

std::optional<MemoryFigures> system()
{
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return std::nullopt;
    return fromMeminfo(file.readAll(), quint64(pageSize));
}

std::optional<MemorySnapshot> snapshot(const std::optional<MemoryFigures> &figures)
{
    if (!figures || figures->physicalBytes == 0 || figures->pageSize == 0)
        return std::nullopt;
    const quint64 pages
        = addSaturating(addSaturating(figures->freePages, figures->inactivePages), figures->speculativePages);
    const double physical = double(figures->physicalBytes);
    const double available = std::min(double(figures->pageSize) * double(pages), physical);
    MemorySnapshot sample;
    sample.systemAvailableGB = available / 1073741824.0;
    sample.usedPercent = std::max(physical - available, 0.0) / physical * 100.0;
    return sample;
}

} // namespace MemoryFiguresReader
