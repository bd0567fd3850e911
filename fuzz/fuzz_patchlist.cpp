// patchlist.json as the patch-list handler reads it, then the chain search
// from the installed versions that matter for it.
#include "engineprobe.h"
#include "fuzzsupport.h"

#include "update/patchmanager.h"

#include <QJsonArray>
#include <QSet>
#include <climits>

namespace
{

// Installed versions worth trying: none, each listed version and its
// neighbours, each step's start, the extremes.
QList<int> localVersions(const QJsonObject& list)
{
    QSet<qint64> wanted{0, 1, INT_MAX};
    auto add = [&wanted](const QJsonObject& step) {
        for (const char* key : {"version", "preversion"}) {
            const qint64 v = step.value(QLatin1String(key)).toInt();
            wanted << v << v - 1 << v + 1;
        }
    };
    add(list.value(QLatin1String("fullversion")).toObject());
    const QJsonObject steps = list.value(QLatin1String("patchversion")).toObject();
    for (auto it = steps.begin(); it != steps.end() && wanted.size() < 64; ++it)
        add(it.value().toObject());
    QList<int> versions;
    for (qint64 v : wanted) {
        if (v >= 0 && v <= INT_MAX)
            versions << int(v);
    }
    return versions;
}

// Lists up to this many steps are also searched by brute force.
constexpr int BruteForceSteps = 7;

// Any order of distinct steps, newest being the list's newest, each leading
// from the next one, every one past the installed version, the last starting
// at the installed version or from nothing. The map holds one step per
// version, so at most one such order exists.
bool bruteForceChain(const QList<PatchStep>& steps, int local, PatchChain& chain, QList<bool>& used)
{
    const PatchStep& last = chain.last();
    if (last.preVersion == local || last.preVersion == 0)
        return true;
    for (int i = 0; i < steps.size(); ++i) {
        if (used[i] || steps[i].version != last.preVersion || steps[i].version <= local)
            continue;
        used[i] = true;
        chain << steps[i];
        if (bruteForceChain(steps, local, chain, used))
            return true;
        chain.removeLast();
        used[i] = false;
    }
    return false;
}

// What the search must answer: its result, and for result 0 its chain.
int expectedChain(PatchManager& manager, const QJsonObject& list, int local, bool full,
                  PatchChain& chain)
{
    chain.clear();
    const QList<PatchStep> steps = manager.buildPatchMap(list, full).values();
    if (steps.isEmpty())
        return full ? 1 : 0;
    const PatchStep top = steps.last();
    if (local >= top.version)
        return 0;
    QList<bool> used;
    for (const PatchStep& step : steps)
        used << (step.version == top.version);
    chain << top;
    if (bruteForceChain(steps, local, chain, used))
        return 0;
    if (full)
        return 2;
    const int result = expectedChain(manager, list, 0, true, chain);
    return result == 0 && chain.isEmpty() ? 2 : result;
}

void checkChain(PatchManager& manager, const QJsonObject& list, int local)
{
    probe(manager).localVersion = QJsonObject{{QLatin1String("version"), local}};
    probe(manager).remoteVersion = 0;
    int result = -1;
    const PatchChain chain = manager.findPatchChain(list, local, local == 0, result);
    FUZZ_CHECK(result == 0 || result == 1 || result == 2);
    if (manager.buildPatchMap(list, false).size() <= BruteForceSteps) {
        PatchChain expected;
        FUZZ_CHECK(expectedChain(manager, list, local, local == 0, expected) == result);
        if (result == 0)
            FUZZ_CHECK(chain == expected);
    }
    if (result == 1)
        FUZZ_CHECK(chain.isEmpty());
    if (result != 0)
        return;

    if (chain.isEmpty()) {
        // "Nothing to do" only when no listed step leads past the installed
        // version.
        const QMap<int, PatchStep> steps = manager.buildPatchMap(list, local == 0);
        FUZZ_CHECK(steps.isEmpty() || steps.lastKey() <= local);
        return;
    }
    // Newest first, each step starting where the next older one ends, the
    // oldest starting at the installed version or from nothing.
    FUZZ_CHECK(chain.first().version == probe(manager).remoteVersion);
    QSet<int> seen;
    for (int i = 0; i < chain.size(); ++i) {
        FUZZ_CHECK(!seen.contains(chain[i].version));
        seen << chain[i].version;
        if (i + 1 < chain.size())
            FUZZ_CHECK(chain[i].preVersion == chain[i + 1].version);
    }
    FUZZ_CHECK(chain.last().preVersion == local || chain.last().preVersion == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PatchManager manager;
    const QJsonObject list = parseJsonObject(QString::fromUtf8(fuzzBytes(data, size)));
    // The handler ends an empty or foreign document with an error of its own.
    if (list.isEmpty())
        return 0;
    for (int local : localVersions(list))
        checkChain(manager, list, local);
    return 0;
}
