#include "app/mainwindow.h"

#include "app/channel.h"
#include "app/firstpaint.h"
#include "app/glshare.h"
#include "app/logcapture.h"
#include "app/program.h"
#include "base/platform.h"
#include "services/eventtracker.h"
#include "services/filemanager.h"
#include "services/mywebview.h"
#include "services/settings.h"
#include "ui_mainwindow.h"
#include "update/patchmanager.h"

#include <QAction>
#include <QActionGroup>
#include <QBitmap>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QProcess>
#include <QTimerEvent>
#include <QUrl>
#include <QWebEnginePage>

static void initImageResources()
{
    Q_INIT_RESOURCE(img);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    initImageResources();
    platform::substituteWindowsFonts();
    ui->setupUi(this);
    setWindowFlag(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowIcon(QIcon(channel::channelIconPath(QStringLiteral("png"))));
    setWindowTitle(QStringLiteral("Drevna"));
    ui->scrollAreaWidgetContents->adjustSize();
    ui->scrollArea->setWidgetResizable(false);

    const QPixmap roundButton(QStringLiteral(":/img/pxz_danzc.png"));
    ui->Pause->setMask(roundButton.mask());
    ui->Start->setMask(roundButton.mask());
    ui->Pause->hide();
    ui->Start->hide();

    requestNews(channel::portalHost() + QStringLiteral("/api.php/portal/Api/interface"));
    newsPage = 0;

    patchManager = new PatchManager();
    fileManager = new FileManager(this);

    initView();

    EventTracker::instance()->channel = int(buildChannel);
    trackEvent(QStringLiteral("start_luncher"), QString(), QString());

    connect(ui->StartGameButton, &QPushButton::clicked, this, &MainWindow::on_Start_clicked);
    connect(ui->Close, &QPushButton::clicked, this, &MainWindow::on_Close_clicked);
    connect(ui->MinSize, &QPushButton::clicked, this, &MainWindow::on_MinSize_clicked);
    connect(ui->DownloadPauseButton, &QPushButton::clicked, this, &MainWindow::on_Pause_clicked);
    connect(ui->OfficialSite, &QPushButton::clicked, this, &MainWindow::OpenOfficialSite);
    connect(ui->RegisterAccount, &QPushButton::clicked, this, &MainWindow::OpenRegisterAccount);
    connect(ui->GameGuide, &QPushButton::clicked, this, &MainWindow::OpenGameGuide);
    connect(ui->GamerCommunity, &QPushButton::clicked, this, &MainWindow::OpenGamerCommunity);
    initGearMenu();

    checkLauncherVersion(false);
}

MainWindow::~MainWindow()
{
    delete ui;
}

// --- Start state ------------------------------------------------------------

void MainWindow::initView()
{
    const QList<QWidget*> hiddenAtStart{ui->Fix,
                                        ui->HomePage,
                                        ui->NoticePage,
                                        ui->StrategyPage,
                                        ui->SynthesizePage,
                                        ui->scrollAreaWidgetContents,
                                        ui->progressBar,
                                        ui->UpdateInfo,
                                        ui->DownloadButtonPanel,
                                        ui->DownloadPauseButtonPanel,
                                        ui->DownloadProgressBar,
                                        ui->DownloadSizePanel,
                                        ui->DownloadSpeed,
                                        ui->EstimateTime,
                                        ui->DownloadFileName,
                                        ui->VersionPanel,
                                        ui->ApplyPatchPanel,
                                        ui->DebugInfo};
    for (QWidget* w : hiddenAtStart)
        w->hide();

    // Clicks on the word images must reach the button beneath them.
    for (QWidget* w : {ui->DownloadWord, ui->DownloadPauseWord, ui->StartGameWord})
        w->setAttribute(Qt::WA_TransparentForMouseEvents);

    // Visible from the first moment, usable once the update has finished.
    ui->StartGameButtonPanel->show();
    ui->StartGameButton->setEnabled(false);

    if (channel::twoLinkTitleBar(buildChannel)) {
        ui->RegisterAccount->hide();
        ui->GameGuide->hide();
        ui->DividerLine_3->hide();
        ui->DividerLine_4->hide();
        ui->GamerCommunity->move(120, 0);
    }

    installLogCapture();
    initLogo();
    initEmbeddedPage();
}

void MainWindow::initGearMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("GearMenu"));
    menu->setStyleSheet(QStringLiteral(
        "QMenu { background-color: rgba(4, 8, 14, 230); border: 1px solid rgba(200, 190, 160, "
        "150); padding: 4px 0; }\n"
        "QMenu::item { color: rgb(255, 241, 204); padding: 8px 28px; font-size: 14px; }\n"
        "QMenu::item:selected { background-color: rgba(200, 190, 160, 60); }\n"
        "QMenu::item:disabled { color: rgba(200, 190, 160, 110); }"));
    QAction* repair = menu->addAction(QStringLiteral("修复游戏"));
    connect(repair, &QAction::triggered, patchManager, &PatchManager::requestRepair);
    pauseAction = menu->addAction(QString());
    connect(pauseAction, &QAction::triggered, this, [this] {
        if (patchManager->isPaused())
            patchManager->resumeDownloads();
        else
            patchManager->pauseDownloads();
    });
    // Checked as it opens: a repair never runs beside an update or another repair.
    connect(menu, &QMenu::aboutToShow, this, [this, repair] {
        repair->setEnabled(!patchManager->busy());
        refreshPauseAction();
    });
    refreshPauseAction();
    initRateMenu(menu->addMenu(QStringLiteral("下载限速")));
    connect(ui->MultiFuncButton, &QPushButton::clicked, this, [this, menu] {
        const QSize size = menu->sizeHint();
        menu->popup(ui->MultiFuncButton->mapToGlobal(QPoint(0, -size.height())));
    });
}

