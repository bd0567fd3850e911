// The news column fed from the portal, and the embedded page's new-window links.
// ctest-lock: content-ports
//
// The portal and content addresses are fixed at build time; PortForwarders on
// those ports put the test server behind them. The launcher version request
// is left unanswered so that no start-up box gets in the way.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "httptestserver.h"
#include "portforwarder.h"
#include "privatehome.h"
#include "services/mywebview.h"
#include "urlrecorder.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QtTest>

namespace
{

const QString homePath = QStringLiteral("/api.php/portal/Api/interface");
const QString listPath = QStringLiteral("/api.php/portal/Lists/getlist");

struct Row {
    QString title; // the title label's whole text (the link)
    QString date;
    bool operator==(const Row& o) const { return title == o.title && date == o.date; }
};
using Rows = QList<Row>;

// url and title as they must stand in the markup, escaped.
QString link(const QString& url, const QString& title)
{
    return QStringLiteral("<a href = \"%1\" style='text-decoration:none;color:#FFFFFF;"
                          "font-size:14pt'>%2</a>")
        .arg(url, title);
}

QByteArray item(const QString& title, const QString& date, const QString& url)
{
    return QStringLiteral("{\"post_title\":\"%1\",\"update_time\":\"%2\",\"url\":\"%3\"}")
        .arg(title, date, url)
        .toUtf8();
}

} // namespace

Q_DECLARE_METATYPE(Row)

namespace QTest
{
template <> char* toString(const Row& row)
{
    return qstrdup(qPrintable("{" + row.title + " | " + row.date + "}"));
}
} // namespace QTest

class TestNews : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void longTitleIsElidedAndLinksTheFullUrl();
    void newestAnswerWinsOverAnEarlierOneFinishingFirst();
    void newWindowLinkOpensHoveredAddressInBrowser();
    void newWindowOpensOnlyWebAddresses_data();
    void newWindowOpensOnlyWebAddresses();

private:
    Rows rows() const;
    QList<QLabel*> titleLabels() const;
    void click(const char* button);
    // Waits until the answer to the request of path has reached the window.
    bool settled(const QString& path, const Rows& expected);

    HttpTestServer server;
    PortForwarder* portal = nullptr;
    PortForwarder* contentA = nullptr;
    QScopedPointer<MainWindow> window;
    Rows homeRows;
};

void TestNews::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under xvfb-run)");
    QVERIFY(server.isListening());
    // Given up, the version request would end in a box that stops the suite.
    MainWindow::requestFirstDataTimeoutMs = MainWindow::requestDeadlineMs = 600000;
    portal = new PortForwarder(quint16(QUrl(channel::portalHost()).port()), server.port(), this);
    contentA =
        new PortForwarder(quint16(QUrl(channel::contentBaseA()).port()), server.port(), this);
    QVERIFY2(portal->isListening() && contentA->isListening(), "a fixed port is taken");
    homeRows = {{link("http://news.example/1", "First"), "2024-01-02"},
                {link("http://news.example/2?a=1&amp;b=2", "Second"), ""}};
}

void TestNews::init()
{
    server.clearRoutes();
    server.clearFaults();
    server.clearRequests();
    HttpTestServer::Fault silent;
    silent.delayMs = 600000;
    server.setFault(QUrl(channel::launcherVersionUrl(false)).path(), silent);
    server.setFile(homePath, "{\"data\":{\"list\":[" +
                                 item("First", "2024-01-02", "http://news.example/1") +
                                 ",{\"post_title\":\"Second\",\"update_time\":7,\"url\":"
                                 "\"http://news.example/2?a=1&b=2\"}]}}");
    // The constructor asks for the home list.
    window.reset(new MainWindow());
    QVERIFY(settled(homePath, homeRows));
    server.clearRequests();
}

void TestNews::cleanup()
{
    window.reset();
}

Rows TestNews::rows() const
{
    Rows result;
    auto* column = window->findChild<QVBoxLayout*>("verticalLayout");
    for (int i = 0; column && i < column->count(); ++i) {
        QLayout* row = column->itemAt(i)->layout();
        if (!row || row->count() == 0)
            continue;
        auto* title = qobject_cast<QLabel*>(row->itemAt(0)->widget());
        auto* date = qobject_cast<QLabel*>(row->itemAt(1)->widget());
        result << Row{title ? title->text() : "?", date ? date->text() : "?"};
    }
    return result;
}

QList<QLabel*> TestNews::titleLabels() const
{
    QList<QLabel*> labels;
    auto* column = window->findChild<QVBoxLayout*>("verticalLayout");
    for (int i = 0; column && i < column->count(); ++i) {
        if (QLayout* row = column->itemAt(i)->layout())
            labels << qobject_cast<QLabel*>(row->itemAt(0)->widget());
    }
    return labels;
}

