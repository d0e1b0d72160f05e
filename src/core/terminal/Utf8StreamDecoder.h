#pragma once

#include <QByteArray>
#include <QString>

// Decodes a byte stream that arrives in pieces as UTF-8. A character split
// across two pieces comes out whole; invalid bytes become U+FFFD, as does a
// sequence still incomplete when the stream ends.
class Utf8StreamDecoder
{
public:
    QString decode(const QByteArray &bytes);
    // The stream has ended: whatever is held back comes out (repaired).
    QString finish();

private:
    QByteArray m_pending;
};
