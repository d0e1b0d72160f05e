#include "platform/FreedesktopNotificationCenter.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kApplicationName = QStringLiteral("Tessaron");
// Identifiers remembered for replacement; older ones are forgotten.
constexpr qsizetype kRememberedIdentifiers = 1000;

QString errorText(const QDBusError &error)
{
    if (!error.message().isEmpty())
        return error.message();
    if (!error.name().isEmpty())
        return error.name();
    return QStringLiteral("The notification service did not answer");
}

} // namespace

FreedesktopNotificationCenter::FreedesktopNotificationCenter(const QDBusConnection &connection, QObject *parent)
    : QObject(parent), m_connection(connection)
{
}

FreedesktopNotificationCenter::~FreedesktopNotificationCenter() = default;

bool FreedesktopNotificationCenter::reportIfDisconnected(const std::function<void(const QString &)> &fail)
{
    if (m_connection.isConnected())
        return false;
    QString reason = m_connection.lastError().isValid() ? errorText(m_connection.lastError())
                                                        : QStringLiteral("No D-Bus session bus is available");
    // Handlers always run later, as they do when the service answers.
    QMetaObject::invokeMethod(
        this, [fail, reason] { fail(reason); }, Qt::QueuedConnection);
    return true;
}

void FreedesktopNotificationCenter::requestAuthorization(AuthorizationHandler done)
{
    if (reportIfDisconnected([done](const QString &reason) { done(false, reason); }))
        return;
    const QDBusMessage call
        = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        const QDBusPendingReply<QStringList> reply = *finished;
        if (reply.isError())
            done(false, errorText(reply.error()));
        else
            done(true, std::nullopt);
    });
}

void FreedesktopNotificationCenter::add(const UserNotificationRequest &request, AddHandler done)
{
    if (reportIfDisconnected([done](const QString &reason) { done(reason); }))
        return;
    QVariantMap hints;
    if (request.playsDefaultSound)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << kApplicationName << m_serviceIDs.value(request.identifier, 0u) << QString() << request.title << request.body
         << QStringList() << hints << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(call, kCallTimeoutMs), this);
    const QString identifier = request.identifier;
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this, done, identifier](QDBusPendingCallWatcher *finished) {
            finished->deleteLater();
            const QDBusPendingReply<uint> reply = *finished;
            if (reply.isError()) {
                done(errorText(reply.error()));
                return;
            }
            if (m_serviceIDs.size() >= kRememberedIdentifiers && !m_serviceIDs.contains(identifier))
                m_serviceIDs.clear();
            m_serviceIDs.insert(identifier, reply.value());
            done(std::nullopt);
        });
}
