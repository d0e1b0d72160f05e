#pragma once

#include "cloud/AuthSessionStore.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <memory>

// The secret storage under the session store: one secret per service and
// account. Results are keychain result codes: 0 for success,
// `kItemNotFound` for a missing item, anything else for a failure.
class SecretBackend
{
public:
    static constexpr int kSuccess = 0;
    static constexpr int kItemNotFound = -25300;
    static constexpr int kTimedOut = -25318; // the keyring did not answer in time
    static constexpr int kBackendFailureBase = -26000; // minus the backend's own error number

    struct ReadResult
    {
        int status = kItemNotFound;
        QByteArray data;
    };

    virtual ~SecretBackend() = default;
    virtual ReadResult read(const QString &service, const QString &account) = 0;
    // Replaces the data of an existing item; `kItemNotFound` when there is none.
    virtual int update(const QString &service, const QString &account, const QByteArray &data) = 0;
    virtual int add(const QString &service, const QString &account, const QByteArray &data) = 0;
    virtual int remove(const QString &service, const QString &account) = 0;
};

// The user's keyring through QtKeychain (the Secret Service on Linux). Each
// job is awaited for at most `timeoutMs`, so a missing or locked keyring
// never holds up the caller for longer; a job that times out reports
// `kTimedOut` and is left to finish on its own.
class QtKeychainSecretBackend final : public SecretBackend
{
public:
    explicit QtKeychainSecretBackend(int timeoutMs = 5000) : m_timeoutMs(timeoutMs) { }
    ReadResult read(const QString &service, const QString &account) override;
    int update(const QString &service, const QString &account, const QByteArray &data) override;
    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int remove(const QString &service, const QString &account) override;

private:
    int m_timeoutMs;
};

// Secrets in memory, for tests; `failWith` makes every call fail.
class MemorySecretBackend final : public SecretBackend
{
public:
    ReadResult read(const QString &service, const QString &account) override;
    int update(const QString &service, const QString &account, const QByteArray &data) override;
    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int remove(const QString &service, const QString &account) override;

    QHash<QString, QByteArray> items; // "<service>|<account>" -> data
    int addCount = 0;
    int failWith = 0;
};

// The signed-in backend session as one secret: the session's JSON (dates as
// seconds since 2001) under service `service()` and account
// "default-session". A session kept by the older product under its own
// service is read when the current one is missing and copied over.
//
// Failures of save() and clear() carry the keychain result code as
// `Error::code` in domain `kErrorDomain` and no message of their own.
class KeychainSessionStore final : public AuthSessionStore
{
public:
    static constexpr const char *kErrorDomain = "KeychainStoreError.status";
    static QString defaultService(); // "<bundle identifier>.auth"
    static QString defaultLegacyService(); // the older product's
    static inline const QString kAccount = QStringLiteral("default-session");

    explicit KeychainSessionStore(std::unique_ptr<SecretBackend> backend, QString service = defaultService(),
        QString legacyService = defaultLegacyService());

    std::optional<BL_AuthSession> load() override;
    Result<void> save(const BL_AuthSession &session) override;
    Result<void> clear() override;

    const QString &service() const { return m_service; }
    const QString &legacyService() const { return m_legacyService; }
    SecretBackend &backend() { return *m_backend; }

private:
    std::optional<BL_AuthSession> load(const QString &service);
    Result<void> clear(const QString &service);
    static Error statusError(int status);

    std::unique_ptr<SecretBackend> m_backend;
    QString m_service;
    QString m_legacyService;
};
