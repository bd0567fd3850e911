// The main window: start state, chrome, links and the update progress display.
// The window's start-up requests go to the fixed content ports.
// ctest-lock: content-ports
#include "app/channel.h"
#include "app/mainwindow.h"
#include "engineprobe.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "portforwarder.h"
#include "services/eventtracker.h"
#include "services/mywebview.h"
#include "services/settings.h"
#include "urlrecorder.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QWebEngineView>
#include <QtTest>

namespace
{
// Widgets whose visibility the progress display switches.
const QStringList displayWidgets{"ApplyPatchPanel",     "DownloadProgressBar",
                                 "DownloadSizePanel",   "DownloadSpeed",
                                 "EstimateTime",        "DownloadFileName",
                                 "DownloadFileSpeed",   "VersionPanel",
                                 "StartGameButton",     "Start",
                                 "DownloadButtonPanel", "DownloadPauseButtonPanel"};
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

public:
    static void initMain() { QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startState_data();
    void startState();
    void windowShape();
    void logHoldsOnlyTheLaunchersLines();
    void titleBarShowsTwoLinks();
    void everyImageLoads();
    void progressRatio_data();
    void progressRatio();
    void displaySequence();
    void downloadInfoFillsLabels();
    void minimiseTwiceGivesOneTrayIcon();
    void dragMovesWindowByMouseDistance();
    void pressOnButtonDoesNotDrag();
    void links_data();
    void links();
    void missingGameShowsBox();
    void gearMenuOffersRepair();
    void screenshotsForReview();

private:
    template <typename T = QWidget> T* w(const char* name) const
    {
        T* found = window->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    QStringList visibleDisplayWidgets() const;
    void sendMouse(QWidget* target, QEvent::Type type, QPoint windowPos, QPoint global);

    QTemporaryDir workDir;
    QString oldDir;
    MainWindow* window = nullptr;
    ModalWatcher* watcher = nullptr;
    QMap<QString, bool> visibleAfterConstruction;
    QString fileNameAfterConstruction;
    bool startGameEnabledAtConstruction = true;
    UrlRecorder recorder;
    HttpTestServer portal;
    const QUrl pageUrl = QUrl::fromUserInput(channel::embeddedPage(MainWindow::STM));
    bool pageBeforeEventLoop = true;
};

void TestMainWindow::initTestCase()
{
    // The window writes log.txt and the tracker clientid.txt into the
    // working directory.
    QVERIFY(workDir.isValid());
    oldDir = QDir::currentPath();
    QDir::setCurrent(workDir.path());
    // The portal serves the embedded page; the content ports stay closed.
    QVERIFY2((new PortForwarder(quint16(pageUrl.port()), portal.port(), this))->isListening(),
             "the portal port is taken");
    portal.setFile(pageUrl.path(), "portal");
    // The browser engine then says so as it starts, a line for standard error.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    window = new MainWindow();
    for (QWidget* child : window->findChildren<QWidget*>())
        visibleAfterConstruction.insert(child->objectName(), child->isVisibleTo(window));
    fileNameAfterConstruction = w<QLabel>("DownloadFileName")->text();
    startGameEnabledAtConstruction = w("StartGameButton")->isEnabled();

    watcher = new ModalWatcher(this);
    window->show();
    // The browser engine waits until the window is on the screen.
    pageBeforeEventLoop = !window->findChildren<MyWebView*>().isEmpty();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // Nothing serves the content ports: both start-up requests fail and
    // end in their boxes. Wait until the sequence is over.
    QTRY_VERIFY_WITH_TIMEOUT(watcher->texts().contains(QStringLiteral("检查更新失败-4")), 30000);
    QCOMPARE(watcher->texts().first(), QStringLiteral("检查更新失败-104"));
    watcher->clear();

    QDesktopServices::setUrlHandler("http", &recorder, "open");
    QDesktopServices::setUrlHandler("https", &recorder, "open");
}

void TestMainWindow::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler("http");
    QDesktopServices::unsetUrlHandler("https");
    delete window;
    QDir::setCurrent(oldDir);
}

QStringList TestMainWindow::visibleDisplayWidgets() const
{
    QStringList shown;
    for (const QString& name : displayWidgets) {
        if (window->findChild<QWidget*>(name)->isVisibleTo(window))
            shown << name;
    }
    return shown;
}

void TestMainWindow::startState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("visible");
    const QStringList hidden{"Fix",
                             "HomePage",
                             "NoticePage",
                             "StrategyPage",
                             "SynthesizePage",
                             "scrollAreaWidgetContents",
                             "progressBar",
                             "UpdateInfo",
                             "DownloadButtonPanel",
                             "DownloadPauseButtonPanel",
                             "DownloadProgressBar",
                             "DownloadSizePanel",
                             "DownloadSpeed",
                             "EstimateTime",
                             "VersionPanel",
                             "ApplyPatchPanel",
                             "DebugInfo",
                             "Start",
                             "Pause",
                             "EmbeddedPage"};
    for (const QString& name : hidden)
        QTest::newRow(qPrintable(name)) << name << false;
    // The version check shows its line at once; the file line keeps its
    // sample text until the first download report.
    const QStringList shown{
        "StartGameButtonPanel", "StartGameButton", "DownloadFileSpeed", "DownloadFileName",
        "MultiFuncButton",      "Close",           "MinSize",           "Logo",
        "OfficialSite",         "GamerCommunity",  "PublishCodeLabel"};
    for (const QString& name : shown)
        QTest::newRow(qPrintable(name)) << name << true;
}

