#pragma once

#include "update/updatedisplay.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPoint>
#include <QSet>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class FileManager;
class PatchManager;
class MyWebView;

namespace Ui
{
class MainWindow;
}
namespace contentsig
{
class Signature;
enum class Kind;
} // namespace contentsig

class MainWindow : public QMainWindow, public UpdateDisplay
{
    Q_OBJECT

public:
    enum PlatformType {
        DEBUG = 0,
        PELLAN = 1,
        NIMBREL = 2,
        QUORVEL = 3,
        RAVLO = 4,
        STM = 5,
        STM_OVERSEAS = 6,
        STM_TEST = 7,
        STM_TAMSEL = 8,
    };
    Q_ENUM(PlatformType)

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Update progress display, driven by the update engine.
    void showUpdateStatus(QString text) override;
    void setUpdateProgress(QString text, double ratio) override;
    void showDownloadInfo(QString done, QString total, QString fileLine, QString fileSizes,
                          QString speed, QString timeLeft) override;
    void showVersionInfo(QString current, QString newest) override;
    void showUpdateFinished() override;
    void killProcessByName(QString name) override;

    // Start-up sequence.
    // Limits of the start-up requests' waits for data: first, then between
    // chunks, and of the whole request. The production values are the update
    // engine's.
    static int requestFirstDataTimeoutMs;
    static int requestStallTimeoutMs;
    static int requestDeadlineMs;
    void checkLauncherVersion(bool fallback);
    void requestUpdateConfig(const QString& url);
    void requestUpdateConfigFallback(const QString& url);
    void startGameUpdate(const QString& configUrl);

    // Launcher self-update.
    void processVersionFile();
    void downloadSetup(const QString& url);
    void installSetup();

    // News column.
    void requestNews(const QString& url);

    PatchManager* patchManagerForTest() const { return patchManager; }
    QString gameDirForTest() const { return gameDir; }
    void setGameDirForTest(const QString& dir) { gameDir = dir; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private slots:
    void OnShowMainAction();
    void OnExitAppAction();
    void OnActivatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void OnGetUpdateConfigFinished();
    void OnGetPageInfoFinished();
    void DownloadFinish();
    void dealover();
    void AddPageInfo();
    void on_HomePage_clicked();
    void on_SynthesizePage_clicked();
    void on_NoticePage_clicked();
    void on_StrategyPage_clicked();
    void on_Close_clicked();
    void on_MinSize_clicked();
    void on_Start_clicked();
    void on_Pause_clicked();
    void on_progressBar_valueChanged(int value);
    void OpenOfficialSite();
    void OpenRegisterAccount();
    void OpenGameGuide();
    void OpenGamerCommunity();
    void dealoverEx();
    void OnGetUpdateConfigFinishedEx();
    void MannualUpdateSelf();

private:
    void initView();
    void initGearMenu();
    void initRateMenu(QMenu* menu);
    // "暂停下载" or "继续下载", whichever applies, usable while files download.
    void refreshPauseAction();
    void initLogo();
    void initEmbeddedPage();
    void loadEmbeddedPage();
    void initTrayActions();
    void onLauncherVersionReply(bool fallback);
    void handleUpdateConfigReply(const char* key);
    QNetworkReply* getContent(const QString& url);
    void showInfoBox(const QString& text);
    // Where this build keeps the patch folder and the game.
    void installFolders(QString* patchFolder, QString* game) const;
    // Requests url, a document below base (content server A or B), and runs
    // onFinished with currentReply as its finished reply. With keys its
    // envelope comes first: the body may not pass the signed length, and a
    // refused document reaches onFinished without a body.
    void getSignedContent(const QString& base, const QString& url, contentsig::Kind kind,
                          std::function<void()> onFinished);
    // With root keys: takes in the keys document's versions after the
    // trusted one below base (taken so far), at most
    // MaxKeysVersionsPerStart and for one document deadline, then runs then.
    void walkKeys(const QString& base, int taken, QElapsedTimer clock, std::function<void()> then);
    // The setup program itself, after its envelope when keys are set.
    void startSetupDownload(const QString& url);
    // The downloaded setup program at path, fetched from url: done(true) when
    // it may be installed; a refused one is deleted first.
    void checkSetupSignature(const QString& url, const QString& path,
                             std::function<void(bool)> done);

    Ui::MainWindow* ui = nullptr;
    bool dragging = false;
    QPoint lastGlobalPos;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* showAction = nullptr;
    QAction* exitAction = nullptr;
    // In the gear menu and the tray menu.
    QAction* pauseAction = nullptr;
    QNetworkAccessManager* networkManager = nullptr;
    QNetworkReply* currentReply = nullptr;
    QNetworkReply* newsReply = nullptr;
    int newsPage = 0;
    FileManager* fileManager = nullptr;
    PatchManager* patchManager = nullptr;
    MyWebView* webPage = nullptr;
    QString gameDir;
    int gameStartTimerId = 0;
    int remoteLauncherVersion = 0;
    // The admitted version file's sequence, the least its setup program's may be.
    qint64 versionFileSequence = 0;
    std::shared_ptr<contentsig::Signature> setupSignature;
    // The content servers whose keys documents this start took in.
    QSet<QString> keysWalked;
};