void MainWindow::initRateMenu(QMenu* menu)
{
    menu->setObjectName(QStringLiteral("RateMenu"));
    auto* group = new QActionGroup(menu);
    QList<qint64> choices{0, 512, 1024, 2048, 5120, 10240};
    // A value set by hand in setting.ini stays a choice.
    const qint64 current = downloadRateLimit() / 1024;
    if (!choices.contains(current))
        choices.append(current);
    for (const qint64 kib : choices) {
        QAction* choice =
            menu->addAction(kib == 0          ? QStringLiteral("不限速")
                            : kib % 1024 == 0 ? QStringLiteral("%1MB/s").arg(kib / 1024)
                                              : QStringLiteral("%1KB/s").arg(kib));
        choice->setCheckable(true);
        choice->setChecked(kib == current);
        group->addAction(choice);
        // Takes hold at once, for the transfers in flight too.
        connect(choice, &QAction::triggered, this, [this, kib] {
            setDownloadRateLimit(kib);
            patchManager->httpClient().maxBytesPerSecond = downloadRateLimit();
        });
    }
}

void MainWindow::refreshPauseAction()
{
    const bool paused = patchManager->isPaused();
    pauseAction->setText(paused ? QStringLiteral("继续下载") : QStringLiteral("暂停下载"));
    pauseAction->setEnabled(paused || patchManager->canPause());
}

void MainWindow::initLogo()
{
    const QString logo = channel::logoPath(buildChannel);
    if (!logo.isEmpty())
        ui->Logo->setPixmap(QPixmap(logo));
}

void MainWindow::initEmbeddedPage()
{
    ui->EmbeddedPage->hide();
    // The browser engine takes longer to come up than everything else before
    // the window: the player sees the window first, the page a moment later.
    runAfterFirstPaint(this, [this] { loadEmbeddedPage(); });
}

void MainWindow::loadEmbeddedPage()
{
    // The form leaves its view's address to here: setting it in the form
    // would start the browser engine before the window is shown. What the
    // engine says as it starts is not the launcher's and stays out of log.txt.
    const QtMessageHandler capture = qInstallMessageHandler(nullptr);
    createSharedGlContext();
    ui->EmbeddedPage->setUrl(QUrl(QStringLiteral("about:blank")));
    qInstallMessageHandler(capture);
    webPage = new MyWebView();
    webPage->setAttribute(Qt::WA_DeleteOnClose);
    connect(webPage->page(), &QWebEnginePage::linkHovered, webPage, &MyWebView::slot_LinkHovered);
    webPage->setGeometry(0, 0, 1100, 561);
    webPage->load(QUrl::fromUserInput(channel::embeddedPage(buildChannel)));
    // Added last, so it lies above everything else in the content area.
    webPage->setParent(ui->Content);
    // A reparented widget stays hidden under a parent that is shown already.
    webPage->show();
}

// --- Window chrome ------------------------------------------------------------

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        lastGlobalPos = event->globalPos();
        dragging = true;
    }
    event->ignore();
}

void MainWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging) {
        move(pos() + (event->globalPos() - lastGlobalPos));
        lastGlobalPos = event->globalPos();
    }
    event->ignore();
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
    event->ignore();
}

void MainWindow::on_Close_clicked()
{
    platform::exitNow(0);
}

