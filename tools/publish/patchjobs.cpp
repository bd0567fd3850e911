// Encodes and proves the patches of a publication in parallel, within one
// memory bound, with the same bytes whatever the number of threads.
#include "patchjobs.h"

#include "patch/patchfile.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace publish
{

namespace
{

constexpr qint64 MiB = 1024 * 1024;
// What the launcher's decoder needs to prove a patch, and the buffers of
// joining and recoding.
constexpr qint64 ProofMemory = 96 * MiB;
// The fast encoder holds the old file and indexes a 64 MiB window.
constexpr qint64 FastWindow = 64 * MiB;

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// Jobs with dependencies, run by a few threads. A job starts only when the
// memory of all running jobs and held reservations stays within the bound,
// or when nothing else runs. Files already begun go first, then the larger.
class Scheduler
{
public:
    struct Job {
        std::function<bool(QString*)> run;
        qint64 memory = 0;
        int group = -1;   // reservation it needs, held until its last user ends
        qint64 rank = 0;  // larger first
        qint64 work = 0;  // share of the whole besides matching, for the time left
        qint64 bytes = 0; // new-file bytes it completes, when they are not counted live
        bool endsFile = false;
        std::vector<int> next;
        int waiting = 0;
        bool started = false;
    };

    int addGroup(qint64 memory)
    {
        groups.push_back({memory, 0, false});
        return int(groups.size()) - 1;
    }

    int add(Job job, const std::vector<int>& after = {})
    {
        const int id = int(jobs.size());
        job.waiting = int(after.size());
        if (job.group >= 0)
            ++groups[size_t(job.group)].users;
        totalWork += job.work;
        totalBytes += job.bytes;
        totalFiles += job.endsFile ? 1 : 0;
        jobs.push_back(std::move(job));
        for (int a : after)
            jobs[size_t(a)].next.push_back(id);
        return id;
    }

    struct Progress {
        qint64 work, totalWork, bytes, totalBytes;
        int files, totalFiles;
    };

    bool run(int threads, qint64 bound, const std::function<void(const Progress&)>& tick,
             QString* error)
    {
        this->bound = bound;
        remaining = int(jobs.size());
        std::vector<std::thread> workers;
        for (int i = 0; i < threads; ++i)
            workers.emplace_back([this] { work(); });
        {
            std::unique_lock<std::mutex> lock(mutex);
            while (remaining > 0 && !(failed && running == 0)) {
                changed.wait_for(lock, std::chrono::milliseconds(200));
                const Progress p{doneWork, totalWork, doneBytes, totalBytes, doneFiles, totalFiles};
                lock.unlock();
                if (tick)
                    tick(p);
                lock.lock();
            }
            stopping = true;
            changed.notify_all();
        }
        for (std::thread& t : workers)
            t.join();
        if (failed)
            return fail(error, firstError);
        return true;
    }

private:
    struct Group {
        qint64 memory;
        int users;
        bool reserved;
    };

    qint64 need(const Job& j) const
    {
        const bool reserve = j.group >= 0 && !groups[size_t(j.group)].reserved;
        return j.memory + (reserve ? groups[size_t(j.group)].memory : 0);
    }

    // The best ready job that fits, or -1.
    int pick() const
    {
        int best = -1;
        for (size_t i = 0; i < jobs.size(); ++i) {
            const Job& j = jobs[i];
            if (j.started || j.waiting > 0 || (running > 0 && used + need(j) > bound))
                continue;
            if (best < 0) {
                best = int(i);
                continue;
            }
            const Job& b = jobs[size_t(best)];
            const bool jBegun = j.group >= 0 && groups[size_t(j.group)].reserved;
            const bool bBegun = b.group >= 0 && groups[size_t(b.group)].reserved;
            if (jBegun != bBegun ? jBegun : j.rank > b.rank)
                best = int(i);
        }
        return best;
    }

    void work()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            int id = -1;
            while (!stopping && !failed && (id = pick()) < 0)
                changed.wait(lock);
            if (stopping || failed)
                return;
            Job& j = jobs[size_t(id)];
            j.started = true;
            const qint64 taken = need(j);
            used += taken;
            if (j.group >= 0)
                groups[size_t(j.group)].reserved = true;
            ++running;
            lock.unlock();
            QString why;
            const bool ok = j.run(&why);
            lock.lock();
            --running;
            used -= j.memory;
            if (j.group >= 0 && --groups[size_t(j.group)].users == 0)
                used -= groups[size_t(j.group)].memory;
            if (!ok && !failed) {
                failed = true;
                firstError = why;
            }
            doneWork += j.work;
            doneBytes += j.bytes;
            doneFiles += j.endsFile ? 1 : 0;
            for (int n : j.next)
                --jobs[size_t(n)].waiting;
            --remaining;
            changed.notify_all();
        }
    }

    std::vector<Job> jobs;
    std::vector<Group> groups;
    std::mutex mutex;
    std::condition_variable changed;
    qint64 bound = 0, used = 0;
    int running = 0, remaining = 0;
    bool failed = false, stopping = false;
    QString firstError;
    qint64 totalWork = 0, doneWork = 0, totalBytes = 0, doneBytes = 0;
    int totalFiles = 0, doneFiles = 0;
};

