#include "launcherharness.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>

namespace harness
{

bool writeJson(const QString& path, const QJsonObject& object)
{
    return writeAll(path, QJsonDocument(object).toJson());
}

QStringList filesBelow(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(dir).relativeFilePath(it.next()));
    files.sort();
    return files;
}

bool copyTree(const QString& from, const QString& to)
{
    for (const QString& rel : filesBelow(from)) {
        QDir().mkpath(QFileInfo(to + QLatin1Char('/') + rel).absolutePath());
        if (!QFile::copy(from + QLatin1Char('/') + rel, to + QLatin1Char('/') + rel))
            return false;
    }
    return true;
}

QByteArray relisted(const QByteArray& fileList, const QString& name, const QByteArray& bytes)
{
    QJsonObject list = QJsonDocument::fromJson(fileList).object();
    QJsonArray files = list.value(QStringLiteral("filelist")).toArray();
    for (int i = 0; i < files.size(); ++i) {
        QJsonObject e = files.at(i).toObject();
        if (e.value(QStringLiteral("name")).toString() != name)
            continue;
        e.insert(QStringLiteral("size"), bytes.size());
        e.insert(
            QStringLiteral("md5"),
            QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()));
        files[i] = e;
    }
    list.insert(QStringLiteral("filelist"), files);
    return QJsonDocument(list).toJson();
}

bool replaceListedFile(const QString& contentDir, const QString& step, const QString& name,
                       const QByteArray& bytes)
{
    const QString listPath =
        contentDir + QLatin1Char('/') + step + QStringLiteral("/patchfiles.json");
    QString local = name;
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return writeAll(contentDir + QLatin1Char('/') + step + QLatin1Char('/') + local, bytes) &&
           writeAll(listPath, relisted(readAll(listPath), name, bytes));
}

bool runProgram(const QString& program, const QStringList& args, QString* output, bool quiet,
                int timeout)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ended = p.waitForFinished(timeout);
    const QString text = QString::fromLocal8Bit(p.readAll());
    if (output)
        *output = text;
    if (!ended || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (!quiet)
            qWarning().noquote() << program << args.join(QLatin1Char(' ')) << "failed:" << text;
        return false;
    }
    return true;
}

LauncherRuns::LauncherRuns(const QString& w, const QString& l, const QString& s,
                           const QStringList& p, QObject* parent)
    : QObject(parent), work(w), versions(w + QStringLiteral("/versions")),
      content(w + QStringLiteral("/content")), stackRun(w + QStringLiteral("/stack")), ports(p),
      launcher(l), stack(s)
{
}

LauncherRuns::~LauncherRuns()
{
    killAllLaunchers();
    if (displayHolder) {
        displayHolder->kill();
        displayHolder->waitForFinished(5000);
    }
    if (stackUp)
        stopStack();
}

QString LauncherRuns::unmetNeed(const QStringList& programs)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("needs an X display (scripts/test runs the suite under Xvfb)");
    for (const QString& program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty() &&
            QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin")}).isEmpty())
            return program + QStringLiteral(" is missing: run scripts/setup");
    }
    return QString();
}

bool LauncherRuns::setUp(const QString& sampleGame, const QString& publisherProgram, int largeMb,
                         const QString& key)
{
    publisher = publisherProgram;
    signKey = key;
    stopStack();
    QDir(work).removeRecursively();
    if (!QDir().mkpath(work) ||
        !runProgram(sampleGame, {QStringLiteral("--large-mb"), QString::number(largeMb), versions}))
        return false;
    QString summary;
    const QStringList signing =
        signKey.isEmpty() ? QStringList() : QStringList{QStringLiteral("--sign"), signKey};
    if (!runProgram(publisher, signing + QStringList{versions, content}, &summary))
        return false;
    qDebug().noquote() << summary;
    return true;
}

void LauncherRuns::holdDisplay()
{
    if (displayHolder)
        return;
    // Waits for a window that never appears, connected all the while.
    displayHolder = new QProcess(this);
    displayHolder->start(QStringLiteral("xdotool"),
                         {QStringLiteral("search"), QStringLiteral("--sync"),
                          QStringLiteral("--name"), QStringLiteral("drevna-no-such-window")});
    displayHolder->waitForStarted(5000);
}

bool LauncherRuns::startStack(const QString& contentDir, const QStringList& extra)
{
    stopStack();
    QStringList args{stack,
                     QStringLiteral("start"),
                     QStringLiteral("--run"),
                     stackRun,
                     QStringLiteral("--content"),
                     contentDir,
                     QStringLiteral("--ports"),
                     ports.join(QLatin1Char(','))};
    if (!signKey.isEmpty())
        args += {QStringLiteral("--sign"), signKey, QStringLiteral("--publisher"), publisher};
    args += extra;
    stackUp = runProgram(QStringLiteral("bash"), args);
    return stackUp;
}

