#pragma once

// A folder whose room for new data runs out on demand, for tests of a full
// disk.
//
// Tmpfs: the folder becomes a small tmpfs. This needs root and a mount
// namespace of the suite's own, so that the mount is seen by no other
// process: call SmallDisk::enterOwnMountNamespace() first thing in main,
// while the process has a single thread (a namespace entered later would hold
// for the calling thread only).
//
// FileSizeLimit: a limit on the size of every file the process writes
// (RLIMIT_FSIZE, with SIGXFSZ ignored, so a write past it fails with EFBIG
// instead of ending the process). It needs no privileges; a file that starts
// empty gets as much room as with the tmpfs.
//
// Example:
//   SmallDisk disk(SmallDisk::Tmpfs, tmp.path());
//   QVERIFY2(disk.isReady(), qPrintable(disk.errorString()));
//   QVERIFY(disk.fill(4096));   // about one page left for new data
//   ...                         // writes fail with "no space"
//   disk.release();             // room again

#include <QString>

class SmallDisk
{
public:
    enum Kind { Tmpfs, FileSizeLimit };

    // True when the process now has a mount namespace of its own.
    static bool enterOwnMountNamespace();

    SmallDisk(Kind kind, const QString& folder);
    ~SmallDisk(); // unmounts (the content goes with it) or lifts the limit

    bool isReady() const { return ready; }
    QString errorString() const { return error; }

    // Leaves room for about `bytes` of new data (whole pages on a tmpfs).
    bool fill(qint64 bytes);
    // Gives the room back.
    void release();

private:
    Kind kind;
    QString folder;
    bool ready = false;
    bool mounted = false;
    bool limited = false;
    QString error;
};