// The old file as the encoders read it: mapped, never copied.
struct OldFile {
    QFile file;
    const uchar* data = nullptr;

    bool open(const QString& path, QString* error)
    {
        file.setFileName(path);
        if (file.open(QIODevice::ReadOnly))
            data = file.map(0, file.size());
        return data || fail(error, QStringLiteral("%1: cannot be read").arg(path));
    }
};

struct Candidate {
    Secondary kind;
    QString path;
    qint64 size;
};

QByteArray header(const PatchRequest& r)
{
    return "PPAK" + r.oldMd5.toLatin1() + r.newMd5.toLatin1();
}

bool openOut(QFile& f, const QString& path, const QByteArray& start, QString* error)
{
    f.setFileName(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(start) != start.size())
        return fail(error, QStringLiteral("%1: cannot be written").arg(path));
    return true;
}

bool closeOut(QFile& f, QString* error)
{
    if (!f.flush())
        return fail(error, QStringLiteral("%1: cannot be written").arg(f.fileName()));
    f.close();
    return true;
}

// Everything one file's patch goes through, shared by its jobs.
struct FileTask {
    PatchRequest request;
    PatchSettings settings;
    qint64 window = 0;
    int pieces = 1;
    std::shared_ptr<const SourceIndex> index;
    std::atomic<int> piecesLeft{0};
    std::atomic<qint64>* matched = nullptr;
    PatchResult* result = nullptr;

    QString candidatePath(Secondary s) const
    {
        return request.patchPath + QLatin1Char('.') + secondaryName(s);
    }
    QString piecePath(int piece, Secondary s) const
    {
        return request.patchPath + QStringLiteral(".%1.").arg(piece) + secondaryName(s);
    }
    qint64 pieceStart(int piece) const { return qMin(request.newSize, piece * PieceSize); }

    // The compressors tried on each piece. FGK keeps one model across a
    // whole stream, so it is tried on the joined stream instead.
    static QList<Secondary> pieceKinds()
    {
        return {Secondary::None, Secondary::Djw, Secondary::DjwOneGroup};
    }

    bool buildIndex(QString* error)
    {
        OldFile old;
        if (!old.open(request.oldPath, error))
            return false;
        // Without an index each piece indexes the old file itself: slower,
        // the patch as good.
        index = buildSourceIndex(old.data, request.oldSize, window, nullptr);
        return true;
    }

    // One piece, encoded and recoded into its part of each candidate.
    bool piece(int k, QString* error)
    {
        OldFile old;
        QBuffer plain;
        plain.open(QIODevice::ReadWrite);
        if (!old.open(request.oldPath, error) ||
            !encodePiece(old.data, request.oldSize, request.newPath, pieceStart(k),
                         pieceStart(k + 1), window, index.get(), &plain, matched, error))
            return false;
        plain.seek(0);
        std::vector<std::unique_ptr<QFile>> files;
        QList<QPair<Secondary, QIODevice*>> outs;
        for (Secondary s : pieceKinds()) {
            files.emplace_back(new QFile);
            if (!openOut(*files.back(), piecePath(k, s), {}, error))
                return false;
            outs.append({s, files.back().get()});
        }
        // The last piece frees the index, whose memory is then given back.
        if (--piecesLeft == 0)
            index.reset();
        if (!recode(&plain, outs, k > 0, true, error))
            return false;
        for (auto& f : files) {
            if (!closeOut(*f, error))
                return false;
        }
        return true;
    }

    // The pieces joined into candidates, FGK added, the smallest proved.
    bool finish(QString* error)
    {
        for (Secondary s : pieceKinds()) {
            QFile out;
            if (!openOut(out, candidatePath(s), header(request), error))
                return false;
            for (int k = 0; k < pieces; ++k) {
                QFile part(piecePath(k, s));
                if (!part.open(QIODevice::ReadOnly))
                    return fail(error, QStringLiteral("%1: cannot be read").arg(part.fileName()));
                while (!part.atEnd()) {
                    const QByteArray chunk = part.read(4 * MiB);
                    if (chunk.isEmpty() || out.write(chunk) != chunk.size())
                        return fail(error,
                                    QStringLiteral("%1: cannot be written").arg(out.fileName()));
                }
                part.close();
                part.remove();
            }
            if (!closeOut(out, error))
                return false;
        }
        return addFgk(error) && choose(error);
    }