void TestNews::click(const char* button)
{
    auto* tab = window->findChild<QPushButton*>(button);
    QVERIFY2(tab, button);
    tab->click();
}

bool TestNews::settled(const QString& path, const Rows& expected)
{
    if (!QTest::qWaitFor([&] { return !server.requests(path).isEmpty(); }, 10000))
        return false;
    if (rows() == expected)
        // Nothing is to change: give the answer time to arrive and be ignored.
        return !QTest::qWaitFor([&] { return rows() != expected; }, 500);
    return QTest::qWaitFor([&] { return rows() == expected; }, 10000);
}

void TestNews::answers_data()
{
    QTest::addColumn<QString>("tab");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<Rows>("expected"); // empty title "=": unchanged

    const Rows unchanged{{"=", "="}};
    const QByteArray one = item("新闻", "03-04", "http://n.example/x");
    const Rows oneRow{{link("http://n.example/x", "新闻"), "03-04"}};
    QTest::newRow("empty home list")
        << "HomePage" << homePath << QByteArray("{\"data\":{\"list\":[]}}") << 200 << Rows();
    QTest::newRow("notice") << "NoticePage" << listPath
                            << "{\"gonggao\":[" + one + "],\"zonghe\":[]}" << 200 << oneRow;
    QTest::newRow("synthesize") << "SynthesizePage" << listPath
                                << "{\"zonghe\":[" + one + "],\"gonggao\":[]}" << 200 << oneRow;
    QTest::newRow("strategy") << "StrategyPage" << listPath << "{\"gonglue\":[" + one + "]}" << 200
                              << oneRow;
    QTest::newRow("notice without gonggao")
        << "NoticePage" << listPath << "{\"zonghe\":[" + one + "]}" << 200 << unchanged;
    QTest::newRow("gonggao not an array")
        << "NoticePage" << listPath << QByteArray("{\"gonggao\":{}}") << 200 << unchanged;
    QTest::newRow("data not an object")
        << "HomePage" << homePath << QByteArray("{\"data\":[{\"list\":[]}]}") << 200 << unchanged;
    QTest::newRow("not JSON") << "HomePage" << homePath << QByteArray("{\"data\":") << 200
                              << unchanged;
    QTest::newRow("empty object") << "HomePage" << homePath << QByteArray("{}") << 200 << unchanged;
    QTest::newRow("server error") << "HomePage" << homePath
                                  << QByteArray("{\"data\":{\"list\":[]}}") << 500 << unchanged;
    QTest::newRow("non-object element")
        << "HomePage" << homePath << "{\"data\":{\"list\":[5," + one + "]}}" << 200
        << Rows{{link("", ""), ""}, oneRow.first()};
    // The portal's texts cannot add markup, and only web addresses link.
    QTest::newRow("markup in title and address")
        << "HomePage" << homePath
        << QByteArray(R"({"data":{"list":[{"post_title":"<b>x</b> & \"y\"","update_time":"1",)"
                      R"("url":"http://n.example/\" onclick=\"z"}]}})")
        << 200
        << Rows{{link("http://n.example/&quot; onclick=&quot;z",
                      "&lt;b&gt;x&lt;/b&gt; &amp; &quot;y&quot;"),
                 "1"}};
    QTest::newRow("local file address")
        << "HomePage" << homePath
        << "{\"data\":{\"list\":[" + item("新闻", "03-04", "file:///etc/passwd") + "]}}" << 200
        << Rows{{link("", "新闻"), "03-04"}};
    QTest::newRow("network share address")
        << "HomePage" << homePath
        << "{\"data\":{\"list\":[" + item("新闻", "03-04", "//server/share/x.exe") + "]}}" << 200
        << Rows{{link("", "新闻"), "03-04"}};
}

void TestNews::answers()
{
    QFETCH(QString, tab);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(Rows, expected);
    if (expected == Rows{{"=", "="}})
        expected = homeRows;
    server.setFile(path, body);
    if (status != 200) {
        HttpTestServer::Fault fault;
        fault.status = status;
        fault.body = body;
        server.setFault(path, fault);
    }
    click(tab.toLatin1().constData());
    QVERIFY(settled(path, expected));
    QCOMPARE(rows(), expected);
    // The emptied rows do not pile up in the column.
    QCOMPARE(window->findChild<QVBoxLayout*>("verticalLayout")->findChildren<QLayout*>().size(),
             expected.size());
}

