#pragma once

// What the suites that drive the real launcher program share: files and
// trees, the local content stack (nginx), run folders as a player unpacks
// them, launcher processes and the check of an installed game.

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "testfiles.h"

class QProcess;

namespace harness
{

bool writeJson(const QString& path, const QJsonObject& object);
// Relative paths of every file below dir, sorted.
QStringList filesBelow(const QString& dir);
bool copyTree(const QString& from, const QString& to);
// The file list (patchfiles.json text) with the entry named name listing
// bytes as its content: size and MD5 follow them.
QByteArray relisted(const QByteArray& fileList, const QString& name, const QByteArray& bytes);
// Replaces a published file of a step in place, keeping its list true.
bool replaceListedFile(const QString& contentDir, const QString& step, const QString& name,
                       const QByteArray& bytes);
// Runs a program to its end; a failure is logged unless quiet.
bool runProgram(const QString& program, const QStringList& args, QString* output = nullptr,
                bool quiet = false, int timeout = 120000);

class LauncherRuns : public QObject
{
    Q_OBJECT

public:
    // launcher: the program to copy into each run folder; stack: the content
    // stack's script; ports: content A, content B, portal, tracking, as the
    // program was built with.
    LauncherRuns(const QString& work, const QString& launcher, const QString& stack,
                 const QStringList& ports, QObject* parent = nullptr);
    ~LauncherRuns() override;

    // Why a suite cannot run here (no display, a program missing), or empty.
    static QString unmetNeed(const QStringList& programs);
    // A fresh work folder with the sample game in its versions and the
    // content published from them; a stack left by an interrupted run stops.
    // With a signing key, the content and what the stack serves are signed.
    bool setUp(const QString& sampleGame, const QString& publisher, int largeMb,
               const QString& signKey = QString());
    // Signs a file changed on purpose again, as name below root, when the
    // content is signed.
    bool resign(const QString& root, const QString& name);
    // Keeps one client on the X server for the suite's lifetime: a server
    // that resets when its last client leaves refuses a launcher started in
    // that moment, right after another one was killed.
    void holdDisplay();

    bool startStack(const QString& contentDir, const QStringList& extra = {});
    void stopStack();
    qint64 stackLogSize(const QString& name) const;
    QString stackLogSince(const QString& name, qint64 offset) const;

    // A folder with the launcher in it, optionally with a game version
    // installed beside it. A new folder replaces one of the same name.
    QString newRunFolder(const QString& name, int installed);
    // Started in dir; with a home, HOME (and the download folder below it)
    // points there.
    QProcess* startLauncher(const QString& dir, const QString& home = QString(),
                            const QStringList& args = {});
    void killLauncher(QProcess* p); // SIGKILL: nothing of the launcher runs after this
    // A launcher that ended because the X server refused its connection,
    // which a loaded Xvfb does now and then, is started again (three times at
    // most): that is a start to repeat, not a result. Returns the launcher.
    QProcess* restartIfRefused(QProcess* p, const QString& dir, const QString& home, int* refusals);
    void killAllLaunchers();
    // What a poll of a running launcher finds: nothing yet, success (empty)
    // or what went wrong.
    using Verdict = std::optional<QString>;
    // Starts a launcher in dir (home as for startLauncher) and polls it every
    // pollMs until verdict gives one. A refused start is repeated; a launcher
    // that ends without a verdict is "the launcher ended"; past timeoutMs the
    // problem is overdue() and the title of any box shown. The launcher is
    // killed at the end, unless kept takes it after a success. args go to
    // the launcher.
    QString runLauncher(const QString& dir, const QString& home, int pollMs, int timeoutMs,
                        const std::function<Verdict(QProcess*)>& verdict,
                        const std::function<QString()>& overdue, QProcess** kept = nullptr,
                        const QStringList& args = {});

    QString launcherLog(const QString& dir) const;
    // A visible window of the launcher process: its main window (1112 x 696
    // pixels) or, with mainWindow false, any other one such as a box. Empty
    // until it is up.
    static QString visibleWindow(QProcess* p, bool mainWindow);
    // The launcher of dir reported "update_finish" (or event) to the stack's
    // tracking endpoint: the update is complete and the start button enabled.
    bool finished(const QString& dir, const QString& event = QStringLiteral("update_finish")) const;
    // The title of window id, or empty.
    static QString windowName(const QString& id);
    // Empty when the game folder of dir holds exactly version, byte for byte,
    // plus localversion.json at that version and not patching, and nothing
    // temporary is left; otherwise what is wrong.
    QString installProblem(const QString& dir, int version) const;
    // Files below the run folder dir that a run has no business making:
    // anything outside the game folder, the patch folder, the player's
    // profile (home/) and the launcher's own files.
    static QStringList strayFiles(const QString& dir);
    // Empty when every game file of dir is byte-equal to the same file of
    // some published version; otherwise the first file that is not.
    QString wrongFileProblem(const QString& dir) const;

    QString work;
    QString versions;
    QString content;
    QString stackRun;
    QStringList ports;

private:
    QString launcher;
    QString stack;
    QString publisher;
    QString signKey;
    QList<QProcess*> launchers;
    QProcess* displayHolder = nullptr;
    QHash<QProcess*, QString> outputs; // launcher.out of each launcher
    bool stackUp = false;
};

} // namespace harness