    // A file in one piece, all in one job.
    bool single(QString* error)
    {
        OldFile old;
        QFile plain;
        if (!old.open(request.oldPath, error) ||
            !openOut(plain, candidatePath(Secondary::None), header(request), error) ||
            !encodePiece(old.data, request.oldSize, request.newPath, 0, request.newSize, window,
                         nullptr, &plain, matched, error) ||
            !closeOut(plain, error))
            return false;
        QList<Secondary> kinds = pieceKinds();
        kinds.removeFirst();
        kinds.append(Secondary::Fgk);
        return recodeCandidate(kinds, error) && choose(error);
    }

    bool addFgk(QString* error) { return recodeCandidate({Secondary::Fgk}, error); }

    // Recodes the plain candidate into the given kinds of candidate.
    bool recodeCandidate(const QList<Secondary>& kinds, QString* error)
    {
        QFile plain(candidatePath(Secondary::None));
        if (!plain.open(QIODevice::ReadOnly) || !plain.seek(PatchHeaderSize))
            return fail(error, QStringLiteral("%1: cannot be read").arg(plain.fileName()));
        std::vector<std::unique_ptr<QFile>> files;
        QList<QPair<Secondary, QIODevice*>> outs;
        for (Secondary s : kinds) {
            files.emplace_back(new QFile);
            if (!openOut(*files.back(), candidatePath(s), header(request), error))
                return false;
            outs.append({s, files.back().get()});
        }
        if (!recode(&plain, outs, false, request.newSize > TargetWindow, error))
            return false;
        for (auto& f : files) {
            if (!closeOut(*f, error))
                return false;
        }
        return true;
    }

    // Today's encoder, for --fast.
    bool fast(QString* error)
    {
        if (createPatchFile(QFile::encodeName(request.oldPath), QFile::encodeName(request.newPath),
                            QFile::encodeName(candidatePath(Secondary::None))) != 0)
            return fail(error, QStringLiteral("delta encoding failed for %1").arg(request.newPath));
        return choose(error);
    }

    // The smallest candidate that the launcher's decoder turns into the new
    // file becomes the patch; a patch not smaller than the file is dropped
    // when the smaller is preferred.
    bool choose(QString* error)
    {
        QList<Candidate> candidates;
        for (Secondary s :
             {Secondary::None, Secondary::Djw, Secondary::DjwOneGroup, Secondary::Fgk}) {
            const QFileInfo info(candidatePath(s));
            if (info.exists())
                candidates.append({s, info.filePath(), info.size()});
        }
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) { return a.size < b.size; });
        bool kept = false;
        for (const Candidate& c : qAsConst(candidates)) {
            if (kept || (settings.preferSmaller && c.size >= request.newSize)) {
                QFile::remove(c.path);
                continue;
            }
            // applyPatchFile succeeds only when the decoded bytes have the
            // MD5 of the header, which is the new file's.
            const QString probe = request.patchPath + QStringLiteral(".check");
            const bool same =
                applyPatchFile(QFile::encodeName(request.oldPath), QFile::encodeName(c.path),
                               QFile::encodeName(probe), {}) == 0;
            QFile::remove(probe);
            if (!same) {
                QFile::remove(c.path);
                continue;
            }
            QFile::remove(request.patchPath);
            if (!QFile::rename(c.path, request.patchPath))
                return fail(error, QStringLiteral("%1: cannot be written").arg(request.patchPath));
            result->size = c.size;
            result->secondary = c.kind;
            result->md5 = md5OfFile(QFile::encodeName(request.patchPath));
            kept = true;
        }
        if (kept)
            return true;
        if (settings.preferSmaller &&
            std::all_of(candidates.begin(), candidates.end(),
                        [&](const Candidate& c) { return c.size >= request.newSize; })) {
            result->whole = true;
            return true;
        }
        return fail(error, QStringLiteral("patch does not reproduce %1").arg(request.newPath));
    }
};

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / 1e6, 'f', 1);
}

} // namespace

qint64 windowBound(qint64 memoryBound)
{
    qint64 window = MaxSourceWindow;
    while (window > MiB && indexMemory(window) + StreamMemory > memoryBound)
        window /= 2;
    return window;
}