void TestNews::longTitleIsElidedAndLinksTheFullUrl()
{
    const QString title = QString(60, QChar(0x95FB)) + "end";
    const QString url = "http://news.example/" + QString(300, 'u');
    server.setFile(homePath, "{\"data\":{\"list\":[" + item(title, "d", url) + "]}}");
    click("HomePage");
    QVERIFY(QTest::qWaitFor([&] { return rows().size() == 1 && rows() != homeRows; }, 10000));

    QLabel* label = titleLabels().value(0);
    QVERIFY(label);
    const QString text = label->text();
    QVERIFY2(text.startsWith("<a href = \"" + url + "\" style="), qPrintable(text));
    const QString shown = text.section('>', 1).section("</a>", 0, 0);
    QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
    QVERIFY(shown.size() < title.size());
    QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= 400);
    QCOMPARE(label->width(), 400);
}

void TestNews::newestAnswerWinsOverAnEarlierOneFinishingFirst()
{
    // The notice list answers first, while the home list, asked for right
    // after and so the one that counts, is half way in.
    server.setFile(listPath, "{\"gonggao\":[" + item("Old", "1", "http://o/1") + "]}");
    HttpTestServer::Fault late;
    late.delayMs = 400;
    server.setFault(listPath, late);
    const QByteArray home = "{\"pad\":\"" + QByteArray(800, '.') + "\",\"data\":{\"list\":[" +
                            item("New", "2", "http://n/2") + "]}}";
    server.setFile(homePath, home);
    HttpTestServer::Fault slow;
    slow.bytesPerSecond = 1000;
    server.setFault(homePath, slow);

    click("NoticePage");
    click("HomePage");
    const Rows expected{{link("http://n/2", "New"), "2"}};
    QVERIFY(QTest::qWaitFor([&] { return rows() == expected; }, 10000));
}

void TestNews::newWindowLinkOpensHoveredAddressInBrowser()
{
    const QString target = "http://127.0.0.1:9/news/7?from=launcher";
    const QString page = "<html><body style='margin:0'><a id='l' target='_blank' href='" + target +
                         "' style='position:absolute;left:0;top:0;width:100%;height:100%'>open</a>"
                         "</body></html>";
    UrlRecorder browser;
    QDesktopServices::setUrlHandler("http", &browser, "open");

    MyWebView view;
    QVERIFY(view.hoveredUrl.isEmpty());
    connect(view.page(), &QWebEnginePage::linkHovered, &view, &MyWebView::slot_LinkHovered);
    QSignalSpy loaded(&view, &QWebEngineView::loadFinished);
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.setHtml(page, QUrl("http://127.0.0.1:9/portal/"));
    QVERIFY(loaded.wait(20000));
    QVERIFY(loaded.first().first().toBool());
    const QUrl shown = view.url();

    QWidget* surface = view.focusProxy();
    QVERIFY(surface);
    const QPoint middle(200, 150);
    QTest::mouseMove(surface, middle);
    QTRY_COMPARE_WITH_TIMEOUT(view.hoveredUrl, QUrl(target), 10000);
    QTest::mouseClick(surface, Qt::LeftButton, Qt::NoModifier, middle);
    QTRY_COMPARE_WITH_TIMEOUT(browser.urls, QList<QUrl>{QUrl(target)}, 10000);
    QCOMPARE(view.url(), shown);

    QDesktopServices::unsetUrlHandler("http");
}

void TestNews::newWindowOpensOnlyWebAddresses_data()
{
    QTest::addColumn<QString>("hovered"); // the link text the page reports
    QTest::addColumn<QString>("opened");  // handed to the browser; empty: nothing
    QTest::newRow("http") << "http://127.0.0.1:9/a"
                          << "http://127.0.0.1:9/a";
    QTest::newRow("scheme in capitals") << "HTTPS://news.example/a"
                                        << "https://news.example/a";
    QTest::newRow("local file") << "file:///usr/bin/xterm"
                                << "";
    QTest::newRow("network share") << "smb://server/share/setup.exe"
                                   << "";
    QTest::newRow("script") << "javascript:alert(1)"
                            << "";
    QTest::newRow("no link hovered") << ""
                                     << "";
}

void TestNews::newWindowOpensOnlyWebAddresses()
{
    QFETCH(QString, hovered);
    QFETCH(QString, opened);
    struct View : MyWebView {
        using MyWebView::createWindow;
    };
    const QStringList schemes{"http", "https", "file", "smb", "javascript"};
    UrlRecorder browser;
    for (const QString& scheme : schemes)
        QDesktopServices::setUrlHandler(scheme, &browser, "open");
    View view;
    view.slot_LinkHovered(hovered);
    QCOMPARE(view.createWindow(QWebEnginePage::WebBrowserTab), nullptr);
    for (const QString& scheme : schemes)
        QDesktopServices::unsetUrlHandler(scheme);
    QCOMPARE(browser.urls, opened.isEmpty() ? QList<QUrl>() : QList<QUrl>{QUrl(opened)});
}

int main(int argc, char** argv)
{
    return runWithPrivateHome<TestNews>(argc, argv);
}

#include "tst_news.moc"
