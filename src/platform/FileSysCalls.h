// The system calls of the file code, behind one small interface so that tests
// can make any of them fail, or watch what was asked of them, without a full
// disk or a hostile folder at hand. The drive layer has its own.
//
// Convention: every call returns a value >= 0 on success and the negated
// errno on failure, the way the kernel itself answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vindral::platform {

class FileSysCalls {
public:
    virtual ~FileSysCalls() = default;

    // open(2) with the platform's own flags and mode: the descriptor or -errno.
    virtual int Open(const std::string& path, int flags, int mode) = 0;
    // write(2): the bytes taken (possibly fewer than asked) or -errno.
    virtual long Write(int fd, const void* data, std::size_t size) = 0;
    // lseek(2) to an absolute offset: 0 or -errno.
    virtual int SeekTo(int fd, uint64_t offset) = 0;
    // fsync(2): 0 or -errno.
    virtual int Sync(int fd) = 0;
    // close(2): 0 or -errno.
    virtual int Close(int fd) = 0;
    // rename(2), replacing what stands at `to`: 0 or -errno.
    virtual int Rename(const std::string& from, const std::string& to) = 0;
    // unlink(2): 0 or -errno.
    virtual int Unlink(const std::string& path) = 0;
};

// The machine's real system calls.
std::shared_ptr<FileSysCalls> RealFileSysCalls();

// The flags with which OutputFile creates its temporary file: write only,
// created, and exclusive, so that nothing already at the name (a file, a
// symbolic link) is ever written through.
int ExclusiveCreateFlags();

// A file read whole.
struct WholeFile {
    bool ok = false;
    bool missing = false; // no file at the path (ok is false)
    std::string text;
    // Without ok: "<path>: <reason>" ("not a regular file", "larger than N
    // bytes", or the system's reason).
    std::string error;
};

// Reads a regular file whole, at most `maxBytes` of it. The file is opened
// without blocking and checked before anything is read, so that a FIFO, a
// device or a folder at the path is refused at once instead of waited on or
// read for ever.
WholeFile ReadWholeFile(const std::string& path, std::size_t maxBytes);

} // namespace vindral::platform
