#pragma once

// Verify and repair: the game folder is hashed against the newest full
// package's list on a thread of its own, and the files that differ go to the
// engine's download loop, which installs them as an update's "add"s.

#include "base/updatetypes.h"

#include <QList>
#include <QString>
#include <atomic>

class PatchManager;
class QNetworkReply;
class QThread;
class UpdateDisplay;
namespace contentsig
{
class Signature;
}

class GameRepair
{
public:
    explicit GameRepair(PatchManager& engine) : engine(engine) {}
    ~GameRepair();

    // Asked for while an update ran; begins once it has finished.
    bool pending = false;
    // A repair is under way (or the update it waits for, begun by it).
    bool running = false;

    // Fetches the patch list; an installed version older than the newest is
    // updated first, with the repair pending behind it.
    void begin();
    // The display while the game folder is hashed.
    void showProgress(UpdateDisplay& window) const;
    // The end of a repair's run: its event, and the text the player sees.
    QString finish();
    // Ends the hashing and waits for its thread.
    void stop();

private:
    void onListReply(QNetworkReply* reply, const contentsig::Signature& signature);
    void onFileList(QNetworkReply* reply, const contentsig::Signature& signature,
                    const PatchStep& step);
    void onVerified(const QList<DownloadFileInfo>& differing);

    PatchManager& engine;
    int repairedFiles = 0;
    // Hashes the game files; read by the display while it runs.
    QThread* verifier = nullptr;
    std::atomic<bool> stopVerifying{false};
    std::atomic<int> verifiedFiles{0};
    std::atomic<qint64> verifiedBytes{0};
    int listedFiles = 0;
    qint64 listedBytes = 0;
};
