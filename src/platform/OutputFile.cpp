#include "platform/OutputFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include <filesystem>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace vindral::platform {

namespace {

constexpr int kCreateAttempts = 100;
constexpr std::size_t kTagLength = 6;

std::string RandomTag() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    thread_local std::mt19937_64 engine{
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (counter.fetch_add(1) << 32)};
    std::string tag(kTagLength, 'A');
    for (char& c : tag) {
        c = kAlphabet[engine() % (sizeof kAlphabet - 1)];
    }
    return tag;
}

bool TagCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The file name as the temporary name holds it: whole, or, where the
// temporary name would pass the file systems' 255 bytes (a long title), its
// start, cut between UTF-8 characters.
std::string TemporaryStem(const std::string& fileName) {
    constexpr std::size_t kRoom = 255 - (1 + 1 + kTagLength + 5); // "." name "." tag ".part"
    if (fileName.size() <= kRoom) {
        return fileName;
    }
    std::size_t cut = kRoom;
    while (cut > 0 && (static_cast<unsigned char>(fileName[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return fileName.substr(0, cut);
}

} // namespace

std::string TemporaryNameFor(const std::string& finalPath, const std::string& tag) {
    const auto slash = finalPath.find_last_of("/\\");
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return finalPath.substr(0, nameStart) + "." + TemporaryStem(finalPath.substr(nameStart)) +
           "." + tag + ".part";
}

bool TemporaryFileInUse(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false; // a file open for writing cannot be removed there anyway
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    const bool inUse = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return inUse;
#endif
}

std::vector<std::string> LeftoverTemporaryNames(const std::string& folder,
                                                const std::string& fileName) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    const std::string head = "." + TemporaryStem(fileName) + ".";
    const std::string tail = ".part";
    const std::size_t length = head.size() + kTagLength + tail.size();
    std::error_code error;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() != length || name.compare(0, head.size(), head) != 0 ||
            name.compare(length - tail.size(), tail.size(), tail) != 0 ||
            !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(head.size()),
                         name.end() - static_cast<std::ptrdiff_t>(tail.size()), TagCharacter)) {
            continue;
        }
        std::error_code kindError;
        if (it->symlink_status(kindError).type() == fs::file_type::regular) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

OutputFile::OutputFile(std::shared_ptr<FileSysCalls> calls) : calls_(std::move(calls)) {}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Fail(int code) {
    error_ = finalPath_ + ": " + std::strerror(code);
}

void OutputFile::CloseDescriptor() {
    if (fd_ >= 0) {
        (void)calls_->Close(fd_);
        fd_ = -1;
    }
}

bool OutputFile::Create(const std::string& finalPath) {
    Discard();
    finalPath_ = finalPath;
    error_.clear();
    int code = EEXIST;
    for (int attempt = 0; attempt < kCreateAttempts && code == EEXIST; ++attempt) {
        const std::string candidate = TemporaryNameFor(finalPath, RandomTag());
        // The mode is that of any new file: the user's umask applies.
        const int fd = calls_->Open(candidate, ExclusiveCreateFlags(), 0666);
        if (fd < 0) {
            code = -fd;
            continue;
        }
        fd_ = fd;
        temporaryPath_ = candidate;
#ifndef _WIN32
        // Held until the descriptor is closed: the file is in use.
        (void)::flock(fd, LOCK_EX | LOCK_NB);
#endif
        return true;
    }
    Fail(code);
    return false;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (fd_ < 0) {
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const long taken = calls_->Write(fd_, bytes, size);
        if (taken <= 0) {
            Fail(taken < 0 ? static_cast<int>(-taken) : ENOSPC);
            return false;
        }
        bytes += taken;
        size -= static_cast<std::size_t>(taken);
    }
    return true;
}

bool OutputFile::SeekTo(uint64_t offset) {
    if (fd_ < 0) {
        return false;
    }
    const int result = calls_->SeekTo(fd_, offset);
    if (result < 0) {
        Fail(-result);
        return false;
    }
    return true;
}

bool OutputFile::Commit() {
    if (fd_ < 0) {
        return false;
    }
    // Flushed to the disk before the rename, so that after a crash the final
    // name holds either the old file or the whole new one.
    int result = calls_->Sync(fd_);
    const int closed = calls_->Close(fd_);
    fd_ = -1;
    if (result >= 0) {
        result = closed;
    }
    if (result >= 0) {
        result = calls_->Rename(temporaryPath_, finalPath_);
    }
    if (result < 0) {
        Fail(-result);
        (void)calls_->Unlink(temporaryPath_);
    }
    temporaryPath_.clear();
    return result >= 0;
}

void OutputFile::Discard() {
    CloseDescriptor();
    if (!temporaryPath_.empty()) {
        (void)calls_->Unlink(temporaryPath_);
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
