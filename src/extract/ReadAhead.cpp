#include "extract/ReadAhead.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vindral {

namespace {
constexpr std::size_t kC2Bytes = 294;
}

ReadAhead::ReadAhead(ReadSectors read, SectorAddress end, bool withC2,
                     std::function<bool()> mediumError, bool* refused)
    : read_(std::move(read)), end_(end), withC2_(withC2), mediumError_(std::move(mediumError)),
      refused_(refused != nullptr ? refused : &ownRefused_) {}

int32_t ReadAhead::Read(SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2) {
    const auto copyOut = [&] {
        const auto at = static_cast<std::size_t>(address - first_);
        std::memcpy(audio, audio_.data() + at * kSectorBytes,
                    static_cast<std::size_t>(count) * kSectorBytes);
        if (c2 != nullptr) {
            if (withC2_) {
                std::memcpy(c2, c2_.data() + at * kC2Bytes,
                            static_cast<std::size_t>(count) * kC2Bytes);
            } else {
                std::memset(c2, 0, static_cast<std::size_t>(count) * kC2Bytes);
            }
        }
        return kStatusOk;
    };
    if (held_ > 0 && address >= first_ && address + count <= first_ + held_) {
        return copyOut();
    }
    const int32_t ahead = std::min<int32_t>(kReadAheadSectors, end_ - address);
    if (*refused_ || address < asAskedUntil_ || ahead <= count) {
        return read_(address, count, audio, c2);
    }
    held_ = 0;
    audio_.resize(static_cast<std::size_t>(ahead) * kSectorBytes);
    c2_.resize(withC2_ ? static_cast<std::size_t>(ahead) * kC2Bytes : 0); // the read fills it
    const int32_t status = read_(address, ahead, audio_.data(), withC2_ ? c2_.data() : nullptr);
    if (status != kStatusOk) {
        if (mediumError_ && mediumError_()) {
            asAskedUntil_ = address + ahead;
        } else {
            *refused_ = true;
        }
        return read_(address, count, audio, c2);
    }
    first_ = address;
    held_ = ahead;
    return copyOut();
}

} // namespace vindral
