#include "app/mainwindow.h"

#include "app/buildconfig.h"
#include "app/channel.h"
#include "app/logcapture.h"
#include "app/platform.h"
#include "services/eventtracker.h"
#include "services/filemanager.h"
#include "services/mywebview.h"
#include "ui_mainwindow.h"
#include "update/patchmanager.h"

#include <QBitmap>
#include <QPixmap>

static void initImageResources() { Q_INIT_RESOURCE(img); }

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    initImageResources();
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

    checkLauncherVersion(false);
}

MainWindow::~MainWindow() { delete ui; }

// --- Everything below is filled in by the main window work. ---

void MainWindow::initView() { installLogCapture(); }
void MainWindow::initLogo() {}
void MainWindow::initEmbeddedPage() {}
void MainWindow::initTrayActions() {}
void MainWindow::showUpdateStatus(QString) {}
void MainWindow::setUpdateProgress(QString, double) {}
void MainWindow::showDownloadInfo(QString, QString, QString, QString, QString, QString) {}
void MainWindow::showVersionInfo(QString, QString) {}
void MainWindow::showUpdateFinished() {}
void MainWindow::killProcessByName(QString name) { platform::killProcessesByName(name); }
void MainWindow::timerEvent(QTimerEvent*) {}
void MainWindow::mousePressEvent(QMouseEvent*) {}
void MainWindow::mouseReleaseEvent(QMouseEvent*) {}
void MainWindow::mouseMoveEvent(QMouseEvent*) {}
void MainWindow::OnShowMainAction() {}
void MainWindow::OnExitAppAction() {}
void MainWindow::OnActivatedSysTrayIcon(QSystemTrayIcon::ActivationReason) {}
void MainWindow::DownloadFinish() {}
void MainWindow::AddPageInfo() {}
void MainWindow::on_HomePage_clicked() {}
void MainWindow::on_SynthesizePage_clicked() {}
void MainWindow::on_NoticePage_clicked() {}
void MainWindow::on_StrategyPage_clicked() {}
void MainWindow::on_Close_clicked() { exit(0); }
void MainWindow::on_MinSize_clicked() {}
void MainWindow::on_Start_clicked() {}
void MainWindow::on_Pause_clicked() {}
void MainWindow::on_progressBar_valueChanged(int) {}
void MainWindow::OpenOfficialSite() {}
void MainWindow::OpenRegisterAccount() {}
void MainWindow::OpenGameGuide() {}
void MainWindow::OpenGamerCommunity() {}
