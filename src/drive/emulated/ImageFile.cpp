#include "drive/emulated/ImageFile.h"

#include <cerrno>
#include <cstring>

#include "platform/FlacReader.h"

#ifdef _WIN32
#include <fstream>
#include <mutex>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vindral::emulated {

namespace {

#ifdef _WIN32

// Windows has no pread: one stream per file, seek and read under a lock.
class StreamImageFile : public ImageFile {
public:
    StreamImageFile(std::ifstream stream, uint64_t size)
        : stream_(std::move(stream)), size_(size) {}

    uint64_t Size() const override { return size_; }

    bool ReadAt(uint64_t offset, void* out, std::size_t length) const override {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        stream_.clear();
        stream_.seekg(static_cast<std::streamoff>(offset));
        stream_.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
        return static_cast<std::size_t>(stream_.gcount()) == length;
    }

private:
    mutable std::mutex mutex_;
    mutable std::ifstream stream_;
    uint64_t size_;
};

#else

class PosixImageFile : public ImageFile {
public:
    PosixImageFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~PosixImageFile() override { ::close(fd_); }
    PosixImageFile(const PosixImageFile&) = delete;
    PosixImageFile& operator=(const PosixImageFile&) = delete;

    uint64_t Size() const override { return size_; }

    bool ReadAt(uint64_t offset, void* out, std::size_t length) const override {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        auto* bytes = static_cast<uint8_t*>(out);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t got = ::pread(fd_, bytes + done, length - done,
                                        static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false; // the file shrank or the device failed
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_;
};

#endif

class MemoryImageFile : public ImageFile {
public:
    explicit MemoryImageFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    uint64_t Size() const override { return bytes_.size(); }

    bool ReadAt(uint64_t offset, void* out, std::size_t length) const override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            return false;
        }
        if (length > 0) {
            std::memcpy(out, bytes_.data() + offset, length);
        }
        return true;
    }

private:
    std::vector<uint8_t> bytes_;
};

// Decoded audio of a FLAC file; the reader locks, so reads from several
// threads take turns.
class FlacPcmImageFile : public ImageFile {
public:
    explicit FlacPcmImageFile(std::unique_ptr<platform::FlacReader> reader)
        : reader_(std::move(reader)), size_(reader_->TotalFrames() * kFrame) {}

    uint64_t Size() const override { return size_; }

    bool ReadAt(uint64_t offset, void* out, std::size_t length) const override {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        if (length == 0) {
            return true;
        }
        const uint64_t first = offset / kFrame;
        const auto skip = static_cast<std::size_t>(offset % kFrame);
        if (skip == 0 && length % kFrame == 0) {
            return reader_->Read(first, length / kFrame, static_cast<uint8_t*>(out));
        }
        // A stretch that starts or ends inside a frame: whole frames, then a cut.
        std::vector<uint8_t> frames((skip + length + kFrame - 1) / kFrame * kFrame);
        if (!reader_->Read(first, frames.size() / kFrame, frames.data())) {
            return false;
        }
        std::memcpy(out, frames.data() + skip, length);
        return true;
    }

private:
    static constexpr std::size_t kFrame = 4;
    std::unique_ptr<platform::FlacReader> reader_;
    uint64_t size_;
};

} // namespace

std::shared_ptr<const ImageFile> OpenFlacImageFile(std::shared_ptr<const ImageFile> flac,
                                                   std::string& reason) {
    const uint64_t size = flac->Size();
    auto readAt = [flac](uint64_t offset, void* out, std::size_t length) {
        return flac->ReadAt(offset, out, length);
    };
    platform::FlacFault fault = platform::FlacFault::kNone;
    auto reader = platform::FlacReader::Open(size, readAt, fault, reason);
    if (!reader) {
        return nullptr;
    }
    return std::make_shared<FlacPcmImageFile>(std::move(reader));
}

std::shared_ptr<const ImageFile> OpenImageFile(const std::string& path, std::string& reason) {
#ifdef _WIN32
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        reason = "cannot be opened";
        return nullptr;
    }
    stream.seekg(0, std::ios::end);
    const auto end = stream.tellg();
    if (end < 0) {
        reason = "cannot be read";
        return nullptr;
    }
    return std::make_shared<StreamImageFile>(std::move(stream), static_cast<uint64_t>(end));
#else
    // Non-blocking, so that a name of a FIFO cannot hang the open; regular
    // files read the same either way.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        reason = "not a regular file";
        return nullptr;
    }
    return std::make_shared<PosixImageFile>(fd, static_cast<uint64_t>(info.st_size));
#endif
}

std::shared_ptr<const ImageFile> MakeMemoryImageFile(std::vector<uint8_t> bytes) {
    return std::make_shared<MemoryImageFile>(std::move(bytes));
}

} // namespace vindral::emulated
