#pragma once

#include "update/patchmanager.h"

// Plants and reads the update engine's private state for tests, fuzz
// targets and benchmarks: probe(manager).state = 4.
struct EngineProbe {
    explicit EngineProbe(PatchManager& m)
        : baseUrl(m.baseUrl), patchDir(m.patchDir), gameDir(m.gameDir), window(m.window),
          http(m.http), state(m.state), chain(m.chain), chainIndex(m.chainIndex),
          errorCode(m.errorCode), errorText(m.errorText), localVersion(m.records.localVersion),
          patchThread(m.patchThread), remoteVersion(m.remoteVersion), recheckCount(m.recheckCount),
          patchProgress(m.patchProgress), downloads(m.transfers.downloads),
          downloadIndex(m.transfers.downloadIndex), fileStartTime(m.transfers.fileStartTime),
          fileReceived(m.transfers.fileReceived), fileTotal(m.transfers.fileTotal),
          allTotal(m.transfers.allTotal), allFinished(m.transfers.allFinished),
          fileResumeBase(m.transfers.fileResumeBase), downloading(m.transfers.downloading),
          downloadFailures(m.transfers.downloadFailures), roundReceived(m.transfers.roundReceived),
          retryDelayMs(m.transfers.retryDelayMs), maxTransfers(m.transfers.maxTransfers)
    {
    }

    // "update_finish" is sent once per process; each test is a process of its own.
    static void resetUpdateFinish() { PatchManager::updateFinishSent = false; }

    QString& baseUrl;
    QString& patchDir;
    QString& gameDir;
    UpdateDisplay*& window;
    HttpClient& http;
    int& state;
    PatchChain& chain;
    int& chainIndex;
    int& errorCode;
    QString& errorText;
    QJsonObject& localVersion;
    PatchThread*& patchThread;
    int& remoteVersion;
    int& recheckCount;
    PatchProgress& patchProgress;
    // The download loop's.
    QList<DownloadFileInfo>& downloads;
    int& downloadIndex;
    QElapsedTimer& fileStartTime;
    qint64& fileReceived;
    qint64& fileTotal;
    qint64& allTotal;
    qint64& allFinished;
    qint64& fileResumeBase;
    bool& downloading;
    int& downloadFailures;
    qint64& roundReceived;
    int& retryDelayMs;
    int& maxTransfers;
};

inline EngineProbe probe(PatchManager& m)
{
    return EngineProbe(m);
}
