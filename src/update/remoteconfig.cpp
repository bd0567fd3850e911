// The network half of a check: the patch list, then each step's file list.
#include "app/updatedisplay.h"
#include "services/contentsignature.h"
#include "update/patchmanager.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>

void PatchManager::onPatchListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = r->url().toString();
    if (r->error() != QNetworkReply::NoError) {
        qDebug() << "download " << url << "error:" << r->errorString();
        r->deleteLater();
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    const QByteArray body = r->readAll();
    // Checked before it is parsed: a refused list counts as an unreadable one.
    const QJsonObject list =
        signature.admits(body, url) ? parseJsonObject(QString::fromUtf8(body)) : QJsonObject();
    if (list.isEmpty() || !reachesInstalledVersion(list, url)) {
        setError(2, QStringLiteral("%1 解码错误").arg(url));
        return;
    }
    onUpdateRemotePatchConfig(list);
}

bool PatchManager::reachesInstalledVersion(const QJsonObject& list, const QString& url)
{
    // Unsigned content proves nothing either way; signed, an older list
    // would hold the player on the version it names for good.
    if (!contentsig::required())
        return true;
    int newest = 0;
    for (const bool full : {true, false}) {
        const QMap<int, PatchStep> steps = buildPatchMap(list, full);
        newest = qMax(newest, steps.isEmpty() ? 0 : steps.lastKey());
    }
    const int installed = localVersion.value(QLatin1String("version")).toInt();
    if (newest >= installed)
        return true;
    qDebug().noquote() << QStringLiteral("patch list newest version %1 below installed %2: %3")
                              .arg(newest)
                              .arg(installed)
                              .arg(url);
    return false;
}

void PatchManager::onUpdateRemotePatchConfig(const QJsonObject& list)
{
    qDebug().noquote() << "onUpdateRemotePatchConfig:"
                       << QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
    const int local = localVersion.value(QLatin1String("version")).toInt();
    int result = 0;
    chain = findPatchChain(list, local, local == 0, result);
    if (result != 0) {
        setError(4, QStringLiteral("补丁校验失败"));
        return;
    }
    if (chain.isEmpty()) {
        // A run killed between its last file and the cleanup leaves its
        // folder behind, and no later run would clean it up.
        if (!patchDir.isEmpty() && QFileInfo::exists(patchDir)) {
            qDebug() << "remove leftover patch folder" << patchDir;
            removePatchDir();
        }
        switchState(7);
        return;
    }
    if (window) {
        window->killProcessByName(QStringLiteral("Drevna.exe"));
        window->killProcessByName(QStringLiteral("Drevna-Win64-Shipping.exe"));
    }
    switchState(3);
    if (chain.size() == 1 && chain.first().preVersion == 0) {
        localVersion.insert(QLatin1String("version"), 0);
        saveLocalVersion();
        if (state == 8)
            return;
    }
    chainIndex = -1;
    fetchNextPatchFiles();
}

void PatchManager::fetchNextPatchFiles()
{
    chainIndex += 1;
    if (chainIndex < chain.size()) {
        const QString url =
            baseUrl + QLatin1Char('/') + chain[chainIndex].path + QLatin1String("/patchfiles.json");
        // The step's path becomes a local folder too.
        if (safeRelativePath(chain[chainIndex].path).isEmpty()) {
            setError(3, QStringLiteral("%1 配置解析失败").arg(url));
            return;
        }
        httpGetSigned(chain[chainIndex].path + QLatin1String("/patchfiles.json"),
                      contentsig::Kind::FileList,
                      [this](QNetworkReply* r, const contentsig::Signature& signature) {
                          onFileListReply(r, signature);
                      });
        return;
    }
    qDebug() << "finish get patch file list";
    downloadIndex = -1;
    switchState(4);
    downloadNextPatchFile();
}

void PatchManager::onFileListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = r->url().toString();
    if (r->error() != QNetworkReply::NoError) {
        qDebug() << "download " << url << "error:" << r->errorString();
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    if (chainIndex < 0 || chainIndex >= chain.size())
        return;
    const QString stepPath = chain[chainIndex].path;
    const QByteArray bytes = r->readAll();
    // A refused list is neither stored nor parsed.
    if (!signature.admits(bytes, url)) {
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }
    const QJsonObject list = parseJsonObject(QString::fromUtf8(bytes));
    // Without its array a list would count as a step of no files, which
    // "applies" and records the step's version over old files.
    if (!list.value(QLatin1String("filelist")).isArray()) {
        qDebug() << "file list without a filelist array:" << url;
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }

    // Every name becomes a local path and every size part of the totals: a
    // list with a refused entry is not stored and nothing of it is downloaded.
    QString refused;
    if (!fileListIsSafe(list, &refused)) {
        qDebug() << "refused file list entry" << refused << "in" << url;
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }

    const QString stored = stepPath + QLatin1String("/patchfiles.json");
    if (!writeFile(patchDir + QLatin1Char('/') + safeRelativePath(stepPath) +
                       QLatin1String("/patchfiles.json"),
                   bytes)) {
        setError(1, QStringLiteral("%1 写入失败").arg(stored));
        return;
    }
    if (list.isEmpty()) {
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }
    addPatchFiles(list, baseUrl, stepPath);
    fetchNextPatchFiles();
}
