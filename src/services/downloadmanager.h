#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QString>

class DVThread;
class QNetworkReply;
class DownloadDisplay;

// Downloads a queue of addresses one after another into the working directory,
// resuming a file in progress, and has each finished file's MD5 checked on a
// worker thread against the expected digests.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    explicit DownloadManager(DownloadDisplay* window, QObject* parent = nullptr);
    ~DownloadManager() override;

    // Local file for an address: its path from the fourth character on, below
    // the working directory. Empty when that is no safe relative name.
    static QString outputFileName(const QUrl& url);
    static QString speedText(double bytesPerSecond);
    static QString sizeText(qint64 bytes);

    QNetworkAccessManager manager;
    QQueue<QString> downloadQueue;
    QNetworkReply* currentDownload = nullptr;
    QFile output;
    QElapsedTimer downloadTime;
    int downloadedCount = 0;
    int totalCount = 0;
    QString currentUrl;
    qint64 fileReceived = 0;
    qint64 fileStartSize = 0;
    qint64 finishedBytes = 0;
    bool rangeChecked = false;
    // The file in progress could not be opened or written: it is no download.
    bool writeFailed = false;
    // While set, progress, data and finish handling do nothing, so an aborted
    // request leaves the file in progress for startNextDownload to resume.
    bool paused = false;
    // (name part, expected MD5): checked against every path containing the part.
    QList<QPair<QString, QString>> md5List;
    DownloadDisplay* mainWindow = nullptr;
    QList<DVThread*> threads;

signals:
    void finished();

public slots:
    void startNextDownload();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void downloadFinished();
    void downloadReadyRead();
    void dealover(DVThread* thread);

private:
    void verify(const QString& path);
};
