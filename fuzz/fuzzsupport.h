#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

// Set-up shared by every target, run by LLVMFuzzerInitialize: an
// application object (the engine's network manager wants one), no log
// output, standard output to /dev/null (the decoder's failure lines would
// drown the fuzzer's own).
void fuzzInit();

QByteArray fuzzBytes(const uint8_t* data, size_t size);
QByteArray md5Hex(const QByteArray& data);

// A broken property is a finding: abort, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond) ((cond) ? void(0) : fuzzFail(#cond, __FILE__, __LINE__))
[[noreturn]] void fuzzFail(const char* what, const char* file, int line);

class QTemporaryDir;
// One folder per process, on tmpfs where there is one: for what the engine
// writes beside a file and renames.
QTemporaryDir& fuzzWorkDir();
void fuzzPut(const QString& path, const QByteArray& bytes);
// path, once cleaned, lies below folder.
bool fuzzInside(const QString& path, const QString& folder);

// A file that lives in memory only, reachable by a path as the engine's
// file-based interfaces want it.
class MemoryFile
{
public:
    explicit MemoryFile(const char* name);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void setContents(const QByteArray& bytes);
    QByteArray contents() const;
    const QByteArray& path() const { return filePath; }

private:
    int fd = -1;
    QByteArray filePath;
};