void MainWindow::on_MinSize_clicked()
{
    showMinimized();
    if (!trayIcon) {
        trayIcon = new QSystemTrayIcon(this);
        trayIcon->setIcon(QIcon(channel::channelIconPath(QStringLiteral("ico"))));
        trayIcon->setToolTip(QStringLiteral("双击显示"));
        connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnActivatedSysTrayIcon);
        initTrayActions();
        if (!trayMenu) {
            trayMenu = new QMenu(this);
            trayMenu->addAction(showAction);
            trayMenu->addAction(pauseAction);
            connect(trayMenu, &QMenu::aboutToShow, this, &MainWindow::refreshPauseAction);
            trayMenu->addSeparator();
            trayMenu->addAction(exitAction);
            trayIcon->setContextMenu(trayMenu);
        }
    }
    // Once there, the icon stays for the rest of the run.
    trayIcon->setVisible(true);
}

void MainWindow::initTrayActions()
{
    if (!showAction) {
        showAction = new QAction(QStringLiteral("显示主界面"), this);
        connect(showAction, &QAction::triggered, this, &MainWindow::OnShowMainAction);
    }
    if (!exitAction) {
        exitAction = new QAction(QStringLiteral("退出"), this);
        connect(exitAction, &QAction::triggered, this, &MainWindow::OnExitAppAction);
    }
}

void MainWindow::OnShowMainAction()
{
    showNormal();
}

void MainWindow::OnExitAppAction()
{
    platform::exitNow(0);
}

void MainWindow::OnActivatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        showNormal();
}

// --- Links and news tabs ------------------------------------------------------

namespace
{
void openLink(const QString& address)
{
    if (!address.isEmpty())
        QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}
} // namespace

void MainWindow::OpenOfficialSite()
{
    openLink(channel::officialSiteUrl(buildChannel));
}

void MainWindow::OpenRegisterAccount()
{
    const QString address = channel::registerAccountUrl(buildChannel);
    if (address.isEmpty())
        showInfoBox(QStringLiteral("启动游戏可注册账号"));
    else
        openLink(address);
}

void MainWindow::OpenGameGuide()
{
    openLink(channel::gameGuideUrl(buildChannel));
}

void MainWindow::OpenGamerCommunity()
{
    openLink(channel::gamerCommunityUrl(buildChannel));
}

void MainWindow::on_HomePage_clicked()
{
    requestNews(channel::portalHost() + QStringLiteral("/api.php/portal/Api/interface"));
    newsPage = 0;
}

void MainWindow::on_SynthesizePage_clicked()
{
    requestNews(channel::portalHost() + QStringLiteral("/api.php/portal/Lists/getlist"));
    newsPage = 1;
}

void MainWindow::on_NoticePage_clicked()
{
    requestNews(channel::portalHost() + QStringLiteral("/api.php/portal/Lists/getlist"));
    newsPage = 2;
}

void MainWindow::on_StrategyPage_clicked()
{
    requestNews(channel::portalHost() + QStringLiteral("/api.php/portal/Lists/getlist"));
    newsPage = 3;
}

void MainWindow::AddPageInfo() {}

void MainWindow::on_Pause_clicked() {}

// --- Update progress display ----------------------------------------------------

namespace
{
// Sizes, speed, time left and file name show and hide together.
QList<QWidget*> transferDetails(Ui::MainWindow* ui)
{
    return {ui->DownloadSizePanel, ui->DownloadSpeed, ui->EstimateTime, ui->DownloadFileName};
}

void showIfHidden(QWidget* w)
{
    if (w->isHidden())
        w->show();
}
} // namespace

void MainWindow::showUpdateStatus(QString text)
{
    for (QWidget* w : transferDetails(ui))
        w->hide();
    ui->ApplyPatchPanel->show();
    ui->ApplyPatchInfo->setText(text);
}

void MainWindow::setUpdateProgress(QString, double ratio)
{
    // Truncated, but a ratio such as 29/100 must not show 28 because its
    // product lands a hair below 29.
    const double percent = ratio * 100.0 + 1e-9;
    if (percent >= 0.0 && percent <= 1e6)
        ui->DownloadProgressBar->setValue(int(percent));
    for (QWidget* w : QList<QWidget*>{ui->DownloadProgressBar} + transferDetails(ui))
        showIfHidden(w);
}

