#include "TestSupport.h"
#include "common/UuidText.h"
#include "platform/SettingsStore.h"
#include "state/AppSettings.h"
#include "state/WebPreviewController.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using Field = WebPreviewController::Field;

class WebPreviewControllerTest : public QObject
{
    Q_OBJECT

    MemorySettingsStore m_defaults;
    QList<Field> m_changes;

    std::unique_ptr<WebPreviewController> make(QHash<QUuid, QString> addresses = {})
    {
        m_changes.clear();
        return std::make_unique<WebPreviewController>(
            m_defaults, std::move(addresses), [this](Field field) { m_changes.append(field); });
    }

private slots:
    // Each field is reported when it changed, and only then.
    void reportsOnlyChanges()
    {
        auto preview = make();
        const QUuid id = QUuid::createUuid();
        const QUuid other = QUuid::createUuid();
        preview->setSidebarVisible(true, id);
        preview->setSidebarVisible(true, id);
        preview->setURL(QStringLiteral("  http://localhost:5173 "), id);
        preview->setURL(QStringLiteral("http://localhost:5173"), id);
        QVERIFY(preview->requestRefreshIfVisible(id));
        QVERIFY(!preview->requestRefreshIfVisible(other)); // not shown: nothing to reload
        QVERIFY(!preview->requestRefreshIfVisible(std::nullopt));
        preview->toggleSidebar(id);
        QCOMPARE(m_changes,
            (QList<Field> {Field::sidebarEnabledProjectIDs, Field::urlByProjectID, Field::refreshTokenByProjectID,
                Field::sidebarEnabledProjectIDs}));
        QCOMPARE(preview->urlByProjectID().value(id), QStringLiteral("http://localhost:5173"));
        QCOMPARE(preview->refreshTokenByProjectID().value(id), 1);
        QVERIFY(!preview->isSidebarVisible(id));
    }

    // The folder's announcement wins over the remembered address, which wins
    // over the default; a workspace not in the list has no folder to ask.
    void addressOrder()
    {
        QTemporaryDir folder;
        const QUuid announcing = QUuid::createUuid();
        const QUuid remembered = QUuid::createUuid();
        QFile port(QDir(folder.path()).filePath(QStringLiteral(".devserver-port")));
        QVERIFY(port.open(QIODevice::WriteOnly));
        port.write("5173\n");
        port.close();
        auto preview
            = make({{announcing, QStringLiteral("http://ignored")}, {remembered, QStringLiteral("http://kept")}});
        const TimePoint now = TimePoint::now();
        const QList<BL_Workspace> workspaces {
            BL_Workspace {announcing, std::nullopt, QStringLiteral("A"), folder.path(), now, now}};
        QCOMPARE(preview->url(announcing, workspaces), QStringLiteral("http://127.0.0.1:5173/"));
        QCOMPARE(preview->url(remembered, workspaces), QStringLiteral("http://kept"));
        QCOMPARE(preview->url(QUuid::createUuid(), workspaces), QStringLiteral("http://localhost:3000"));
    }

    // Addresses are written to the settings on every change and when a
    // workspace is forgotten; forgetting says which fields changed.
    void addressesPersistAndForget()
    {
        auto preview = make();
        const QUuid id = QUuid::createUuid();
        preview->setURL(QStringLiteral("http://localhost:8080"), id);
        preview->setSidebarVisible(true, id);
        const auto stored = [&] { return m_defaults.value(AppSettings::browserURLStateKey).value_or(QJsonValue()); };
        QCOMPARE(stored().toObject().value(UuidText::lower(id)).toString(), QStringLiteral("http://localhost:8080"));

        m_changes.clear();
        QCOMPARE(preview->forgetProject(id), (QList<Field> {Field::sidebarEnabledProjectIDs, Field::urlByProjectID}));
        QVERIFY(m_changes.isEmpty()); // the caller reports them
        QVERIFY(stored().toObject().isEmpty());
        QVERIFY(preview->forgetProject(id).isEmpty());
    }
};

QTEST_GUILESS_MAIN(WebPreviewControllerTest)
#include "tst_webpreviewcontroller.moc"
