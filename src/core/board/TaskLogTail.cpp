#include "board/TaskLogTail.h"

#include "common/Text.h"

#include <QCache>
#include <QFile>
#include <QMutex>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <sys/stat.h>

namespace TaskLogTail {

namespace {

    // An incremental UTF-8 check (RFC 3629: no overlong forms, no surrogates,
    // nothing above U+10FFFF).
    class Utf8Check
    {
    public:
        bool feed(const char *data, qsizetype size)
        {
            for (qsizetype i = 0; i < size; ++i) {
                const auto byte = static_cast<unsigned char>(data[i]);
                if (m_needed == 0) {
                    if (byte < 0x80)
                        continue;
                    if (byte >= 0xC2 && byte <= 0xDF) {
                        m_needed = 1;
                        m_low = 0x80, m_high = 0xBF;
                    } else if (byte >= 0xE0 && byte <= 0xEF) {
                        m_needed = 2;
                        m_low = byte == 0xE0 ? 0xA0 : 0x80;
                        m_high = byte == 0xED ? 0x9F : 0xBF;
                    } else if (byte >= 0xF0 && byte <= 0xF4) {
                        m_needed = 3;
                        m_low = byte == 0xF0 ? 0x90 : 0x80;
                        m_high = byte == 0xF4 ? 0x8F : 0xBF;
                    } else {
                        return m_valid = false;
                    }
                    continue;
                }
                if (byte < m_low || byte > m_high)
                    return m_valid = false;
                m_low = 0x80, m_high = 0xBF;
                --m_needed;
            }
            return m_valid;
        }
        bool complete() const { return m_valid && m_needed == 0; }

    private:
        int m_needed = 0;
        unsigned char m_low = 0x80, m_high = 0xBF;
        bool m_valid = true;
    };

    bool isAsciiSpace(unsigned char byte)
    {
        return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
    }

    bool startsWithRegionalIndicator(const QString &text)
    {
        if (text.size() < 2 || !text.at(0).isHighSurrogate())
            return false;
        const char32_t codePoint = QChar::surrogateToUcs4(text.at(0), text.at(1));
        return codePoint >= 0x1F1E6 && codePoint <= 0x1F1FF;
    }

    // The start of the last `count` graphemes, or -1 when the text has fewer
    // than `count + extra` of them.
    qsizetype startOfLastGraphemes(const QString &text, qsizetype count, qsizetype extra)
    {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        finder.toEnd();
        qsizetype seen = 0;
        qsizetype cut = -1;
        while (finder.toPreviousBoundary() >= 0) {
            ++seen;
            if (seen == count)
                cut = finder.position();
            if (seen >= count + extra)
                return cut;
        }
        return -1;
    }

} // namespace

std::optional<QString> fromText(const QString &text, qsizetype maxCharacters)
{
    const QString trimmed = Text::trimmed(text);
    if (trimmed.isEmpty())
        return std::nullopt;
    const qsizetype cut = startOfLastGraphemes(trimmed, maxCharacters, 1);
    if (cut < 0)
        return trimmed;
    return kEllipsis + trimmed.mid(cut);
}

std::optional<QString> read(const QString &path, qsizetype maxCharacters, qsizetype initialWindowBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;

    // One pass: the UTF-8 check of every byte, and where the last byte that
    // is not ASCII white space ends (later bytes are trimmed away anyway).
    Utf8Check check;
    qint64 offset = 0;
    qint64 contentEnd = 0;
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        if (!check.feed(chunk.constData(), n))
            return std::nullopt;
        for (qint64 i = n - 1; i >= 0; --i) {
            if (!isAsciiSpace(static_cast<unsigned char>(chunk.at(i)))) {
                contentEnd = offset + i + 1;
                break;
            }
        }
        offset += n;
    }
    if (!check.complete())
        return std::nullopt;

    for (qint64 window = std::max<qint64>(initialWindowBytes, 16);; window *= 4) {
        qint64 start = std::max<qint64>(0, contentEnd - window);
        if (!file.seek(start))
            return std::nullopt;
        QByteArray bytes = file.read(contentEnd - start);
        if (bytes.size() != contentEnd - start)
            return std::nullopt;
        // Begin on a character: skip continuation bytes at the window's front.
        qsizetype skip = 0;
        while (start > 0 && skip < bytes.size() && (static_cast<unsigned char>(bytes.at(skip)) & 0xC0) == 0x80)
            ++skip;
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(QByteArrayView(bytes).sliced(skip));
        if (start == 0)
            return fromText(text, maxCharacters);
        // Inside the file: the window's first character may be part of a
        // longer one, and a run of flag letters pairs up from its start, so
        // keep a spare character and no flag letter at the front.
        const QString trimmed = Text::trimmed(text);
        const qsizetype cut = startOfLastGraphemes(trimmed, maxCharacters, 2);
        if (cut >= 0 && !startsWithRegionalIndicator(trimmed))
            return kEllipsis + trimmed.mid(cut);
    }
}

std::optional<QString> readCached(const QString &path, qsizetype maxCharacters)
{
    struct Entry
    {
        qint64 size;
        qint64 changedNs;
        quint64 inode;
        qsizetype maxCharacters;
        std::optional<QString> tail;
    };
    static QMutex mutex;
    static QCache<QString, Entry> cache(512);

    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    const qint64 changedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    {
        QMutexLocker lock(&mutex);
        if (const Entry *entry = cache.object(path)) {
            if (entry->size == info.st_size && entry->changedNs == changedNs && entry->inode == info.st_ino
                && entry->maxCharacters == maxCharacters)
                return entry->tail;
        }
    }
    const std::optional<QString> tail = read(path, maxCharacters);
    QMutexLocker lock(&mutex);
    cache.insert(path, new Entry {qint64(info.st_size), changedNs, quint64(info.st_ino), maxCharacters, tail});
    return tail;
}

} // namespace TaskLogTail