bool LauncherRuns::resign(const QString& root, const QString& name)
{
    return signKey.isEmpty() ||
           runProgram(publisher, {QStringLiteral("sign"), signKey, QStringLiteral("--root"), root,
                                  root + QLatin1Char('/') + name});
}

void LauncherRuns::stopStack()
{
    runProgram(QStringLiteral("bash"),
               {stack, QStringLiteral("stop"), QStringLiteral("--run"), stackRun});
    stackUp = false;
}

qint64 LauncherRuns::stackLogSize(const QString& name) const
{
    return QFileInfo(stackRun + QLatin1Char('/') + name).size();
}

QString LauncherRuns::stackLogSince(const QString& name, qint64 offset) const
{
    return QString::fromUtf8(readAll(stackRun + QLatin1Char('/') + name).mid(int(offset)));
}

QString LauncherRuns::newRunFolder(const QString& name, int installed)
{
    QString folder = name;
    folder.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]+")), QStringLiteral("-"));
    const QString dir = work + QStringLiteral("/runs/") + folder;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    if (!QFile::copy(launcher, dir + QStringLiteral("/launcher")))
        return QString();
    // As new as the launcher the version file announces: no self-update.
    writeAll(dir + QStringLiteral("/setting.ini"), "[version]\nversion=1\n");
    if (installed > 0) {
        const QString game = dir + QStringLiteral("/Drevna");
        if (!copyTree(versions + QLatin1Char('/') + QString::number(installed), game))
            return QString();
        QJsonObject local;
        local.insert(QStringLiteral("version"), installed);
        local.insert(QStringLiteral("start_apply_patch"), false);
        writeJson(game + QStringLiteral("/localversion.json"), local);
    }
    return dir;
}

QProcess* LauncherRuns::startLauncher(const QString& dir, const QString& home,
                                      const QStringList& args)
{
    auto* p = new QProcess(this);
    p->setWorkingDirectory(dir);
    p->setProcessChannelMode(QProcess::MergedChannels);
    // Each launcher's own output, so that it can be judged alone.
    const QString out = QStringLiteral("%1/launcher-%2.out").arg(dir).arg(launchers.size());
    QFile::remove(out);
    outputs.insert(p, out);
    p->setStandardOutputFile(out);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    if (!env.contains(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS")))
        env.insert(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"), QStringLiteral("--disable-gpu"));
    // The single-instance lock keys on a file in the temporary folder; one
    // of these launchers' own keeps launchers of other test runs on this
    // machine (in other IPC namespaces) from removing or renewing it.
    const QString tmp = work + QStringLiteral("/tmp");
    QDir().mkpath(tmp);
    env.insert(QStringLiteral("TMPDIR"), tmp);
    if (!home.isEmpty()) {
        env.insert(QStringLiteral("HOME"), home);
        env.remove(QStringLiteral("XDG_DOWNLOAD_DIR"));
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
    }
    p->setProcessEnvironment(env);
    p->start(dir + QStringLiteral("/launcher"), args);
    p->waitForStarted(10000);
    launchers.append(p);
    return p;
}

void LauncherRuns::killLauncher(QProcess* p)
{
    if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(10000);
    }
}

void LauncherRuns::killAllLaunchers()
{
    for (QProcess* p : qAsConst(launchers))
        killLauncher(p);
    qDeleteAll(launchers);
    launchers.clear();
}

QProcess* LauncherRuns::restartIfRefused(QProcess* p, const QString& dir, const QString& home,
                                         int* refusals)
{
    if (p->state() != QProcess::NotRunning || *refusals >= 3 ||
        !readAll(outputs.value(p)).contains("could not connect to display"))
        return p;
    ++*refusals;
    return startLauncher(dir, home, p->arguments());
}

QString LauncherRuns::runLauncher(const QString& dir, const QString& home, int pollMs,
                                  int timeoutMs, const std::function<Verdict(QProcess*)>& verdict,
                                  const std::function<QString()>& overdue, QProcess** kept,
                                  const QStringList& args)
{
    QProcess* p = startLauncher(dir, home, args);
    int refusals = 0;
    QElapsedTimer t;
    t.start();
    Verdict v;
    while (!(v = verdict(p))) {
        p = restartIfRefused(p, dir, home, &refusals);
        if (p->state() == QProcess::NotRunning) {
            // Its last moments may have given the verdict.
            v = verdict(p);
            if (!v)
                v = QStringLiteral("the launcher ended");
            break;
        }
        if (t.elapsed() > timeoutMs) {
            // A box (such as the one of a second instance) explains a silent launcher.
            const QString box = windowName(visibleWindow(p, false));
            v = overdue() + (box.isEmpty() ? QString() : QStringLiteral(", box: ") + box);
            break;
        }
        QTest::qWait(pollMs);
    }
    if (kept && v->isEmpty())
        *kept = p;
    else
        killLauncher(p);
    return *v;
}

QString LauncherRuns::launcherLog(const QString& dir) const
{
    return QString::fromUtf8(readAll(dir + QStringLiteral("/log.txt")));
}

QString LauncherRuns::visibleWindow(QProcess* p, bool mainWindow)
{
    QString ids;
    runProgram(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                QString::number(p->processId())},
               &ids, true);
    for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QString geometry;
        runProgram(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), id}, &geometry,
                   true);
        if (geometry.contains(QStringLiteral("1112x696")) == mainWindow)
            return id.trimmed();
    }
    return QString();
}

