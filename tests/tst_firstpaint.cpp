// The window comes up before the browser engine: the embedded page is set up
// after the first paint, and the start-up leaves the same traces as before.
// ctest-lock: content-ports
#include "app/channel.h"
#include "app/mainwindow.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "portforwarder.h"
#include "services/mywebview.h"

#include <QTemporaryDir>
#include <QWebEngineView>
#include <QtTest>

namespace
{
// Notes whether the embedded page existed when the window was first painted.
class PaintProbe : public QObject
{
public:
    explicit PaintProbe(QWidget* window) : window(window) { window->installEventFilter(this); }
    bool painted = false;
    bool pageAtFirstPaint = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == window && event->type() == QEvent::Paint && !painted) {
            painted = true;
            pageAtFirstPaint = !window->findChildren<MyWebView*>().isEmpty();
        }
        return false;
    }

private:
    QWidget* window;
};

QStringList logTexts(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList texts;
    // Each line is "yyyy-MM-dd hh:mm:ss: text". Boxes without a window
    // manager to focus them draw X errors, which are not the launcher's.
    for (const QString& line : QString::fromLocal8Bit(file.readAll()).split('\n'))
        if (!line.isEmpty() && !line.contains("QXcbConnection: XCB error"))
            texts << line.mid(21);
    return texts;
}
} // namespace

class TestFirstPaint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pageAfterFirstPaint_data();
    void pageAfterFirstPaint();

private:
    QString oldDir;
    HttpTestServer server;
    PortForwarder* portal = nullptr;
    const QUrl pageUrl = QUrl::fromUserInput(channel::embeddedPage(MainWindow::STM));
};

void TestFirstPaint::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under xvfb-run)");
    oldDir = QDir::currentPath();
    // The portal serves the page; the content ports stay closed.
    QVERIFY(server.isListening());
    portal = new PortForwarder(quint16(pageUrl.port()), server.port(), this);
    QVERIFY2(portal->isListening(), "the portal port is taken");
    server.setFile(pageUrl.path(), "portal");
    // The engine then says so as it starts: a message that must not reach log.txt.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

void TestFirstPaint::cleanupTestCase()
{
    QDir::setCurrent(oldDir);
}

void TestFirstPaint::pageAfterFirstPaint_data()
{
    QTest::addColumn<bool>("shown");
    // The first row starts the browser engine of this process.
    QTest::newRow("shown") << true;
    QTest::newRow("never shown") << false;
}

void TestFirstPaint::pageAfterFirstPaint()
{
    QFETCH(bool, shown);
    server.clearRequests();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir::setCurrent(dir.path());
    ModalWatcher boxes;
    MainWindow window;
    PaintProbe probe(&window);
    auto* form = window.findChild<QWebEngineView*>("EmbeddedPage");
    QVERIFY(form && !qobject_cast<MyWebView*>(form));
    if (shown) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(probe.painted);
        QVERIFY(!probe.pageAtFirstPaint);
    }

    QWidget* content = window.findChild<QWidget*>("Content");
    QTRY_VERIFY(content->findChild<MyWebView*>());
    auto* page = content->findChild<MyWebView*>();
    QCOMPARE(page->parentWidget(), content);
    QCOMPARE(content->children().last(), page);
    QVERIFY(page->isVisibleTo(&window));
    QCOMPARE(page->isVisible(), shown);
    QCOMPARE(page->geometry(), QRect(0, 0, 1100, 561));
    // The channel's page reaches the portal.
    QTRY_VERIFY_WITH_TIMEOUT(!server.requests(pageUrl.path()).isEmpty(), 30000);
    QVERIFY(!form->isVisibleTo(&window));
    QCOMPARE(form->url(), QUrl("about:blank"));

    // Nothing serves the content ports: the start-up sequence ends in its
    // two boxes, with its log lines in the order they always had.
    QTRY_VERIFY_WITH_TIMEOUT(boxes.texts().contains("检查更新失败-4"), 30000);
    QCOMPARE(boxes.texts(), (QStringList{"检查更新失败-104", "检查更新失败-4"}));
    QCOMPARE(logTexts(dir.filePath("log.txt")).join('|'),
             QStringLiteral("trackEvent eventName: start_luncher, val1: , val2: |"
                            "下载器访问版本文件失败"));
    QCOMPARE(window.findChildren<MyWebView*>().size(), 1);
    QDir::setCurrent(oldDir);
}

QTEST_MAIN(TestFirstPaint)
#include "tst_firstpaint.moc"