void MainWindow::showDownloadInfo(QString done, QString total, QString fileLine, QString fileSizes,
                                  QString speed, QString timeLeft)
{
    ui->ApplyPatchPanel->hide();
    for (QWidget* w : transferDetails(ui))
        showIfHidden(w);
    ui->CurrentDownloadSize->setText(done);
    ui->TotalDownloadSize->setText(total);
    ui->DownloadFileName->setText(fileLine);
    ui->DownloadFileSpeed->setText(fileSizes);
    ui->DownloadSpeed->setText(speed);
    ui->EstimateTime->setText(timeLeft);
}

void MainWindow::showVersionInfo(QString current, QString newest)
{
    showIfHidden(ui->VersionPanel);
    ui->CurrentVersion->setText(current);
    ui->NewestVersion->setText(newest);
}

void MainWindow::showUpdateFinished()
{
    ui->Start->show();
    const QList<QWidget*> finishedHides{ui->DownloadProgressBar,     ui->DownloadSizePanel,
                                        ui->DownloadSpeed,           ui->EstimateTime,
                                        ui->DownloadFileName,        ui->DownloadButtonPanel,
                                        ui->DownloadPauseButtonPanel};
    for (QWidget* w : finishedHides)
        w->hide();
    ui->StartGameButton->show();
    ui->StartGameButton->setEnabled(true);
}

// The finished state of an older layout; nothing calls it.
void MainWindow::DownloadFinish()
{
    ui->Start->show();
    ui->Start->setEnabled(true);
    ui->Fix->setEnabled(true);
    ui->progressBar->hide();
    ui->Pause->hide();
    ui->UpdateInfo->setText(QStringLiteral("开始游戏"));
    for (int i = 0; i < ui->DownloadInfo_Layout->count(); ++i) {
        if (QWidget* w = ui->DownloadInfo_Layout->itemAt(i)->widget())
            w->hide();
    }
    for (QWidget* w : QList<QWidget*>{ui->DownloadProgressBar} + transferDetails(ui))
        w->hide();
    ui->StartGameButton->show();
}

// Colours the (hidden) round progress bar with the part of the gradient image
// that its value covers.
void MainWindow::on_progressBar_valueChanged(int value)
{
    const QImage gradient(QStringLiteral(":/img/pxz_xzt.png"));
    const int maximum = ui->progressBar->maximum();
    if (gradient.isNull() || maximum <= 0)
        return;
    const double share = qBound(0.0, double(value) / maximum, 1.0);
    QStringList stops;
    for (int i = 0; i < 100; ++i) {
        const int x = int((gradient.width() - 1) * i * share / 100.0);
        const QColor c = gradient.pixelColor(x, gradient.height() / 2);
        stops << QStringLiteral("stop:%1  rgb(%2,%3,%4)")
                     .arg(i / 100.0)
                     .arg(c.red())
                     .arg(c.green())
                     .arg(c.blue());
    }
    ui->progressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border: none; border-radius: 5px; "
                       "background-color: rgba(4, 8, 14, 170); }\n"
                       "QProgressBar::chunk { border-radius: 5px; background-color: "
                       "qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, %1); }")
            .arg(stops.join(QStringLiteral(", "))));
}

// --- Game start -----------------------------------------------------------------

void MainWindow::on_Start_clicked()
{
    const QString program = gameDir + QStringLiteral("/Drevna.exe");
    if (!QFileInfo(program).isFile()) {
        showInfoBox(QStringLiteral("游戏不存在-6"));
        return;
    }
    QStringList arguments;
    if (channel::passesArgumentsToGame(buildChannel)) {
        const QStringList own = QCoreApplication::arguments();
        for (int i = 0; i < own.size(); ++i)
            qDebug().noquote() << QStringLiteral("Param%1:%2").arg(i).arg(own.at(i));
        for (int i = 1; i <= 2 && i < own.size(); ++i)
            arguments << own.at(i);
    }
    trackEvent(QStringLiteral("start_drevna"), QString(), QString());

    // Files written by patches carry no execute permission.
    platform::ensureOwnerExecutable(program);
    auto* game = new QProcess(this);
    // The game outlives the launcher: its output must not go into a pipe that
    // closes when the launcher ends.
    game->setProcessChannelMode(QProcess::ForwardedChannels);
    game->start(program, arguments, QIODevice::ReadWrite);
    gameStartTimerId = startTimer(2000, Qt::CoarseTimer);
}

void MainWindow::timerEvent(QTimerEvent* event)
{
    if (gameStartTimerId != 0 && event->timerId() == gameStartTimerId)
        platform::exitNow(0);
    QMainWindow::timerEvent(event);
}

void MainWindow::killProcessByName(QString name)
{
    platform::killProcessesByName(name);
}
