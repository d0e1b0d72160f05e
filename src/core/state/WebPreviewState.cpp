#include "WebPreviewState.h"

#include "common/Text.h"
#include "common/UuidText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QStringDecoder>

namespace WebPreview {
namespace {

    // The file's text when it reads as UTF-8; nothing otherwise.
    std::optional<QString> readUtf8(const QString &path)
    {
        QFileInfo info(path);
        if (!info.isFile())
            return std::nullopt;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        // These are small text files; a large or special file is not one of them.
        const QByteArray bytes = file.read(1 << 20);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }

    QString fileIn(const QString &folder, const QString &name)
    {
        return existingFilePath(name, folder).value_or(QDir(folder).filePath(name));
    }

    // The rest of a "key: value" line after its first colon, trimmed of spaces
    // and tabs; nothing when the line has nothing after the colon.
    std::optional<QString> valueAfterColon(const QString &line)
    {
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            return std::nullopt;
        QString value = line.mid(colon + 1);
        qsizetype start = 0, end = value.size();
        while (start < end && (value[start] == u' ' || value[start] == u'\t'))
            ++start;
        while (end > start && (value[end - 1] == u' ' || value[end - 1] == u'\t'))
            --end;
        value = value.mid(start, end - start);
        if (value.isEmpty())
            return std::nullopt;
        return value;
    }

    QStringList splitLines(const QString &text)
    {
        QStringList lines;
        QString current;
        for (QChar c : text) {
            const char16_t u = c.unicode();
            if (u == u'\n' || u == u'\r' || u == 0x0B || u == 0x0C || u == 0x85 || u == 0x2028 || u == 0x2029) {
                lines.append(current);
                current.clear();
            } else {
                current.append(c);
            }
        }
        lines.append(current);
        return lines;
    }

} // namespace

QString devServerAddress(int port)
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port);
}

std::optional<int> parsePort(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    qsizetype start = (text[0] == u'+' || text[0] == u'-') ? 1 : 0;
    if (start == text.size())
        return std::nullopt;
    for (qsizetype i = start; i < text.size(); ++i)
        if (text[i] < u'0' || text[i] > u'9')
            return std::nullopt;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<QString> existingFilePath(const QString &name, const QString &folder)
{
    const QString exact = QDir(folder).filePath(name);
    if (QFileInfo::exists(exact))
        return exact;
    const QDir dir(folder);
    if (!dir.exists())
        return std::nullopt;
    const QStringList entries
        = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &entry : entries)
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return dir.filePath(entry);
    return std::nullopt;
}

std::optional<QString> devServerAddressFromWorkspaceFolder(const QString &rootPath)
{
    if (const auto portText = readUtf8(fileIn(rootPath, QStringLiteral(".devserver-port")))) {
        if (const auto port = parsePort(Text::trimmed(*portText)))
            return devServerAddress(*port);
    }
    const auto info = readUtf8(fileIn(rootPath, QStringLiteral("devServerInfo.md")));
    if (!info)
        return std::nullopt;
    const QStringList lines = splitLines(*info);
    // Only the first "url:" line counts; when it carries nothing after its
    // colon, the search goes on with the first "port:" line.
    for (const QString &line : lines) {
        if (!line.toLower().contains(QStringLiteral("url:")))
            continue;
        if (const auto address = valueAfterColon(line))
            return address;
        break;
    }
    for (const QString &line : lines) {
        if (!line.toLower().contains(QStringLiteral("port:")))
            continue;
        const auto value = valueAfterColon(line);
        if (!value)
            return std::nullopt;
        if (const auto port = parsePort(*value))
            return devServerAddress(*port);
        return std::nullopt;
    }
    return std::nullopt;
}

QString normalizedAddress(const QString &address)
{
    const QString trimmed = Text::trimmed(address);
    return trimmed.isEmpty() ? kDefaultAddress : trimmed;
}

QHash<QUuid, QString> loadPersistedAddresses(AppSettings &settings)
{
    std::optional<QHash<QString, QString>> stored;
    if (const auto current = settings.defaults().value(AppSettings::browserURLStateKey);
        current && current->isObject()) {
        QHash<QString, QString> dictionary;
        bool allText = true;
        const QJsonObject object = current->toObject();
        for (auto it = object.begin(); it != object.end() && allText; ++it) {
            allText = it.value().isString();
            dictionary.insert(it.key(), it.value().toString());
        }
        if (allText)
            stored = dictionary;
    }
    if (!stored)
        stored = settings.legacyDictionary(AppSettings::legacyBrowserURLStateKey);
    if (!stored)
        return {};
    QJsonObject rewritten;
    for (auto it = stored->begin(); it != stored->end(); ++it)
        rewritten.insert(it.key(), it.value());
    settings.defaults().setValue(AppSettings::browserURLStateKey, rewritten);

    QHash<QUuid, QString> addresses;
    for (auto it = stored->begin(); it != stored->end(); ++it) {
        const auto id = UuidText::parse(it.key());
        if (id && !it.value().isEmpty())
            addresses.insert(*id, it.value());
    }
    return addresses;
}

void persistAddresses(SettingsStore &defaults, const QHash<QUuid, QString> &addresses)
{
    QJsonObject object;
    for (auto it = addresses.begin(); it != addresses.end(); ++it)
        object.insert(UuidText::lower(it.key()), it.value());
    defaults.setValue(AppSettings::browserURLStateKey, object);
}

} // namespace WebPreview
