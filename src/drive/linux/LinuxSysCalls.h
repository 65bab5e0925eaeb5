// The system calls of the Linux pass-through backend, behind one small
// interface so that the backend runs against a fake kernel in the tests (the
// build machines have no /dev/sr* nodes).
//
// Convention: every call returns a value >= 0 on success and the negated
// errno on failure, the way the kernel itself answers.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vindral::linuxdrive {

class LinuxSysCalls {
public:
    virtual ~LinuxSysCalls() = default;

    // open(2): the file descriptor, or -errno.
    virtual int Open(const std::string& path, int flags) = 0;
    // close(2): 0 or -errno.
    virtual int Close(int fd) = 0;
    // ioctl(2) with a pointer argument: the ioctl's result (>= 0) or -errno.
    virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
    // Reads a whole (sysfs) file, at most maxBytes of it: 0 or -errno.
    virtual int ReadFile(const std::string& path, std::size_t maxBytes,
                         std::vector<uint8_t>& contents) = 0;
    // The entry names of a directory, without "." and "..": 0 or -errno.
    virtual int ListDirectory(const std::string& path, std::vector<std::string>& names) = 0;
    // The name of the group that owns a file (stat(2) and the group
    // database): 0 or -errno.
    virtual int FileGroup(const std::string& /*path*/, std::string& /*group*/) { return -ENOSYS; }
};

// The machine's real system calls.
std::shared_ptr<LinuxSysCalls> RealLinuxSysCalls();

} // namespace vindral::linuxdrive
