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
          downloadIndex(m.transfers.downloadIndex), inFlight(m.transfers.inFlight),
          onDisk(m.transfers.onDisk), allTotal(m.transfers.allTotal),
          allFinished(m.transfers.allFinished), downloading(m.transfers.downloading),
          downloadFailures(m.transfers.downloadFailures), retryDelayMs(m.transfers.retryDelayMs),
          maxTransfers(m.transfers.maxTransfers), adaptWindowMs(m.transfers.adaptWindowMs)
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
    QHash<int, PatchDownloader::Transfer>& inFlight;
    QHash<int, qint64>& onDisk;
    qint64& allTotal;
    qint64& allFinished;
    bool& downloading;
    int& downloadFailures;
    int& retryDelayMs;
    int& maxTransfers;
    int& adaptWindowMs;
};

inline EngineProbe probe(PatchManager& m)
{
    return EngineProbe(m);
}
