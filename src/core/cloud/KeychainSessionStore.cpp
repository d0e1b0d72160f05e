#include "KeychainSessionStore.h"

#include "common/Json.h"
#include "platform/AppPaths.h"

#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace {

QString itemKey(const QString &service, const QString &account)
{
    return service + u'|' + account;
}

int statusOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError:
        return SecretBackend::kSuccess;
    case QKeychain::EntryNotFound:
        return SecretBackend::kItemNotFound;
    default:
        return SecretBackend::kBackendFailureBase - int(error);
    }
}

// Starts the job and waits for it at most `timeoutMs` in a local event loop.
// `onFinished` reads the job's results while it still exists.
int runJob(QKeychain::Job *job, int timeoutMs, const std::function<void(QKeychain::Job *)> &onFinished = {})
{
    QEventLoop loop;
    auto status = std::make_shared<std::optional<int>>();
    const auto connection = QObject::connect(job, &QKeychain::Job::finished, &loop, [&, status](QKeychain::Job *done) {
        *status = statusOf(done->error());
        if (onFinished)
            onFinished(done);
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    job->start();
    if (!status->has_value())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    QObject::disconnect(connection);
    return status->value_or(SecretBackend::kTimedOut);
}

} // namespace

SecretBackend::ReadResult QtKeychainSecretBackend::read(const QString &service, const QString &account)
{
    auto *job = new QKeychain::ReadPasswordJob(service);
    job->setKey(account);
    job->setInsecureFallback(false);
    ReadResult result;
    result.status = runJob(job, m_timeoutMs, [&result](QKeychain::Job *done) {
        result.data = static_cast<QKeychain::ReadPasswordJob *>(done)->binaryData();
    });
    return result;
}

int QtKeychainSecretBackend::update(const QString &service, const QString &account, const QByteArray &data)
{
    // The keyring replaces an item in place on write.
    return add(service, account, data);
}

int QtKeychainSecretBackend::add(const QString &service, const QString &account, const QByteArray &data)
{
    auto *job = new QKeychain::WritePasswordJob(service);
    job->setKey(account);
    job->setInsecureFallback(false);
    job->setBinaryData(data);
    return runJob(job, m_timeoutMs);
}

int QtKeychainSecretBackend::remove(const QString &service, const QString &account)
{
    auto *job = new QKeychain::DeletePasswordJob(service);
    job->setKey(account);
    job->setInsecureFallback(false);
    return runJob(job, m_timeoutMs);
}

SecretBackend::ReadResult MemorySecretBackend::read(const QString &service, const QString &account)
{
    if (failWith)
        return {failWith, {}};
    const auto it = items.constFind(itemKey(service, account));
    if (it == items.constEnd())
        return {kItemNotFound, {}};
    return {kSuccess, *it};
}

int MemorySecretBackend::update(const QString &service, const QString &account, const QByteArray &data)
{
    if (failWith)
        return failWith;
    const auto it = items.find(itemKey(service, account));
    if (it == items.end())
        return kItemNotFound;
    *it = data;
    return kSuccess;
}

int MemorySecretBackend::add(const QString &service, const QString &account, const QByteArray &data)
{
    if (failWith)
        return failWith;
    items.insert(itemKey(service, account), data);
    ++addCount;
    return kSuccess;
}

int MemorySecretBackend::remove(const QString &service, const QString &account)
{
    if (failWith)
        return failWith;
    return items.remove(itemKey(service, account)) ? kSuccess : kItemNotFound;
}

QString KeychainSessionStore::defaultService()
{
    return QString::fromLatin1(AppPaths::kBundleIdentifier) + QStringLiteral(".auth");
}

QString KeychainSessionStore::defaultLegacyService()
{
    return QStringLiteral("com.quillstead.app.auth");
}

KeychainSessionStore::KeychainSessionStore(
    std::unique_ptr<SecretBackend> backend, QString service, QString legacyService)
    : m_backend(std::move(backend)), m_service(std::move(service)), m_legacyService(std::move(legacyService))
{
}

Error KeychainSessionStore::statusError(int status)
{
    return Error::make(QString::fromLatin1(kErrorDomain), status, QString());
}

std::optional<BL_AuthSession> KeychainSessionStore::load(const QString &service)
{
    const SecretBackend::ReadResult read = m_backend->read(service, kAccount);
    if (read.status != SecretBackend::kSuccess)
        return std::nullopt;
    const auto object = Json::parseObject(read.data);
    if (!object)
        return std::nullopt;
    Result<BL_AuthSession> session = BL_AuthSession::fromJson(*object);
    if (!session)
        return std::nullopt;
    return session.value();
}

std::optional<BL_AuthSession> KeychainSessionStore::load()
{
    if (auto current = load(m_service))
        return current;
    auto legacy = load(m_legacyService);
    if (legacy)
        save(*legacy); // tried again on the next launch when it fails
    return legacy;
}

Result<void> KeychainSessionStore::save(const BL_AuthSession &session)
{
    const QByteArray data = Json::write(session.toJson());
    const int updated = m_backend->update(m_service, kAccount, data);
    if (updated == SecretBackend::kSuccess)
        return Result<void>::success();
    if (updated != SecretBackend::kItemNotFound)
        return statusError(updated);
    const int added = m_backend->add(m_service, kAccount, data);
    if (added != SecretBackend::kSuccess)
        return statusError(added);
    return Result<void>::success();
}

Result<void> KeychainSessionStore::clear(const QString &service)
{
    const int status = m_backend->remove(service, kAccount);
    if (status == SecretBackend::kSuccess || status == SecretBackend::kItemNotFound)
        return Result<void>::success();
    return statusError(status);
}

Result<void> KeychainSessionStore::clear()
{
    if (Result<void> current = clear(m_service); !current)
        return current;
    return clear(m_legacyService);
}
