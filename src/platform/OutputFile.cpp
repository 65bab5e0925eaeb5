#include "platform/OutputFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vindral::platform {

namespace {

constexpr int kCreateAttempts = 100;

std::string RandomTag() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    thread_local std::mt19937_64 engine{
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (counter.fetch_add(1) << 32)};
    std::string tag(6, 'A');
    for (char& c : tag) {
        c = kAlphabet[engine() % (sizeof kAlphabet - 1)];
    }
    return tag;
}

int OpenExclusive(const std::string& path) {
#if defined(_WIN32)
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    // The mode is that of any new file: the user's umask applies.
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

int SyncToDisk(std::FILE* stream) {
#if defined(_WIN32)
    return _commit(_fileno(stream));
#else
    return fsync(fileno(stream));
#endif
}

bool RenameOver(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    if (MoveFileExA(from.c_str(), to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return true;
    }
    errno = EACCES;
    return false;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

} // namespace

std::string TemporaryNameFor(const std::string& finalPath, const std::string& tag) {
    const auto slash = finalPath.find_last_of("/\\");
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return finalPath.substr(0, nameStart) + "." + finalPath.substr(nameStart) + "." + tag +
           ".part";
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Fail(int code) {
    error_ = finalPath_ + ": " + std::strerror(code);
}

bool OutputFile::Create(const std::string& finalPath) {
    Discard();
    finalPath_ = finalPath;
    error_.clear();
    int code = EEXIST;
    for (int attempt = 0; attempt < kCreateAttempts && code == EEXIST; ++attempt) {
        const std::string candidate = TemporaryNameFor(finalPath, RandomTag());
        const int fd = OpenExclusive(candidate);
        if (fd < 0) {
            code = errno;
            continue;
        }
#if defined(_WIN32)
        stream_ = _fdopen(fd, "wb");
#else
        stream_ = fdopen(fd, "wb");
#endif
        if (stream_ == nullptr) {
            code = errno;
#if defined(_WIN32)
            _close(fd);
#else
            close(fd);
#endif
            std::remove(candidate.c_str());
            break;
        }
        std::setvbuf(stream_, nullptr, _IONBF, 0);
        temporaryPath_ = candidate;
        return true;
    }
    Fail(code);
    return false;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (stream_ == nullptr) {
        return false;
    }
    errno = 0;
    if (size == 0 || std::fwrite(data, 1, size, stream_) == size) {
        return true;
    }
    Fail(errno != 0 ? errno : EIO);
    return false;
}

bool OutputFile::Commit() {
    if (stream_ == nullptr) {
        return false;
    }
    errno = 0;
    bool ok = std::fflush(stream_) == 0 && SyncToDisk(stream_) == 0;
    int code = errno;
    std::FILE* stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && !RenameOver(temporaryPath_, finalPath_)) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        Fail(code != 0 ? code : EIO);
        std::remove(temporaryPath_.c_str());
    }
    temporaryPath_.clear();
    return ok;
}

void OutputFile::Discard() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temporaryPath_.empty()) {
        std::remove(temporaryPath_.c_str());
        temporaryPath_.clear();
    }
}

bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error) {
    OutputFile file;
    const bool ok = file.Create(path) && file.Write(text.data(), text.size()) && file.Commit();
    error = ok ? std::string() : file.Error();
    return ok;
}

} // namespace vindral::platform
