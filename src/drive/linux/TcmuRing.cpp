#include "drive/linux/TcmuRing.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vindral::linuxdrive {

namespace tcmu {
int KernelCdbLength(uint8_t opcode) {
    static constexpr int kGroupLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    return kGroupLength[opcode >> 5];
}
} // namespace tcmu

namespace {

using namespace tcmu;

uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// The two mailbox words that the kernel and this side change under each
// other: 4-byte aligned in every real mapping, so they are read and written
// as atomic words.
uint32_t LoadHead(uint8_t* base) {
    return __atomic_load_n(reinterpret_cast<uint32_t*>(base + kMailboxHeadOffset),
                           __ATOMIC_ACQUIRE);
}
uint32_t LoadTail(uint8_t* base) {
    return __atomic_load_n(reinterpret_cast<uint32_t*>(base + kMailboxTailOffset),
                           __ATOMIC_ACQUIRE);
}
void StoreTail(uint8_t* base, uint32_t tail) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(base + kMailboxTailOffset), tail,
                     __ATOMIC_RELEASE);
}

// Fixed-format sense data with the given key, ASC and ASCQ.
void FixedSense(uint8_t* out, uint8_t key, uint8_t asc, uint8_t ascq) {
    std::memset(out, 0, kResponseSenseBytes);
    out[0] = 0x70;
    out[2] = key;
    out[7] = 10;
    out[12] = asc;
    out[13] = ascq;
}

struct Span {
    uint64_t offset = 0;
    uint64_t length = 0;
};

} // namespace

TcmuRing::TcmuRing(uint8_t* base, std::size_t size) : base_(base), size_(size) {}

bool TcmuRing::Valid() const {
    if (base_ == nullptr || size_ < kMailboxBytes ||
        reinterpret_cast<uintptr_t>(base_) % alignof(uint32_t) != 0) {
        return false;
    }
    const uint64_t ringOffset = Load32(base_ + kMailboxRingOffset);
    const uint64_t ringSize = Load32(base_ + kMailboxRingSizeOffset);
    return ringOffset >= kMailboxBytes && ringOffset % 8 == 0 && ringSize >= kResponseBytes &&
           ringOffset + ringSize <= size_;
}

TcmuRing::Progress TcmuRing::Process(const TcmuHandler& handler) {
    Progress progress;
    if (!Valid()) {
        progress.broken = true;
        progress.error = "the TCMU mailbox describes no command ring inside the shared area";
        return progress;
    }
    const std::size_t ringOffset = Load32(base_ + kMailboxRingOffset);
    const uint32_t ringSize = Load32(base_ + kMailboxRingSizeOffset);
    const uint32_t head = LoadHead(base_);
    uint32_t tail = LoadTail(base_);
    if (head >= ringSize || tail >= ringSize || head % 8 != 0 || tail % 8 != 0) {
        progress.broken = true;
        progress.error = "the TCMU ring's head or tail lies outside the ring";
        return progress;
    }
    while (tail != head) {
        const std::size_t entry = ringOffset + tail;
        // Entries never wrap around the ring's end: a PAD entry fills it first.
        if (ringSize - tail < kEntryHeaderBytes) {
            progress.broken = true;
            progress.error = "a TCMU ring entry's header crosses the ring's end";
            break;
        }
        const uint32_t lengthOp = Load32(base_ + entry + kEntryLengthOffset);
        const uint32_t length = lengthOp & ~kOpMask;
        const uint32_t op = lengthOp & kOpMask;
        if (length == 0 || length > ringSize - tail) {
            progress.broken = true;
            progress.error = "a TCMU ring entry has the length " + std::to_string(length) +
                             " at ring offset " + std::to_string(tail);
            break;
        }
        if (op == kOpCmd) {
            Answer(entry, length, handler, progress);
        } else {
            if (op != kOpPad && op != 2) { // 2: task management, needs no answer
                base_[entry + kEntryUserFlagsOffset] |= kUserFlagUnknownOp;
            }
            ++progress.skipped;
        }
        tail = (tail + length) % ringSize;
        StoreTail(base_, tail);
    }
    return progress;
}

