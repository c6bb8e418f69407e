// SPDX-License-Identifier: GPL-3.0-or-later
// Byte streams: the common interface the graphics load from and save to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Writes count bytes or throws EWriteError.
    virtual size_t Write(const void* buffer, size_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual bool Seekable() const { return true; }

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    virtual int64_t Size();

    // Exact reads and writes: "Stream read error" / "Stream write error".
    void ReadBuffer(void* buffer, size_t count);
    void WriteBuffer(const void* buffer, size_t count);
    // Copies count bytes from source (all of it from its current position when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A growable block of memory; also used to hold a whole file for the readers.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> data) : FData(std::move(data)) {}
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

    const uint8_t* Memory() const { return FData.data(); }
    std::vector<uint8_t>& Data() { return FData; }
    const std::vector<uint8_t>& Data() const { return FData; }
    void Clear() {
        FData.clear();
        FPos = 0;
    }
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

private:
    std::vector<uint8_t> FData;
    size_t FPos = 0;
};

// A read-only view of bytes someone else owns.
class TReadOnlyMemoryStream : public TStream {
public:
    TReadOnlyMemoryStream(const void* data, size_t size)
        : FData(static_cast<const uint8_t*>(data)), FSize(size) {}
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(FSize); }
    const uint8_t* Memory() const { return FData; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

enum class TFileMode { fmOpenRead, fmCreate };

// A file on disk. fmOpenRead fails with EFOpenError, fmCreate with EFCreateError.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, TFileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    bool Seekable() const override { return FSeekable; }
    int Handle() const { return FHandle; }
    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
    int FHandle = -1;
    bool FSeekable = true;
};

// Writes a destination file safely: the bytes go to a hidden temporary file
// in the destination folder, which replaces the destination only on Commit().
// Destroyed without Commit() it removes the temporary file, so a failed save
// leaves neither a half-written file nor a damaged older one.
class TAtomicFileStream : public TStream {
public:
    explicit TAtomicFileStream(const std::string& fileName);
    ~TAtomicFileStream() override;
    TAtomicFileStream(const TAtomicFileStream&) = delete;
    TAtomicFileStream& operator=(const TAtomicFileStream&) = delete;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void Commit();

private:
    void CommitWithoutReplacing();

    std::string FFileName; // the final name (links resolved)
    std::string FTempName;
    int FHandle = -1;
    int FSlot = -1; // in the list a signal handler cleans up
    bool FCommitted = false;
};

// While one lives on a thread, the atomic file streams of that thread never
// replace an existing file: Commit fails with EDestinationExists instead, so a
// destination that appeared after it was checked is never overwritten.
class TNoReplaceScope {
public:
    explicit TNoReplaceScope(bool active);
    ~TNoReplaceScope();
    TNoReplaceScope(const TNoReplaceScope&) = delete;
    TNoReplaceScope& operator=(const TNoReplaceScope&) = delete;

private:
    bool FPrevious;
};

// Removes the temporary files of the atomic streams in flight when SIGTERM,
// SIGINT or SIGHUP arrives, then ends the process with that signal.
void InstallTemporaryFileCleanup();

// Reads a whole regular file into memory (readers read, they never map).
std::vector<uint8_t> ReadWholeFile(const std::string& fileName);