bool makePatches(const QList<PatchRequest>& requests, const PatchSettings& settings,
                 QList<PatchResult>* results, QString* error)
{
    results->clear();
    for (int i = 0; i < requests.size(); ++i)
        results->append(PatchResult());
    if (requests.isEmpty())
        return true;
    const qint64 maxWindow = windowBound(settings.memoryBound);
    Scheduler scheduler;
    // New-file bytes matched so far, counted by the encoders as they go.
    std::atomic<qint64> matched{0};
    qint64 toMatch = 0;
    std::vector<std::shared_ptr<FileTask>> tasks;
    for (int i = 0; i < requests.size(); ++i) {
        auto task = std::make_shared<FileTask>();
        task->request = requests.at(i);
        task->settings = settings;
        task->result = &(*results)[i];
        task->matched = &matched;
        const PatchRequest& r = task->request;
        const qint64 rank = r.newSize + r.oldSize;
        if (settings.fast) {
            Scheduler::Job job;
            job.run = [task](QString* e) { return task->fast(e); };
            job.memory = r.oldSize + 2 * FastWindow + ProofMemory;
            job.rank = rank;
            job.work = job.bytes = r.newSize;
            job.endsFile = true;
            scheduler.add(std::move(job));
            tasks.push_back(task);
            continue;
        }
        task->window = sourceWindow(r.oldSize, maxWindow);
        // Pieces share one index, which covers the old file only when the
        // window does.
        if (r.newSize > PieceSize && task->window >= r.oldSize)
            task->pieces = int((r.newSize + PieceSize - 1) / PieceSize);
        // Indexing costs a tenth to a third of matching, per byte of old and
        // new file (binaries match slower than noise); joining, FGK and the
        // proof about a quarter.
        const qint64 indexWork = r.oldSize / 4, finishWork = r.newSize / 4;
        toMatch += r.newSize;
        if (task->pieces == 1) {
            Scheduler::Job job;
            job.run = [task](QString* e) { return task->single(e); };
            job.memory = indexMemory(task->window) + StreamMemory + ProofMemory;
            job.rank = rank;
            job.work = indexWork + finishWork;
            job.endsFile = true;
            scheduler.add(std::move(job));
            tasks.push_back(task);
            continue;
        }
        task->piecesLeft = task->pieces;
        const int group = scheduler.addGroup(indexMemory(task->window));
        Scheduler::Job index;
        index.run = [task](QString* e) { return task->buildIndex(e); };
        index.memory = StreamMemory;
        index.group = group;
        index.rank = rank;
        index.work = indexWork;
        const int indexId = scheduler.add(std::move(index));
        std::vector<int> pieceIds;
        for (int k = 0; k < task->pieces; ++k) {
            Scheduler::Job piece;
            piece.run = [task, k](QString* e) { return task->piece(k, e); };
            piece.memory = StreamMemory + 2 * PieceSize;
            piece.group = group;
            piece.rank = rank;

            pieceIds.push_back(scheduler.add(std::move(piece), {indexId}));
        }
        Scheduler::Job finish;
        finish.run = [task](QString* e) { return task->finish(e); };
        finish.memory = ProofMemory;
        finish.rank = rank;
        finish.work = finishWork;
        finish.endsFile = true;
        scheduler.add(std::move(finish), pieceIds);
        tasks.push_back(task);
    }

    QElapsedTimer clock;
    clock.start();
    qint64 lastLine = 0;
    auto tick = [&](const Scheduler::Progress& p) {
        const qint64 now = clock.elapsed();
        const qint64 bytes = p.bytes + matched, work = p.work + matched;
        const qint64 totalWork = p.totalWork + toMatch;
        if (!settings.progress || now - lastLine < settings.progressSeconds * 1000 ||
            p.files == p.totalFiles)
            return;
        lastLine = now;
        QString left = QStringLiteral("time left unknown");
        if (work > totalWork / 20)
            left = QStringLiteral("about %1 s left")
                       .arg(qint64(double(now) * double(totalWork - work) / work / 1000 + 1));
        settings.progress(QStringLiteral("patches: %1/%2 files, %3 of %4 MB, %5")
                              .arg(p.files)
                              .arg(p.totalFiles)
                              .arg(megabytes(bytes), megabytes(p.totalBytes + toMatch), left));
    };
    const int threads = settings.threads > 0 ? settings.threads : QThread::idealThreadCount();
    if (!scheduler.run(qMax(1, threads), settings.memoryBound, tick, error))
        return false;
    return true;
}

} // namespace publish
