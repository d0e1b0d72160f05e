#include "TestSupport.h"
#include "cloud/KeychainSessionStore.h"
#include "common/Json.h"

#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

BL_AuthSession fullSession()
{
    return BL_AuthSession {QStringLiteral("acc"), QStringLiteral("ref"), TimePoint::fromReferenceSeconds(789000000.25)};
}

QByteArray sessionBytes(const BL_AuthSession &session)
{
    return Json::write(session.toJson());
}

} // namespace

class TestKeychainSessionStore : public QObject
{
    Q_OBJECT

    MemorySecretBackend *m_secrets = nullptr;
    std::unique_ptr<KeychainSessionStore> makeStore()
    {
        auto backend = std::make_unique<MemorySecretBackend>();
        m_secrets = backend.get();
        return std::make_unique<KeychainSessionStore>(std::move(backend));
    }
    QString current() const { return KeychainSessionStore::defaultService() + QStringLiteral("|default-session"); }
    QString legacy() const { return KeychainSessionStore::defaultLegacyService() + QStringLiteral("|default-session"); }

private slots:
    void names()
    {
        QCOMPARE(KeychainSessionStore::defaultService(), QStringLiteral("com.tessaron.app.auth"));
        QVERIFY(KeychainSessionStore::defaultLegacyService() != KeychainSessionStore::defaultService());
    }

    void loadPrefersCurrentThenCopiesLegacy_data()
    {
        QTest::addColumn<QByteArray>("currentItem"); // empty: none
        QTest::addColumn<QByteArray>("legacyItem");
        QTest::addColumn<QString>("expectedToken"); // empty: nothing loaded
        QTest::addColumn<bool>("currentRewritten");
        const QByteArray legacySession = sessionBytes({QStringLiteral("old"), std::nullopt, std::nullopt});
        QTest::newRow("nothing stored") << QByteArray() << QByteArray() << QString() << false;
        QTest::newRow("only legacy") << QByteArray() << legacySession << "old" << true;
        QTest::newRow("both") << sessionBytes(fullSession()) << legacySession << "acc" << false;
        QTest::newRow("current unreadable") << QByteArray("{\"refreshToken\":\"r\"}") << legacySession << "old" << true;
        QTest::newRow("date as text") << QByteArray(R"({"accessToken":"a","expiresAt":"2026-01-01T00:00:00Z"})")
                                      << QByteArray() << QString() << false;
    }
    void loadPrefersCurrentThenCopiesLegacy()
    {
        QFETCH(QByteArray, currentItem);
        QFETCH(QByteArray, legacyItem);
        QFETCH(QString, expectedToken);
        QFETCH(bool, currentRewritten);
        auto store = makeStore();
        if (!currentItem.isEmpty())
            m_secrets->items.insert(current(), currentItem);
        if (!legacyItem.isEmpty())
            m_secrets->items.insert(legacy(), legacyItem);
        const auto loaded = store->load();
        QCOMPARE(loaded ? loaded->accessToken : QString(), expectedToken);
        if (currentRewritten)
            QCOMPARE(m_secrets->items.value(current()), legacyItem);
        else if (currentItem.isEmpty())
            QVERIFY(!m_secrets->items.contains(current()));
        QCOMPARE(m_secrets->items.value(legacy()), legacyItem); // the legacy item stays
    }

    void saveAddsOnceThenUpdates()
    {
        auto store = makeStore();
        QVERIFY(store->save({QStringLiteral("only"), std::nullopt, std::nullopt}).ok());
        QCOMPARE(
            QJsonDocument::fromJson(m_secrets->items.value(current())).object().keys(), QStringList {"accessToken"});
        QVERIFY(store->save(fullSession()).ok());
        QCOMPARE(m_secrets->addCount, 1);
        QCOMPARE(m_secrets->items.size(), 1);
        QCOMPARE(store->load(), std::optional<BL_AuthSession>(fullSession())); // the date survives exactly
    }

    void clearAndFailures()
    {
        auto store = makeStore();
        QVERIFY(store->clear().ok()); // nothing to remove
        m_secrets->items.insert(current(), sessionBytes(fullSession()));
        m_secrets->items.insert(legacy(), sessionBytes(fullSession()));
        QVERIFY(store->clear().ok());
        QVERIFY(m_secrets->items.isEmpty());

        m_secrets->failWith = SecretBackend::kTimedOut;
        QVERIFY(!store->load());
        const Result<void> saved = store->save(fullSession());
        QVERIFY(!saved.ok());
        QCOMPARE(saved.error().code, SecretBackend::kTimedOut);
        QCOMPARE(saved.error().domain, QString::fromLatin1(KeychainSessionStore::kErrorDomain));
        QVERIFY(saved.errorMessage().isEmpty());
        QCOMPARE(store->clear().error().code, SecretBackend::kTimedOut);
    }

    void missingKeyringNeverHangs()
    {
        // No D-Bus session (or no keyring on it): every job ends within its time-out.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        KeychainSessionStore store(std::make_unique<QtKeychainSecretBackend>(300));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!store.load());
        QVERIFY(!store.save(fullSession()).ok());
        QVERIFY(timer.elapsed() < 5000);
    }

    void realKeyringRoundTrip()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("dbus-run-session")).isEmpty())
            QSKIP("gnome-keyring or dbus-run-session is not installed");
        if (qEnvironmentVariableIsEmpty("TESSARON_IN_KEYRING_SESSION")) {
            // Runs this one case again inside a private session bus with an unlocked keyring.
            const QString script
                = QStringLiteral("echo -n test | gnome-keyring-daemon --unlock --components=secrets >/dev/null && "
                                 "TESSARON_IN_KEYRING_SESSION=1 '%1' realKeyringRoundTrip")
                      .arg(QCoreApplication::applicationFilePath());
            QProcess process;
            process.start(QStringLiteral("dbus-run-session"),
                {QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"), script});
            QVERIFY(process.waitForFinished(60000));
            QVERIFY2(process.exitCode() == 0, process.readAllStandardOutput() + process.readAllStandardError());
            return;
        }
        KeychainSessionStore store(std::make_unique<QtKeychainSecretBackend>(5000));
        QVERIFY(store.save(fullSession()).ok());
        QCOMPARE(store.load(), std::optional<BL_AuthSession>(fullSession()));
        QVERIFY(store.clear().ok());
        QVERIFY(!store.load());
    }
};

QTEST_GUILESS_MAIN(TestKeychainSessionStore)
#include "tst_keychainsessionstore.moc"