void TcmuRing::Answer(std::size_t entry, std::size_t length, const TcmuHandler& handler,
                      Progress& progress) {
    ++progress.commands;
    uint8_t* e = base_ + entry;
    if (length < kResponseBytes) {
        ++progress.refused; // no room for an answer inside the entry
        return;
    }
    const uint64_t ringEnd = uint64_t{Load32(base_ + kMailboxRingOffset)} +
                             Load32(base_ + kMailboxRingSizeOffset);
    auto refuse = [&] {
        ++progress.refused;
        e[kResponseStatusOffset] = kScsiCheckCondition;
        std::memset(e + kResponseStatusOffset + 1, 0, 3);
        Store32(e + kResponseReadLengthOffset, 0);
        FixedSense(e + kResponseSenseOffset, 0x04, 0x44, 0x00); // internal target failure
    };

    // Everything is read out of the request before the answer overwrites it.
    const uint32_t iovCount = Load32(e + kRequestIovCountOffset);
    const uint64_t cdbOffset = Load64(e + kRequestCdbOffset);
    if (iovCount > (length - kRequestIovOffset) / kIovBytes || cdbOffset >= size_) {
        refuse();
        return;
    }
    uint8_t cdb[16] = {};
    const auto cdbLength = static_cast<std::size_t>(KernelCdbLength(base_[cdbOffset]));
    if (cdbLength > size_ - cdbOffset) {
        refuse();
        return;
    }
    std::memcpy(cdb, base_ + cdbOffset, cdbLength);

    std::vector<Span> spans;
    uint64_t total = 0;
    for (uint32_t i = 0; i < iovCount; ++i) {
        const uint8_t* iov = e + kRequestIovOffset + std::size_t{i} * kIovBytes;
        Span span{Load64(iov), Load64(iov + 8)};
        if (span.length == 0) {
            continue;
        }
        // Data live in the data area only: never in the mailbox or the ring.
        if (span.offset < ringEnd || span.offset > size_ || span.length > size_ - span.offset) {
            refuse();
            return;
        }
        total += span.length;
        spans.push_back(span);
    }
    if (total > UINT32_MAX) {
        refuse();
        return;
    }
    const bool dataOut = IsDataOut(cdb[0]);
    // One iovec (the usual case) is handed over in place; several are
    // gathered into one buffer and scattered back.
    std::vector<uint8_t> gathered;
    uint8_t* buffer = nullptr;
    if (spans.size() == 1) {
        buffer = base_ + spans[0].offset;
    } else if (!spans.empty()) {
        gathered.resize(static_cast<std::size_t>(total));
        if (dataOut) {
            std::size_t at = 0;
            for (const Span& span : spans) {
                std::memcpy(gathered.data() + at, base_ + span.offset, span.length);
                at += span.length;
            }
        }
        buffer = gathered.data();
    }

    SenseResult sense;
    const int32_t status = handler(cdb, static_cast<int>(cdbLength), dataOut, buffer,
                                   static_cast<uint32_t>(total), sense);

    if (!dataOut && spans.size() > 1) {
        std::size_t at = 0;
        for (const Span& span : spans) {
            std::memcpy(base_ + span.offset, gathered.data() + at, span.length);
            at += span.length;
        }
    }
    std::memset(e + kResponseStatusOffset, 0, kResponseBytes - kResponseStatusOffset);
    if (status == kStatusOk) {
        e[kResponseStatusOffset] = kScsiGood;
        const uint16_t flags = Load16(base_ + kMailboxFlagsOffset);
        if (!dataOut && sense.residual > 0 && sense.residual <= total &&
            (flags & kFlagReadLength) != 0) {
            e[kEntryUserFlagsOffset] |= kUserFlagReadLength;
            Store32(e + kResponseReadLengthOffset,
                    static_cast<uint32_t>(total - sense.residual));
        }
    } else if (status == 2) {
        e[kResponseStatusOffset] = kScsiCheckCondition;
        std::memcpy(e + kResponseSenseOffset, sense.data.data(), sense.data.size());
    } else {
        e[kResponseStatusOffset] = kScsiCheckCondition;
        FixedSense(e + kResponseSenseOffset, 0x04, 0x44, 0x00);
    }
}

TcmuDevice::~TcmuDevice() { Stop(); }

bool TcmuDevice::Open(const std::string& uioNode, std::size_t mapSize, std::string& error) {
    const int fd = ::open(uioNode.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = uioNode + ": " + std::strerror(errno);
        return false;
    }
    void* area = ::mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (area == MAP_FAILED) {
        error = uioNode + ": cannot map " + std::to_string(mapSize) + " bytes: " +
                std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    ownsFd_ = true;
    base_ = static_cast<uint8_t*>(area);
    size_ = mapSize;
    mapped_ = true;
    return true;
}

void TcmuDevice::Attach(int fd, uint8_t* base, std::size_t size) {
    fd_ = fd;
    ownsFd_ = false;
    base_ = base;
    size_ = size;
    mapped_ = false;
}

bool TcmuDevice::Start(TcmuHandler handler, std::string& error) {
    if (fd_ < 0 || base_ == nullptr) {
        error = "no TCMU device is open";
        return false;
    }
    if (!TcmuRing(base_, size_).Valid()) {
        error = "the TCMU mailbox describes no command ring inside the shared area";
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this, handler = std::move(handler)] { Serve(handler); });
    return true;
}

void TcmuDevice::Serve(TcmuHandler handler) {
    TcmuRing ring(base_, size_);
    while (!stop_.load()) {
        pollfd wait{fd_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 100);
        if (ready < 0 && errno != EINTR) {
            std::lock_guard<std::mutex> lock(errorMutex_);
            lastError_ = std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (ready > 0) {
            if ((wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
                (wait.revents & POLLIN) == 0) {
                std::lock_guard<std::mutex> lock(errorMutex_);
                lastError_ = "the TCMU device node was closed";
                break;
            }
            uint32_t events = 0;
            if (::read(fd_, &events, sizeof events) < 0 && errno != EAGAIN && errno != EINTR) {
                std::lock_guard<std::mutex> lock(errorMutex_);
                lastError_ = std::string("read: ") + std::strerror(errno);
                break;
            }
        }
        // The ring is looked at on every turn, so that a missed interrupt
        // delays a command by one poll period at most.
        const TcmuRing::Progress progress = ring.Process(handler);
        if (progress.commands + progress.skipped > 0) {
            commands_ += static_cast<uint64_t>(progress.commands);
            const uint32_t wake = 0;
            if (::write(fd_, &wake, sizeof wake) < 0) {
                std::lock_guard<std::mutex> lock(errorMutex_);
                lastError_ = std::string("write: ") + std::strerror(errno);
            }
        }
        if (progress.broken) {
            // Nothing after a broken entry can be found; the kernel times the
            // outstanding commands out.
            std::lock_guard<std::mutex> lock(errorMutex_);
            lastError_ = progress.error;
            break;
        }
    }
}

void TcmuDevice::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (mapped_) {
        ::munmap(base_, size_);
        mapped_ = false;
    }
    if (ownsFd_ && fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    ownsFd_ = false;
    base_ = nullptr;
    size_ = 0;
}

std::string TcmuDevice::LastError() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return lastError_;
}

} // namespace vindral::linuxdrive
