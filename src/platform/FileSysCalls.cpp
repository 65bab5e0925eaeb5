#include "platform/FileSysCalls.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vindral::platform {

namespace {

int Negated(int code) { return code > 0 ? -code : -EIO; }

class RealCalls final : public FileSysCalls {
public:
    int Open(const std::string& path, int flags, int mode) override {
#if defined(_WIN32)
        const int fd = _open(path.c_str(), flags, mode);
#else
        int fd;
        do {
            fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
        } while (fd < 0 && errno == EINTR);
#endif
        return fd >= 0 ? fd : Negated(errno);
    }

    long Write(int fd, const void* data, std::size_t size) override {
#if defined(_WIN32)
        const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
        const int written = _write(fd, data, chunk);
        return written >= 0 ? written : Negated(errno);
#else
        ssize_t written;
        do {
            written = ::write(fd, data, size);
        } while (written < 0 && errno == EINTR);
        return written >= 0 ? static_cast<long>(written) : Negated(errno);
#endif
    }

    int SeekTo(int fd, uint64_t offset) override {
#if defined(_WIN32)
        return _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0 ? 0 : Negated(errno);
#else
        return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0 ? 0 : Negated(errno);
#endif
    }

    int Sync(int fd) override {
#if defined(_WIN32)
        return _commit(fd) == 0 ? 0 : Negated(errno);
#else
        return ::fsync(fd) == 0 ? 0 : Negated(errno);
#endif
    }

    int Close(int fd) override {
#if defined(_WIN32)
        return _close(fd) == 0 ? 0 : Negated(errno);
#else
        // After EINTR the descriptor is gone on Linux: never close it twice.
        return ::close(fd) == 0 || errno == EINTR ? 0 : Negated(errno);
#endif
    }

    int Rename(const std::string& from, const std::string& to) override {
#if defined(_WIN32)
        if (MoveFileExA(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
            return 0;
        }
        return -EACCES;
#else
        return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : Negated(errno);
#endif
    }

    int Unlink(const std::string& path) override {
        return std::remove(path.c_str()) == 0 ? 0 : Negated(errno);
    }
};

} // namespace

std::shared_ptr<FileSysCalls> RealFileSysCalls() {
    static const std::shared_ptr<FileSysCalls> calls = std::make_shared<RealCalls>();
    return calls;
}

int ExclusiveCreateFlags() {
#if defined(_WIN32)
    return _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY;
#else
    return O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
#endif
}

WholeFile ReadWholeFile(const std::string& path, std::size_t maxBytes) {
    WholeFile file;
    auto fail = [&file, &path](const std::string& reason) {
        file.error = path + ": " + reason;
        return file;
    };
#if defined(_WIN32)
    const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
#endif
    if (fd < 0) {
        file.missing = errno == ENOENT;
        return fail(std::strerror(errno));
    }
    struct CloseOnReturn {
        int fd;
        ~CloseOnReturn() {
#if defined(_WIN32)
            _close(fd);
#else
            ::close(fd);
#endif
        }
    } closer{fd};
#if defined(_WIN32)
    struct _stat64 info {};
    if (_fstat64(fd, &info) != 0) {
        return fail(std::strerror(errno));
    }
    const bool regular = (info.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return fail(std::strerror(errno));
    }
    const bool regular = S_ISREG(info.st_mode);
#endif
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    if (!regular) {
        return fail("not a regular file");
    }
    if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > maxBytes) {
        return fail(tooLarge);
    }
    // The file may grow while it is read: read one byte past the limit at most.
    std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) {
            if (text.size() > maxBytes) {
                return fail(tooLarge);
            }
            text.resize(std::min(maxBytes + 1, text.size() * 2 + 4096));
        }
#if defined(_WIN32)
        const std::size_t room = std::min<std::size_t>(text.size() - filled, 0x40000000u);
        const int got = _read(fd, text.data() + filled, static_cast<unsigned>(room));
#else
        const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
#endif
        if (got < 0) {
            return fail(std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    if (filled > maxBytes) {
        return fail(tooLarge);
    }
    text.resize(filled);
    file.text = std::move(text);
    file.ok = true;
    return file;
}

} // namespace vindral::platform
