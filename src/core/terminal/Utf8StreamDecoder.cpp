#include "Utf8StreamDecoder.h"

namespace {

// How many bytes at the end of `bytes` start a multi-byte sequence that the
// next piece may still complete; 0 when the end is complete or invalid anyway.
qsizetype incompleteTailLength(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    // A sequence is at most four bytes, so its lead byte is among the last three.
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(size - back));
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for the lead
        qsizetype expected = 0;
        if ((byte & 0xE0) == 0xC0)
            expected = 2;
        else if ((byte & 0xF0) == 0xE0)
            expected = 3;
        else if ((byte & 0xF8) == 0xF0)
            expected = 4;
        return expected > back ? back : 0;
    }
    return 0;
}

} // namespace

QString Utf8StreamDecoder::decode(const QByteArray &bytes)
{
    m_pending.append(bytes);
    const qsizetype keep = incompleteTailLength(m_pending);
    const QString text = QString::fromUtf8(m_pending.constData(), m_pending.size() - keep);
    m_pending = m_pending.right(keep);
    return text;
}

QString Utf8StreamDecoder::finish()
{
    const QString text = QString::fromUtf8(m_pending);
    m_pending.clear();
    return text;
}
