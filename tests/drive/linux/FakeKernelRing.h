// The kernel's side of a TCMU shared area for tests: a mailbox, a command
// ring and a data area in memory, with entries written as the kernel writes
// them.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "drive/linux/TcmuRing.h"

namespace vindral::linuxdrive::test {

using namespace tcmu;
using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kRingOffset = 128;
inline constexpr uint32_t kRingSize = 4096;
inline constexpr uint32_t kDataStart = kRingOffset + kRingSize;
inline constexpr std::size_t kAreaSize = 256 * 1024;

template <typename T> T Get(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T> void Put(uint8_t* p, T v) { std::memcpy(p, &v, sizeof v); }

// A mailbox, a ring of 4 kB and a data area, with entries written at cmd_head.
class FakeKernelRing {
public:
    explicit FakeKernelRing(uint16_t flags = kFlagReadLength) : words_(kAreaSize / 8, 0) {
        Put<uint16_t>(Area() + kMailboxVersionOffset, 2);
        Put<uint16_t>(Area() + kMailboxFlagsOffset, flags);
        Put<uint32_t>(Area() + kMailboxRingOffset, kRingOffset);
        Put<uint32_t>(Area() + kMailboxRingSizeOffset, kRingSize);
    }
    uint8_t* Area() { return reinterpret_cast<uint8_t*>(words_.data()); }
    uint32_t Head() { return Get<uint32_t>(Area() + kMailboxHeadOffset); }
    uint32_t Tail() { return Get<uint32_t>(Area() + kMailboxTailOffset); }

    struct Data {
        uint64_t offset;
        uint64_t length;
    };

    // A CMD entry with the CDB inside it, after the iovecs. Data go to fresh
    // places of the data area; `out` is copied there (data-out commands).
    // Returns the entry's offset in the area.
    std::size_t Command(const Bytes& cdb, std::vector<uint32_t> iovLengths, const Bytes& out = {}) {
        std::vector<Data> data;
        for (uint32_t length : iovLengths) {
            data.push_back({next_, length});
            next_ += (length + 63) / 64 * 64;
        }
        std::size_t at = 0;
        for (const Data& d : data) {
            const std::size_t n = std::min<std::size_t>(out.size() - std::min(out.size(), at), d.length);
            if (n > 0) {
                std::memcpy(Area() + d.offset, out.data() + at, n);
            }
            at += n;
        }
        return Raw(cdb, data);
    }

    // A CMD entry with the given iovecs as they stand.
    std::size_t Raw(const Bytes& cdb, const std::vector<Data>& data, uint32_t iovCount = ~0u,
                    int64_t cdbOffset = -1) {
        const std::size_t cdbAt = kRequestIovOffset + data.size() * kIovBytes;
        std::size_t length = std::max<std::size_t>((cdbAt + cdb.size() + 7) / 8 * 8, kResponseBytes);
        const std::size_t entry = Place(length);
        uint8_t* e = Area() + entry;
        std::memset(e, 0, length);
        Put<uint32_t>(e, static_cast<uint32_t>(length) | kOpCmd);
        Put<uint16_t>(e + kEntryIdOffset, ++id_);
        Put<uint32_t>(e + kRequestIovCountOffset,
                      iovCount == ~0u ? static_cast<uint32_t>(data.size()) : iovCount);
        Put<uint64_t>(e + kRequestCdbOffset,
                      cdbOffset >= 0 ? static_cast<uint64_t>(cdbOffset) : entry + cdbAt);
        for (std::size_t i = 0; i < data.size(); ++i) {
            Put<uint64_t>(e + kRequestIovOffset + i * kIovBytes, data[i].offset);
            Put<uint64_t>(e + kRequestIovOffset + i * kIovBytes + 8, data[i].length);
        }
        std::memcpy(e + cdbAt, cdb.data(), cdb.size());
        Advance(length);
        return entry;
    }

    // An entry of another operation (op) and length.
    std::size_t Other(uint32_t op, uint32_t length) {
        const std::size_t entry = Place(length);
        std::memset(Area() + entry, 0, length);
        Put<uint32_t>(Area() + entry, length | op);
        Advance(length);
        return entry;
    }

    // A header with any length_op, as it stands.
    void Header(uint32_t lengthOp) {
        Put<uint32_t>(Area() + kRingOffset + Head(), lengthOp);
        Put<uint32_t>(Area() + kMailboxHeadOffset, (Head() + 8) % kRingSize);
    }

    uint8_t Status(std::size_t entry) { return Area()[entry + kResponseStatusOffset]; }
    // key/asc/ascq of fixed-format sense.
    uint32_t Sense(std::size_t entry) {
        const uint8_t* s = Area() + entry + kResponseSenseOffset;
        return s[0] == 0x70 ? (uint32_t{s[2]} << 16) | (uint32_t{s[12]} << 8) | s[13] : 0xFFFFFFFF;
    }
    uint8_t UserFlags(std::size_t entry) { return Area()[entry + kEntryUserFlagsOffset]; }
    uint32_t ReadLength(std::size_t entry) {
        return Get<uint32_t>(Area() + entry + kResponseReadLengthOffset);
    }
    Bytes DataAt(uint64_t offset, std::size_t length) {
        return Bytes(Area() + offset, Area() + offset + length);
    }
    uint64_t LastDataStart(uint32_t length) const { return next_ - (length + 63) / 64 * 64; }

private:
    // Where an entry of `length` bytes goes: at the head, after a PAD entry
    // that fills the ring to its end when it would not fit before it.
    std::size_t Place(std::size_t length) {
        if (Head() + length > kRingSize) {
            const uint32_t pad = kRingSize - Head();
            Put<uint32_t>(Area() + kRingOffset + Head(), pad | kOpPad);
            Put<uint32_t>(Area() + kMailboxHeadOffset, 0);
        }
        return kRingOffset + Head();
    }
    void Advance(std::size_t length) {
        Put<uint32_t>(Area() + kMailboxHeadOffset,
                      static_cast<uint32_t>((Head() + length) % kRingSize));
    }

    std::vector<uint64_t> words_;
    uint64_t next_ = kDataStart;
    uint16_t id_ = 0;
};

} // namespace vindral::linuxdrive::test
