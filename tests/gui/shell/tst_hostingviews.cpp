#include "browser/WebContent.h"
#include "shell/HostingViews.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// A loopback page server that counts the requests per path.
class PageServer final : public QObject
{
public:
    PageServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray request = socket->readAll();
                    const QList<QByteArray> words = request.split(' ');
                    const QByteArray path = words.size() > 1 ? words.at(1) : QByteArray("/");
                    hits[QString::fromLatin1(path)] += 1;
                    const QByteArray body = "<html><head><title>" + path + "</title></head><body>page</body></html>";
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: "
                        + QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
    }
    QHash<QString, int> hits;

private:
    QTcpServer m_server;
};

} // namespace

class TestHostingViews final : public QObject
{
    Q_OBJECT

private slots:
    void simpleWebViewLoadsOnlyWhatItDoesNotShow()
    {
        PageServer server;
        SimpleWebView view;
        view.resize(400, 300);
        view.show();

        // Nothing parses: nothing is built or loaded.
        view.setUrlString(QString());
        view.setUrlString(QStringLiteral("not a url"));
        QCOMPARE(view.loadsStarted(), 0);
        QVERIFY(!view.content());

        view.setUrlString(server.url("/docs"));
        QVERIFY2(view.content(), qPrintable(view.engineError()));
        QTRY_COMPARE_WITH_TIMEOUT(server.hits.value("/docs"), 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 20000);
        QCOMPARE(view.currentUrl(), QUrl(server.url("/docs")));

        // The same address while it shows: no reload.
        view.setUrlString(server.url("/docs"));
        QCOMPARE(view.loadsStarted(), 1);
        QTest::qWait(300);
        QCOMPARE(server.hits.value("/docs"), 1);

        // After navigating away inside the view, the address loads again.
        view.content()->load(QUrl(server.url("/elsewhere")));
        QTRY_COMPARE_WITH_TIMEOUT(view.currentUrl(), QUrl(server.url("/elsewhere")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 20000);
        view.setUrlString(server.url("/docs"));
        QCOMPARE(view.loadsStarted(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(server.hits.value("/docs"), 2, 20000);
    }

    void simpleWebViewTimesOut()
    {
        // A server that accepts and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        SimpleWebView view;
        view.setLoadTimeoutMs(500);
        view.show();
        view.setUrlString(QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort()));
        QVERIFY2(view.content(), qPrintable(view.engineError()));
        QVERIFY(view.isLoading());
        QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 10000);
        QCOMPARE(SimpleWebView::loadTimeoutMs, 60000);
    }

    void middleClicksActOnceOnRelease()
    {
        QWidget window;
        window.resize(300, 100);
        int calls = 0;
        auto *chip = new QPushButton(QStringLiteral("tab 1"));
        auto *container = new MiddleClickContainer(
            chip, [&] { ++calls; }, &window);
        container->setGeometry(0, 0, 200, 40);
        int leftClicks = 0;
        QObject::connect(chip, &QPushButton::clicked, [&] { ++leftClicks; });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QPoint middle = chip->rect().center();
        QTest::mousePress(chip, Qt::MiddleButton, {}, middle);
        QCOMPARE(calls, 0); // not on press
        QTest::mouseRelease(chip, Qt::MiddleButton, {}, middle);
        QCOMPARE(calls, 1);
        QTest::mouseClick(chip, Qt::LeftButton, {}, middle);
        QTest::mouseClick(chip, Qt::RightButton, {}, middle);
        QCOMPARE(calls, 1);
        QCOMPARE(leftClicks, 1);

        // A release away from the view is no click.
        QTest::mousePress(chip, Qt::MiddleButton, {}, middle);
        QTest::mouseRelease(chip, Qt::MiddleButton, {}, QPoint(260, 80));
        QCOMPARE(calls, 1);

        // A new action replaces the old one.
        int newer = 0;
        container->setOnMiddleClick([&] { ++newer; });
        QTest::mouseClick(chip, Qt::MiddleButton, {}, middle);
        QCOMPARE(calls, 1);
        QCOMPARE(newer, 1);

        // Content added later is watched as well.
        auto *label = new QLabel(QStringLiteral("x"), chip);
        label->setGeometry(0, 0, 20, 20);
        label->show();
        QTest::mouseClick(label, Qt::MiddleButton, {}, QPoint(5, 5));
        QCOMPARE(newer, 2);
    }
};

QTEST_MAIN(TestHostingViews)
#include "tst_hostingviews.moc"
