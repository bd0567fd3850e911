#pragma once

// A folder whose room for new data runs out on demand, for tests of a full
// disk. Tmpfs: the folder becomes a small tmpfs; this needs root and a mount
// namespace of the suite's own (enterOwnMountNamespace, first thing in main:
// entered later, it would hold for the calling thread only). FileSizeLimit:
// every file the process writes is limited in size (RLIMIT_FSIZE, SIGXFSZ
// ignored), which gives a file that starts empty the same room.
//
//   SmallDisk disk(SmallDisk::Tmpfs, tmp.path());
//   disk.fill(4096);   // one page left: longer writes fail
//   disk.release();    // room again

#include <QString>

class SmallDisk
{
public:
    enum Kind { Tmpfs, FileSizeLimit };

    static bool enterOwnMountNamespace();

    SmallDisk(Kind kind, const QString& folder);
    ~SmallDisk(); // unmounts (the content goes with it) or lifts the limit

    bool isReady() const { return ready; }
    QString errorString() const { return error; }
    bool fill(qint64 bytes); // whole pages on a tmpfs
    void release();

private:
    Kind kind;
    QString folder;
    bool ready = false;
    bool limited = false;
    QString error;
};