bool LauncherRuns::finished(const QString& dir, const QString& event) const
{
    const QByteArray id = readAll(dir + QStringLiteral("/clientid.txt"));
    if (id.isEmpty())
        return false;
    const QString needle = QStringLiteral("clientid=") +
                           QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(id))) +
                           QStringLiteral("&name=") + event + QLatin1Char('&');
    return stackLogSince(QStringLiteral("tracking.log"), 0).contains(needle);
}

QString LauncherRuns::windowName(const QString& id)
{
    QString title;
    if (id.isEmpty() ||
        !runProgram(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), id}, &title, true))
        return QString();
    return title.trimmed();
}

QString LauncherRuns::installProblem(const QString& dir, int version) const
{
    const QString game = dir + QStringLiteral("/Drevna");
    const QJsonObject local = readJson(game + QStringLiteral("/localversion.json"));
    if (local.value(QStringLiteral("version")).toInt() != version)
        return QStringLiteral("localversion.json holds version %1")
            .arg(local.value(QStringLiteral("version")).toInt());
    if (local.value(QStringLiteral("start_apply_patch")).toBool())
        return QStringLiteral("localversion.json still patching");
    const QString source = versions + QLatin1Char('/') + QString::number(version);
    QStringList expected = filesBelow(source);
    expected.append(QStringLiteral("localversion.json"));
    expected.sort();
    QStringList present = filesBelow(game);
    present.removeOne(QStringLiteral("contentsequence.json")); // the signed content's record
    if (present != expected)
        return QStringLiteral("game files: %1").arg(present.join(QLatin1Char(' ')));
    for (const QString& rel : filesBelow(source)) {
        if (readAll(game + QLatin1Char('/') + rel) != readAll(source + QLatin1Char('/') + rel))
            return rel + QStringLiteral(" differs");
    }
    if (QFileInfo::exists(dir + QStringLiteral("/Patch")))
        return QStringLiteral("patch folder left behind");
    for (const QString& rel : filesBelow(dir)) {
        if (rel.endsWith(QLatin1String("_bak")) || rel.endsWith(QLatin1String("_full")))
            return rel + QStringLiteral(" left behind");
    }
    return QString();
}

QStringList LauncherRuns::strayFiles(const QString& dir)
{
    static const QStringList own{QStringLiteral("launcher"), QStringLiteral("setting.ini"),
                                 QStringLiteral("log.txt"), QStringLiteral("clientid.txt")};
    static const QRegularExpression allowed(
        QStringLiteral("^(Drevna/|Patch/|home/|launcher-[0-9]+\\.out$)"));
    QStringList stray;
    for (const QString& rel : filesBelow(dir)) {
        if (!own.contains(rel) && !allowed.match(rel).hasMatch())
            stray << rel;
    }
    return stray;
}

QString LauncherRuns::wrongFileProblem(const QString& dir) const
{
    const QString game = dir + QStringLiteral("/Drevna");
    const QStringList released = QDir(versions).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& rel : filesBelow(game)) {
        if (rel == QLatin1String("localversion.json") ||
            rel == QLatin1String("contentsequence.json") || rel.endsWith(QLatin1String("_bak")))
            continue;
        const QByteArray bytes = readAll(game + QLatin1Char('/') + rel);
        bool known = false;
        for (const QString& v : released) {
            const QString path = versions + QLatin1Char('/') + v + QLatin1Char('/') + rel;
            known = known || (QFileInfo::exists(path) && readAll(path) == bytes);
        }
        if (!known)
            return rel + QStringLiteral(" matches no released version");
    }
    return QString();
}

} // namespace harness
