#include "update/patchmanager.h"

// Stub: filled in by the update engine work.
PatchManager::PatchManager(QObject* parent) : QObject(parent) {}
PatchManager::~PatchManager() = default;
void PatchManager::init(UpdateDisplay* w, const QString& b, const QString& p, const QString& g)
{
    window = w;
    baseUrl = b;
    patchDir = p;
    gameDir = g;
}
void PatchManager::start() {}
void PatchManager::switchState(int newState) { state = newState; }
void PatchManager::setError(int code, const QString& text)
{
    errorCode = code;
    errorText = text;
}
void PatchManager::loadLocalVersion() {}
void PatchManager::saveLocalVersion() {}
void PatchManager::loadLocalPatchChain() {}
bool PatchManager::saveLocalPatchChain(const PatchChain&) { return false; }
void PatchManager::addPatchFiles(const QJsonObject&, const QString&, const QString&) {}
QMap<int, PatchStep> PatchManager::buildPatchMap(const QJsonObject&, bool) { return {}; }
PatchChain PatchManager::findPatchChain(const QJsonObject&, int, bool, int& result)
{
    result = 0;
    return {};
}
void PatchManager::checkUpdate() {}
void PatchManager::onUpdateRemotePatchConfig(const QJsonObject&) {}
void PatchManager::fetchNextPatchFiles() {}
void PatchManager::downloadNextPatchFile() {}
void PatchManager::downloadFileResumable(PatchThread*, const QString&, DownloadFileInfo,
                                         std::function<void(bool, bool)> onDone)
{
    onDone(false, false);
}
void PatchManager::startPatching(bool, int) {}
void PatchManager::httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                           ReplyCallback onReadyRead, ProgressCallback onProgress)
{
    http.httpGet(url, headers, onFinished, onReadyRead, onProgress);
}
void PatchManager::timerEvent(QTimerEvent*) {}
void PatchManager::tick() {}
void PatchManager::showDownloadState() {}
void PatchManager::showPatchState() {}
void PatchManager::cleanup() {}
void fetchJson(PatchManager* manager, const QString& url, JsonCallback onJson)
{
    fetchJson(&manager->http, url, onJson);
}
QString fileMd5(const QString&) { return QString(); }
