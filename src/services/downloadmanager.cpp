#include "services/downloadmanager.h"

#include "base/updatetypes.h"
#include "services/downloaddisplay.h"
#include "services/dvthread.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkReply>
#include <QPushButton>
#include <cstdio>

namespace
{

// Two decimals and the largest unit of units (one per factor of 1024) that
// the value reaches.
QString scaled(double value, const QStringList& units)
{
    int unit = 0;
    double divisor = 1;
    while (unit + 1 < units.size() && value >= divisor * 1024.0) {
        divisor *= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1%2").arg(QString::asprintf("%.2f", value / divisor), units.at(unit));
}

QString fixedAddress(QString address)
{
    address.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return address;
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 ||
           status == 308;
}

} // namespace

DownloadManager::DownloadManager(DownloadDisplay* window, QObject* parent)
    : QObject(parent), mainWindow(window)
{
    // A window that goes first is drawn on no more.
    if (auto* object = dynamic_cast<QObject*>(window))
        connect(object, &QObject::destroyed, this, [this] { mainWindow = nullptr; });
}

DownloadManager::~DownloadManager()
{
    if (currentDownload) {
        disconnect(currentDownload, nullptr, this, nullptr);
        currentDownload->abort();
    }
    for (DVThread* thread : qAsConst(threads)) {
        thread->requestInterruption();
        thread->wait();
    }
}

QString DownloadManager::outputFileName(const QUrl& url)
{
    // The address is the server's to choose: "../" or "%2e%2e" in it must not
    // reach outside the working directory, nor may a name run on from it.
    QString name = url.path(QUrl::FullyDecoded).mid(3);
    if (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    name = safeRelativePath(name);
    return name.isEmpty() ? QString() : QDir::currentPath() + QLatin1Char('/') + name;
}

QString DownloadManager::speedText(double bytesPerSecond)
{
    return scaled(bytesPerSecond,
                  {QStringLiteral("B/s"), QStringLiteral("KB/s"), QStringLiteral("MB/s")});
}

QString DownloadManager::sizeText(qint64 bytes)
{
    return scaled(double(bytes), {QStringLiteral("B"), QStringLiteral("KB"), QStringLiteral("MB"),
                                  QStringLiteral("GB")});
}

void DownloadManager::startNextDownload()
{
    // A paused file is still in progress although the queue may be empty.
    while (currentUrl.isEmpty()) {
        if (downloadQueue.isEmpty()) {
            std::printf("%d/%d files downloaded successfully\n", downloadedCount, totalCount);
            std::fflush(stdout);
            emit finished();
            return;
        }
        currentUrl = downloadQueue.dequeue();
        const QString name = outputFileName(QUrl(fixedAddress(currentUrl), QUrl::TolerantMode));
        if (name.isEmpty()) {
            // Refused before anything is touched or requested: a failed file.
            std::fprintf(stderr, "Failed: unsafe file name %s\n", qPrintable(currentUrl));
            std::fflush(stderr);
            currentUrl.clear();
            continue;
        }
        if (QFile::exists(name)) {
            if (QFile::remove(name))
                qDebug() << "删除成功";
            else
                qDebug() << "删除失败";
        } else {
            QDir().mkpath(QFileInfo(name).absolutePath());
        }
        output.setFileName(name);
        writeFailed = false;
        if (!output.open(QIODevice::Append)) {
            qDebug() << "打开文件失败";
            writeFailed = true;
        }
    }

    QNetworkRequest request(QUrl(fixedAddress(currentUrl), QUrl::TolerantMode));
    fileStartSize = output.size();
    fileReceived = 0;
    rangeChecked = false;
    request.setRawHeader("Range", QStringLiteral("bytes=%1-").arg(fileStartSize).toLatin1());
    currentDownload = manager.get(request);
    connect(currentDownload, &QNetworkReply::downloadProgress, this,
            &DownloadManager::downloadProgress);
    connect(currentDownload, &QNetworkReply::finished, this, &DownloadManager::downloadFinished);
    connect(currentDownload, &QNetworkReply::readyRead, this, &DownloadManager::downloadReadyRead);
    downloadTime.start();
}

void DownloadManager::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (paused || !mainWindow)
        return;
    fileReceived = bytesReceived;
    qint64 ms = downloadTime.elapsed();
    if (ms == 0)
        ms = 1000;
    const double speed = double(bytesReceived) * 1000.0 / double(ms);
    const qint64 fileDone = fileStartSize + bytesReceived;
    const qint64 fileSize = bytesTotal < 0 ? -1 : fileStartSize + bytesTotal;

    const QString sizes =
        sizeText(fileDone) + QLatin1Char('/') + (fileSize < 0 ? QString() : sizeText(fileSize));
    QString timeLeft;
    if (fileSize >= 0 && speed > 0)
        timeLeft = QString::number(qint64(double(fileSize - fileDone) / speed)) + QLatin1Char('s');
    mainWindow->showDownloadInfo(sizeText(finishedBytes + fileDone),
                                 fileSize < 0 ? QString() : sizeText(finishedBytes + fileSize),
                                 QFileInfo(output).fileName(), sizes, speedText(speed), timeLeft);
    mainWindow->setUpdateProgress(currentUrl, fileSize > 0 ? double(fileDone) / fileSize : 0.0);
}

void DownloadManager::downloadReadyRead()
{
    if (paused || !currentDownload)
        return;
    // A server that ignores the range sends the whole file again: start over
    // rather than append it to the part already there.
    if (!rangeChecked) {
        rangeChecked = true;
        const int status =
            currentDownload->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (fileStartSize > 0 && status == 200) {
            output.resize(0);
            fileStartSize = 0;
        }
    }
    const QByteArray data = currentDownload->readAll();
    if (!writeFailed && output.write(data) != data.size())
        writeFailed = true;
}

void DownloadManager::downloadFinished()
{
    QNetworkReply* reply = currentDownload;
    if (!reply)
        return;
    currentDownload = nullptr;
    reply->deleteLater();
    if (paused)
        return; // the file in progress stays open for the resume

    // Buffered data that cannot reach the disk is a failed write as well.
    if (!writeFailed && !output.flush())
        writeFailed = true;
    output.close();
    if (reply->error() != QNetworkReply::NoError) {
        std::fprintf(stderr, "Failed: %s\n", qPrintable(reply->errorString()));
        output.remove();
    } else if (isRedirect(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QUrl requested = reply->request().url();
        std::fprintf(stderr, "Request: %s was redirected with code: %d\n",
                     qPrintable(requested.toString()), status);
        const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (!target.isEmpty())
            std::fprintf(stderr, "Redirected to: %s\n",
                         qPrintable(requested.resolved(target).toString()));
        output.remove();
    } else if (writeFailed) {
        std::fprintf(stderr, "Failed: %s\n", qPrintable(output.errorString()));
        output.remove();
    } else {
        verify(output.fileName());
        std::printf("Succeeded.\n");
        ++downloadedCount;
    }
    std::fflush(stdout);
    std::fflush(stderr);

    finishedBytes += fileStartSize + fileReceived;
    fileStartSize = 0;
    fileReceived = 0;
    currentUrl.clear();
    startNextDownload();
}

void DownloadManager::verify(const QString& path)
{
    auto* thread = new DVThread(this);
    thread->files.insert(path, QString());
    connect(thread, &DVThread::over, this, &DownloadManager::dealover);
    thread->start(QThread::InheritPriority);
    threads.append(thread);
}

void DownloadManager::dealover(DVThread* thread)
{
    if (!threads.contains(thread))
        return;
    // over is the thread's last act, but its queued delivery can overtake the
    // end of run(): wait for that rather than skip the check.
    thread->wait();
    const QMap<QString, QString> results = thread->results;
    threads.removeOne(thread);
    thread->deleteLater();

    for (auto it = results.constBegin(); it != results.constEnd(); ++it) {
        for (const auto& expected : qAsConst(md5List)) {
            if (!it.key().contains(expected.first) || expected.second == it.value())
                continue;
            QMessageBox box(QMessageBox::Question, QStringLiteral("警告"),
                            QStringLiteral("文件:\n") + it.key() + QStringLiteral("\nmd5:") +
                                it.value() + QStringLiteral("\n real md5:") + expected.second +
                                QStringLiteral("\n校验失败，请联系官方客服。"),
                            QMessageBox::Ok);
            box.button(QMessageBox::Ok)->setText(QStringLiteral("继续"));
            box.exec();
        }
    }
}