void TestMainWindow::startState()
{
    QFETCH(QString, name);
    QFETCH(bool, visible);
    QVERIFY2(visibleAfterConstruction.contains(name), qPrintable(name));
    QCOMPARE(visibleAfterConstruction.value(name), visible);
    if (name == "StartGameButton")
        QVERIFY(!startGameEnabledAtConstruction);
    if (name == "DownloadFileName")
        QCOMPARE(fileNameAfterConstruction, QStringLiteral("检查版本..."));
    if (name == "DownloadFileSpeed")
        QCOMPARE(w<QLabel>("DownloadFileSpeed")->text(), QStringLiteral("file name"));
}

void TestMainWindow::windowShape()
{
    QCOMPARE(window->size(), QSize(1112, 696));
    QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(window->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(window->windowTitle(), QStringLiteral("Drevna"));
    QVERIFY(!window->windowIcon().isNull());
    QVERIFY(!w<QLabel>("Logo")->pixmap(Qt::ReturnByValue).isNull());

    // The embedded page fills the content area and lies above its siblings;
    // the word images let clicks through to their buttons.
    QWidget* content = w("Content");
    auto* page = content->findChild<MyWebView*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(page);
    QCOMPARE(page->geometry(), QRect(0, 0, 1100, 561));
    QCOMPARE(content->children().last(), page);
    QVERIFY(!pageBeforeEventLoop);
    QVERIFY(page->isVisible());
    QCOMPARE(w<QWebEngineView>("EmbeddedPage")->url(), QUrl("about:blank"));
    QTRY_VERIFY_WITH_TIMEOUT(!portal.requests(pageUrl.path()).isEmpty(), 20000);
    for (const char* word : {"StartGameWord", "DownloadWord", "DownloadPauseWord"})
        QVERIFY(w(word)->testAttribute(Qt::WA_TransparentForMouseEvents));
}

void TestMainWindow::logHoldsOnlyTheLaunchersLines()
{
    QFile log(workDir.filePath("log.txt"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QStringList texts;
    for (const QString& line : QString::fromLocal8Bit(log.readAll()).split('\n')) {
        // Boxes without a window manager to focus them draw X errors.
        if (!line.isEmpty() && !line.contains("QXcbConnection"))
            texts << line.mid(int(strlen("yyyy-MM-dd hh:mm:ss: ")));
    }
    QCOMPARE(texts.mid(0, 2), (QStringList{"trackEvent eventName: start_luncher, val1: , val2: ",
                                           "下载器访问版本文件失败"}));
    QVERIFY(!texts.contains(QString()));
}

void TestMainWindow::titleBarShowsTwoLinks()
{
    QWidget* group = w("TitleGroup");
    QStringList shown;
    for (QPushButton* link : group->findChildren<QPushButton*>()) {
        if (link->isVisibleTo(window))
            shown << QStringLiteral("%1@%2").arg(link->text()).arg(link->x());
    }
    shown.sort();
    QCOMPARE(shown, (QStringList{"官方网站@0", "玩家社群@120"}));
    QVERIFY(w("DividerLine_1")->isVisibleTo(window));
    QVERIFY(!w("DividerLine_3")->isVisibleTo(window));
    QVERIFY(!w("DividerLine_4")->isVisibleTo(window));
}

// Every image that the form's style sheets, its labels or the channel table
// name is in the collection and decodes; icons decode in every size.
void TestMainWindow::everyImageLoads()
{
    QSet<QString> paths;
    const QRegularExpression url(QStringLiteral("url\\((:/img/[^)]+)\\)"));
    for (QWidget* child : window->findChildren<QWidget*>()) {
        auto it = url.globalMatch(child->styleSheet());
        while (it.hasNext())
            paths << it.next().captured(1);
    }
    for (int c = MainWindow::DEBUG; c <= MainWindow::STM_TAMSEL; ++c) {
        const auto type = MainWindow::PlatformType(c);
        paths << channel::channelIconPath(type, "png") << channel::channelIconPath(type, "ico");
        if (!channel::logoPath(type).isEmpty())
            paths << channel::logoPath(type);
    }
    paths << ":/img/pxz_xzt.png"
          << ":/img/fengexian.png"
          << ":/img/Display.png"
          << ":/img/logo.png"
          << ":/img/Application.ico"
          << ":/img/drevnalauncher.ico";
    QVERIFY(paths.size() > 30);
    for (const QString& path : qAsConst(paths)) {
        QImageReader reader(path);
        const QImage first = reader.read();
        QVERIFY2(!first.isNull(), qPrintable(path + ": " + reader.errorString()));
        if (path.endsWith(".ico")) {
            QCOMPARE(reader.imageCount(), 7);
            QVERIFY2(QIcon(path).availableSizes().contains(QSize(16, 16)), qPrintable(path));
        }
    }
}

void TestMainWindow::progressRatio_data()
{
    QTest::addColumn<double>("ratio");
    QTest::addColumn<int>("value");
    QTest::newRow("0.999 truncates") << 0.999 << 99;
    QTest::newRow("whole") << 1.0 << 100;
    QTest::newRow("zero") << 0.0 << 0;
    QTest::newRow("29/100 is 29") << 29.0 / 100.0 << 29;
    QTest::newRow("57/100 is 57") << 57.0 / 100.0 << 57;
    QTest::newRow("1/3") << 1.0 / 3.0 << 33;
}

void TestMainWindow::progressRatio()
{
    QFETCH(double, ratio);
    QFETCH(int, value);
    window->setUpdateProgress(QStringLiteral("ignored"), ratio);
    QCOMPARE(w<QProgressBar>("DownloadProgressBar")->value(), value);
}

// The engine's usual sequence, as the bar shows it.
void TestMainWindow::displaySequence()
{
    window->showUpdateStatus(QStringLiteral("正在获取更新列表..."));
    QCOMPARE(w<QLabel>("ApplyPatchInfo")->text(), QStringLiteral("正在获取更新列表..."));
    QVERIFY(visibleDisplayWidgets().contains("ApplyPatchPanel"));
    QVERIFY(!visibleDisplayWidgets().contains("DownloadSizePanel"));

    window->showVersionInfo(QStringLiteral("当前版本100.0.6"), QStringLiteral("最新版本100.0.9"));
    QCOMPARE(w<QLabel>("CurrentVersion")->text(), QStringLiteral("当前版本100.0.6"));
    QCOMPARE(w<QLabel>("NewestVersion")->text(), QStringLiteral("最新版本100.0.9"));

    window->showDownloadInfo("1MB", "2MB", "a.pak", "1MB/2MB", "1.0MB/s", "00:00:01");
    window->setUpdateProgress(QString(), 0.5);
    QCOMPARE(
        visibleDisplayWidgets(),
        (QStringList{"DownloadProgressBar", "DownloadSizePanel", "DownloadSpeed", "EstimateTime",
                     "DownloadFileName", "DownloadFileSpeed", "VersionPanel", "StartGameButton"}));

    // Patching: details go, the bar stays at its value.
    window->showUpdateStatus(QStringLiteral("正在更新 1/3"));
    QCOMPARE(visibleDisplayWidgets(),
             (QStringList{"ApplyPatchPanel", "DownloadProgressBar", "DownloadFileSpeed",
                          "VersionPanel", "StartGameButton"}));
    QCOMPARE(w<QProgressBar>("DownloadProgressBar")->value(), 50);
    QVERIFY(!w("StartGameButton")->isEnabled());

    window->showUpdateStatus(QStringLiteral("更新完成."));
    window->showUpdateFinished();
    QCOMPARE(visibleDisplayWidgets(), (QStringList{"ApplyPatchPanel", "DownloadFileSpeed",
                                                   "VersionPanel", "StartGameButton", "Start"}));
    QCOMPARE(w<QLabel>("ApplyPatchInfo")->text(), QStringLiteral("更新完成."));
    QCOMPARE(w<QLabel>("CurrentVersion")->text(), QStringLiteral("当前版本100.0.6"));
    QVERIFY(w("StartGameButton")->isEnabled());
}

void TestMainWindow::downloadInfoFillsLabels()
{
    window->showUpdateStatus(QStringLiteral("x"));
    window->showDownloadInfo("done", "total", "file line", "file sizes", "speed", "left");
    QVERIFY(!w("ApplyPatchPanel")->isVisibleTo(window));
    const QList<QPair<const char*, const char*>> expected{
        {"CurrentDownloadSize", "done"},   {"TotalDownloadSize", "total"},
        {"DownloadFileName", "file line"}, {"DownloadFileSpeed", "file sizes"},
        {"DownloadSpeed", "speed"},        {"EstimateTime", "left"}};
    for (const auto& pair : expected) {
        QCOMPARE(w<QLabel>(pair.first)->text(), QString::fromLatin1(pair.second));
        QVERIFY2(w(pair.first)->isVisibleTo(window), pair.first);
    }
}

void TestMainWindow::minimiseTwiceGivesOneTrayIcon()
{
    auto* minimise = w<QPushButton>("MinSize");
    minimise->click();
    QTRY_VERIFY(window->isMinimized());
    window->showNormal();
    minimise->click();
    window->showNormal();

    const auto icons = window->findChildren<QSystemTrayIcon*>();
    QCOMPARE(icons.size(), 1);
    QSystemTrayIcon* tray = icons.first();
    QVERIFY(tray->isVisible());
    QCOMPARE(tray->toolTip(), QStringLiteral("双击显示"));
    QVERIFY(!tray->icon().isNull());
    QCOMPARE(window->findChildren<QMenu*>().size(), 3); // and the gear's two
    QStringList entries;
    for (QAction* a : tray->contextMenu()->actions())
        entries << (a->isSeparator() ? QStringLiteral("--") : a->text());
    QCOMPARE(entries, (QStringList{"显示主界面", "暂停下载", "--", "退出"}));

    // A single click leaves the window minimised; a double click restores it.
    window->showMinimized();
    QTRY_VERIFY(window->isMinimized());
    emit tray->activated(QSystemTrayIcon::Trigger);
    QCoreApplication::processEvents();
    QVERIFY(window->isMinimized());
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(!window->isMinimized());
    QVERIFY(tray->isVisible());
}

void TestMainWindow::sendMouse(QWidget* target, QEvent::Type type, QPoint windowPos, QPoint global)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, target->mapFrom(window, windowPos), global, button, held,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

void TestMainWindow::dragMovesWindowByMouseDistance()
{
    window->move(100, 100);
    // An empty spot of the title bar: the press goes through to the window.
    const QPoint at(760, 25);
    QWidget* target = window->childAt(at);
    QVERIFY(target);
    QVERIFY(!qobject_cast<QPushButton*>(target));
    const QPoint start = window->pos();
    const QPoint g(900, 500);
    sendMouse(target, QEvent::MouseButtonPress, at, g);
    sendMouse(target, QEvent::MouseMove, at, g + QPoint(37, -12));
    QCOMPARE(window->pos(), start + QPoint(37, -12));
    sendMouse(target, QEvent::MouseMove, at, g + QPoint(40, 3));
    QCOMPARE(window->pos(), start + QPoint(40, 3));
    sendMouse(target, QEvent::MouseButtonRelease, at, g + QPoint(40, 3));
    sendMouse(target, QEvent::MouseMove, at, g + QPoint(200, 200));
    QCOMPARE(window->pos(), start + QPoint(40, 3));
}

void TestMainWindow::pressOnButtonDoesNotDrag()
{
    auto* button = w<QPushButton>("MultiFuncButton");
    const QPoint at = button->mapTo(window, QPoint(10, 10));
    QCOMPARE(window->childAt(at), button);
    const QPoint start = window->pos();
    const QPoint g(600, 600);
    sendMouse(button, QEvent::MouseButtonPress, at, g);
    sendMouse(button, QEvent::MouseMove, at, g + QPoint(50, 50));
    sendMouse(button, QEvent::MouseButtonRelease, at, g + QPoint(50, 50));
    QCOMPARE(window->pos(), start);
}

void TestMainWindow::links_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("box");
    const auto c = MainWindow::STM;
    QTest::newRow("official site") << "OfficialSite" << channel::officialSiteUrl(c) << "";
    QTest::newRow("community") << "GamerCommunity" << channel::gamerCommunityUrl(c) << "";
    QTest::newRow("register: box") << "RegisterAccount"
                                   << ""
                                   << "启动游戏可注册账号";
    QTest::newRow("guide: nothing") << "GameGuide"
                                    << ""
                                    << "";
}

void TestMainWindow::links()
{
    QFETCH(QString, button);
    QFETCH(QString, opened);
    QFETCH(QString, box);
    recorder.urls.clear();
    watcher->clear();
    window->findChild<QPushButton*>(button)->click();
    if (!box.isEmpty()) {
        QTRY_COMPARE(watcher->texts(), QStringList{box});
        QCOMPARE(watcher->titles(), QStringList{"提示"});
    } else {
        QCOMPARE(watcher->count(), 0);
    }
    if (opened.isEmpty()) {
        QVERIFY(recorder.urls.isEmpty());
    } else {
        QCOMPARE(recorder.urls.size(), 1);
        QCOMPARE(recorder.urls.first(), QUrl(opened));
    }
}

// Without the game there is a box and nothing else: no report, no timer.
void TestMainWindow::missingGameShowsBox()
{
    HttpTestServer server;
    QVERIFY(server.isListening());
    EventTracker::instance()->url = server.url("/trackevent");
    window->setGameDirForTest(workDir.path() + "/nothing-here");
    window->showUpdateFinished();
    watcher->clear();
    w<QPushButton>("StartGameButton")->click();
    QTRY_COMPARE(watcher->texts(), QStringList{QStringLiteral("游戏不存在-6")});
    QSignalSpy requests(&server, &HttpTestServer::requestReceived);
    QVERIFY(!requests.wait(300));
    QVERIFY(window->findChildren<QProcess*>().isEmpty());
}

// The gear starts a repair, offered only while the engine is idle, and
// pauses the downloads, only while files download.
void TestMainWindow::gearMenuOffersRepair()
{
    auto* menu = window->findChild<QMenu*>("GearMenu");
    for (int state : {7, 4}) {
        probe(*window->patchManagerForTest()).state = state;
        w<QPushButton>("MultiFuncButton")->click();
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->actions().first()->text(), QStringLiteral("修复游戏"));
        QCOMPARE(menu->actions().first()->isEnabled(), state == 7);
        QCOMPARE(menu->actions().at(1)->text(), QStringLiteral("暂停下载"));
        QCOMPARE(menu->actions().at(1)->isEnabled(), state == 4);
        QPixmap shot = window->grab();
        QPainter(&shot).drawPixmap(window->mapFromGlobal(menu->pos()), menu->grab());
        QVERIFY(qEnvironmentVariableIsEmpty("DREVNA_SCREENSHOT_DIR") ||
                shot.save(qEnvironmentVariable("DREVNA_SCREENSHOT_DIR") + "/gear-menu.png"));
        menu->hide();
    }
    // A cap chosen there is saved for the next start and holds at once.
    QCOMPARE(menu->actions().at(2)->text(), QStringLiteral("下载限速"));
    QMenu* rates = menu->actions().at(2)->menu();
    for (const QString& choice : {QStringLiteral("1MB/s"), QStringLiteral("不限速")}) {
        for (QAction* a : rates->actions())
            if (a->text() == choice)
                a->trigger();
        const qint64 kib = QSettings(launcherSettingsPath(), QSettings::IniFormat)
                               .value("download/maxKBps", -1)
                               .toLongLong();
        QCOMPARE(kib, choice == "1MB/s" ? 1024 : 0);
        QCOMPARE(window->patchManagerForTest()->httpClient().maxBytesPerSecond, kib * 1024);
    }
    QFile::remove(launcherSettingsPath());
}

// Saves the window in its main states when DREVNA_SCREENSHOT_DIR names a
// folder, for a look at the images together.
void TestMainWindow::screenshotsForReview()
{
    const QString dir = qEnvironmentVariable("DREVNA_SCREENSHOT_DIR");
    if (dir.isEmpty())
        QSKIP("DREVNA_SCREENSHOT_DIR not set");
    window->showNormal();
    window->showUpdateStatus(QStringLiteral("正在下载更新文件..."));
    window->showVersionInfo(QStringLiteral("当前版本100.0.6"), QStringLiteral("最新版本100.0.9"));
    window->showDownloadInfo("412.5MB", "1.21GB", "正在下载: Content/Paks/drevna-1007.pak",
                             "35.2MB/96.0MB", "8.4MB/s", "00:01:36");
    window->setUpdateProgress(QString(), 0.42);
    QCoreApplication::processEvents(); // layouts follow the new texts
    QVERIFY(window->grab().save(dir + "/downloading.png"));
    window->showDownloadInfo("412.50MB", "1.21GB", "下载已暂停", "(35.20M/96.00M)", "", "");
    QCoreApplication::processEvents();
    QVERIFY(window->grab().save(dir + "/paused.png"));
    window->showUpdateStatus(QStringLiteral("更新完成."));
    window->showUpdateFinished();
    QCoreApplication::processEvents();
    QVERIFY(window->grab().save(dir + "/finished.png"));
    window->showUpdateStatus(QStringLiteral("修复完成,已修复3个文件"));
    QVERIFY(window->grab().save(dir + "/repaired.png"));
    w<QPushButton>("StartGameButton")->setAttribute(Qt::WA_UnderMouse);
    QWidget* page = w("Content")->findChild<MyWebView*>();
    page->hide();
    QVERIFY(window->grab().save(dir + "/content-well.png"));
    page->show();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
