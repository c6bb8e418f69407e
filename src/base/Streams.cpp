// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Streams.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

std::string SysErrorMessage(int err) {
    return std::strerror(err);
}

int64_t TStream::Size() {
    int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    std::vector<uint8_t> buf(1 << 16);
    int64_t total = 0;
    for (;;) {
        size_t want = buf.size();
        if (count > 0) want = static_cast<size_t>(std::min<int64_t>(want, count - total));
        if (want == 0) break;
        size_t got = source.Read(buf.data(), want);
        if (got == 0) {
            if (count > 0) throw EReadError("Stream read error");
            break;
        }
        WriteBuffer(buf.data(), got);
        total += static_cast<int64_t>(got);
    }
    return total;
}

// ---- TMemoryStream

size_t TMemoryStream::Read(void* buffer, size_t count) {
    if (FPos >= FData.size()) return 0;
    size_t n = std::min(count, FData.size() - FPos);
    std::memcpy(buffer, FData.data() + FPos, n);
    FPos += n;
    return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
    if (count == 0) return 0;
    if (FPos + count > FData.size()) FData.resize(FPos + count);
    std::memcpy(FData.data() + FPos, buffer, count);
    FPos += count;
    return count;
}

static int64_t ResolveSeek(int64_t pos, int64_t size, int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0
                   : origin == TSeekOrigin::soCurrent ? pos
                                                      : size;
    int64_t target = base + offset;
    if (target < 0) throw EReadError("Stream seek error");
    return target;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPos = static_cast<size_t>(ResolveSeek(static_cast<int64_t>(FPos),
                                           static_cast<int64_t>(FData.size()), offset, origin));
    return static_cast<int64_t>(FPos);
}

void TMemoryStream::LoadFromStream(TStream& source) {
    FData.clear();
    FPos = 0;
    if (source.Seekable()) source.SetPosition(0);
    CopyFrom(source, 0);
    FPos = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    FData = ReadWholeFile(fileName);
    FPos = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    TAtomicFileStream out(fileName);
    out.WriteBuffer(FData.data(), FData.size());
    out.Commit();
}

// ---- TReadOnlyMemoryStream

size_t TReadOnlyMemoryStream::Read(void* buffer, size_t count) {
    if (FPos >= FSize) return 0;
    size_t n = std::min(count, FSize - FPos);
    std::memcpy(buffer, FData + FPos, n);
    FPos += n;
    return n;
}

size_t TReadOnlyMemoryStream::Write(const void*, size_t) {
    throw EWriteError("Stream write error");
}

int64_t TReadOnlyMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPos = static_cast<size_t>(
        ResolveSeek(static_cast<int64_t>(FPos), static_cast<int64_t>(FSize), offset, origin));
    return static_cast<int64_t>(FPos);
}

// ---- TFileStream

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : FFileName(fileName) {
    if (mode == TFileMode::fmOpenRead) {
        FHandle = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (FHandle < 0)
            throw EFOpenError(Format("Cannot open file %s. %s", fileName.c_str(),
                                     SysErrorMessage(errno).c_str()));
    } else {
        FHandle = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0)
            throw EFCreateError(Format("Cannot create file %s. %s", fileName.c_str(),
                                       SysErrorMessage(errno).c_str()));
    }
    struct stat st {};
    FSeekable = ::fstat(FHandle, &st) == 0 && S_ISREG(st.st_mode);
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

size_t TFileStream::Read(void* buffer, size_t count) {
    size_t total = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    while (total < count) {
        ssize_t n = ::read(FHandle, p + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EReadError(Format("Stream read error. %s", SysErrorMessage(errno).c_str()));
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    return total;
}

static void WriteAll(int fd, const void* buffer, size_t count) {
    auto* p = static_cast<const uint8_t*>(buffer);
    size_t total = 0;
    while (total < count) {
        ssize_t n = ::write(fd, p + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EWriteError(Format("Stream write error. %s", SysErrorMessage(errno).c_str()));
        }
        total += static_cast<size_t>(n);
    }
}

size_t TFileStream::Write(const void* buffer, size_t count) {
    WriteAll(FHandle, buffer, count);
    return count;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    off_t r = ::lseek(FHandle, offset, whence);
    if (r < 0) throw EReadError("Stream seek error");
    return r;
}

// ---- TAtomicFileStream

static std::string ResolveLinkTarget(const std::string& fileName) {
    // A symbolic-link destination is replaced at its target, not the link itself.
    std::string name = fileName;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return name;
        std::vector<char> buf(PATH_MAX + 1);
        ssize_t n = ::readlink(name.c_str(), buf.data(), PATH_MAX);
        if (n <= 0) return name;
        std::string target(buf.data(), static_cast<size_t>(n));
        if (!target.empty() && target[0] != '/') {
            size_t slash = name.rfind('/');
            if (slash != std::string::npos) target = name.substr(0, slash + 1) + target;
        }
        name = target;
    }
    return name;
}

namespace {

thread_local bool GNoReplace = false;

// The temporary files in flight, readable from a signal handler: fixed slots,
// each claimed with an atomic flag and holding a NUL-terminated name.
constexpr int TempSlotCount = 256;
struct TTempSlot {
    std::atomic<bool> Used{false};
    char Name[PATH_MAX];
};
TTempSlot GTempSlots[TempSlotCount];

int ClaimTempSlot(const std::string& name) {
    if (name.size() >= PATH_MAX) return -1;
    for (int i = 0; i < TempSlotCount; ++i) {
        bool expected = false;
        if (!GTempSlots[i].Used.load(std::memory_order_relaxed) &&
            GTempSlots[i].Used.compare_exchange_strong(expected, true)) {
            // The flag is taken before the name is complete: a handler that runs
            // in between unlinks a half-written name, which names nothing of ours.
            std::memcpy(GTempSlots[i].Name, name.c_str(), name.size() + 1);
            return i;
        }
    }
    return -1; // more files in flight than slots: that one is not cleaned up on a signal
}

void ReleaseTempSlot(int slot) {
    if (slot >= 0) GTempSlots[slot].Used.store(false);
}

extern "C" void RemoveTemporaryFilesAndExit(int signal) {
    for (TTempSlot& slot : GTempSlots)
        if (slot.Used.load()) ::unlink(slot.Name);
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Short, so that a destination name near the file system's limit still has room.
std::string TemporaryName(const std::string& folder) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, ".trevasco-%012llx.tmp",
                  static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
    return folder + name;
}

} // namespace

TNoReplaceScope::TNoReplaceScope(bool active) : FPrevious(GNoReplace) {
    if (active) GNoReplace = true;
}

TNoReplaceScope::~TNoReplaceScope() {
    GNoReplace = FPrevious;
}

void InstallTemporaryFileCleanup() {
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryFilesAndExit;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

TAtomicFileStream::TAtomicFileStream(const std::string& fileName)
    : FFileName(ResolveLinkTarget(fileName)) {
    struct stat existing {};
    bool exists = ::stat(FFileName.c_str(), &existing) == 0;
    if (exists && GNoReplace) throw EDestinationExists(Format("%s exists", fileName.c_str()));
    if (exists && ::access(FFileName.c_str(), W_OK) != 0)
        throw EFCreateError(Format("Cannot create file %s", fileName.c_str()));
    size_t slash = FFileName.rfind('/');
    std::string folder =
        slash == std::string::npos ? std::string() : FFileName.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100 && FHandle < 0; ++attempt) {
        FTempName = TemporaryName(folder);
        FSlot = ClaimTempSlot(FTempName);
        FHandle = ::open(FTempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (FHandle < 0) {
            const int err = errno;
            ReleaseTempSlot(FSlot);
            FSlot = -1;
            errno = err;
            if (err != EEXIST) break;
        }
    }
    if (FHandle < 0)
        throw EFCreateError(
            Format("Cannot create file %s. %s", fileName.c_str(), SysErrorMessage(errno).c_str()));
    if (exists) {
        ::fchmod(FHandle, existing.st_mode & 07777);
        // Replacing by rename would make root the owner of someone else's file.
        if (::geteuid() == 0 && ::fchown(FHandle, existing.st_uid, existing.st_gid) == 0)
            ::fchmod(FHandle, existing.st_mode & 07777);
    }
}

TAtomicFileStream::~TAtomicFileStream() {
    if (FHandle >= 0) ::close(FHandle);
    if (!FCommitted && !FTempName.empty()) ::unlink(FTempName.c_str());
    ReleaseTempSlot(FSlot);
}

size_t TAtomicFileStream::Read(void*, size_t) {
    throw EReadError("Stream read error");
}

size_t TAtomicFileStream::Write(const void* buffer, size_t count) {
    WriteAll(FHandle, buffer, count);
    return count;
}

int64_t TAtomicFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    off_t r = ::lseek(FHandle, offset, whence);
    if (r < 0) throw EWriteError("Stream seek error");
    return r;
}

void TAtomicFileStream::Commit() {
    if (FCommitted) return;
    int fd = FHandle;
    FHandle = -1;
    if (::close(fd) != 0)
        throw EWriteError(Format("Stream write error. %s", SysErrorMessage(errno).c_str()));
    if (GNoReplace) {
        CommitWithoutReplacing();
    } else if (::rename(FTempName.c_str(), FFileName.c_str()) != 0) {
        throw EFCreateError(
            Format("Cannot create file %s. %s", FFileName.c_str(), SysErrorMessage(errno).c_str()));
    }
    FCommitted = true;
    ReleaseTempSlot(FSlot);
    FSlot = -1;
}

void TAtomicFileStream::CommitWithoutReplacing() {
    // A hard link fails on an existing name, atomically; the temporary name goes after.
    if (::link(FTempName.c_str(), FFileName.c_str()) != 0) {
        const int err = errno;
        if (err == EEXIST) throw EDestinationExists(Format("%s exists", FFileName.c_str()));
        // File systems without hard links: check, then rename (a narrow window remains).
        if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP && err != EXDEV)
            throw EFCreateError(Format("Cannot create file %s. %s", FFileName.c_str(),
                                       SysErrorMessage(err).c_str()));
        struct stat st {};
        if (::lstat(FFileName.c_str(), &st) == 0)
            throw EDestinationExists(Format("%s exists", FFileName.c_str()));
        if (::rename(FTempName.c_str(), FFileName.c_str()) != 0)
            throw EFCreateError(Format("Cannot create file %s. %s", FFileName.c_str(),
                                       SysErrorMessage(errno).c_str()));
        return;
    }
    ::unlink(FTempName.c_str());
}

std::vector<uint8_t> ReadWholeFile(const std::string& fileName) {
    TFileStream f(fileName, TFileMode::fmOpenRead);
    struct stat st {};
    std::vector<uint8_t> data;
    if (::fstat(f.Handle(), &st) == 0 && S_ISREG(st.st_mode)) {
        data.resize(static_cast<size_t>(st.st_size));
        size_t got = f.Read(data.data(), data.size());
        data.resize(got); // a file shrinking under us yields what is there
        return data;
    }
    TMemoryStream m;
    m.CopyFrom(f, 0);
    return std::move(m.Data());
}
