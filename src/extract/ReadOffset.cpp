#include "extract/ReadOffset.h"

#include <algorithm>
#include <cstring>

#include "drive/Transport.h"
#include "extract/ExtractRun.h"

namespace vindral {

namespace {

// Rounds towards minus infinity.
int64_t FloorDiv(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

} // namespace

SilentSamples SilenceFor(SectorAddress trackStart, int32_t trackLength, int32_t offset,
                         SectorAddress readableStart, SectorAddress readableEnd) {
    SilentSamples silent;
    if (trackLength <= 0) {
        return silent;
    }
    const int64_t samples = int64_t{trackLength} * kSamplesPerSector;
    const int64_t first = int64_t{trackStart} * kSamplesPerSector + offset;
    const int64_t low = int64_t{readableStart} * kSamplesPerSector;
    const int64_t high = int64_t{readableEnd} * kSamplesPerSector;
    silent.before = std::clamp<int64_t>(low - first, 0, samples);
    silent.after = std::clamp<int64_t>(first + samples - high, 0, samples);
    return silent;
}

DrivePosition DrivePositionOf(SectorAddress address, int32_t offset) {
    const int64_t byte = int64_t{address} * kSectorBytes + int64_t{offset} * 4;
    DrivePosition position;
    position.sector = FloorDiv(byte, kSectorBytes);
    position.within = static_cast<int32_t>(byte - position.sector * kSectorBytes);
    return position;
}

CorrectedReader::CorrectedReader(SectorAddress trackStart, int32_t offset,
                                 SectorAddress readableStart, SectorAddress readableEnd,
                                 ReadSectors read)
    : nextByte_(int64_t{trackStart} * kSectorBytes + int64_t{offset} * 4),
      readableStart_(readableStart), readableEnd_(readableEnd), read_(std::move(read)),
      scratch_(static_cast<std::size_t>(kBlockSectors + 1) * kSectorBytes),
      carry_(kSectorBytes) {}

int32_t CorrectedReader::ReadRun(SectorAddress first, int32_t count, uint8_t* into) {
    // Reads stay at 16 sectors: a longer run reads its head first.
    while (count > 0) {
        const int32_t n = count > kBlockSectors ? count - kBlockSectors : count;
        const int32_t status = read_(first, n, into);
        if (status != kStatusOk) {
            return status;
        }
        first += n;
        count -= n;
        into += static_cast<std::size_t>(n) * kSectorBytes;
    }
    return kStatusOk;
}

int32_t CorrectedReader::Next(int32_t sectors, uint8_t* out) {
    sectors = std::clamp(sectors, 0, kBlockSectors);
    if (sectors == 0) {
        return kStatusOk;
    }
    const int64_t firstSector = FloorDiv(nextByte_, kSectorBytes);
    const auto within = static_cast<std::size_t>(nextByte_ - firstSector * kSectorBytes);
    // One sector more when the block ends inside a sector.
    const int32_t needed = sectors + (within != 0 ? 1 : 0);
    const int64_t endSector = firstSector + needed;

    int64_t readFrom = firstSector;
    if (haveCarry_ && carrySector_ == firstSector) {
        std::memcpy(scratch_.data(), carry_.data(), kSectorBytes);
        ++readFrom;
    }
    // What lies outside the readable sectors is silence; the rest is one run.
    const int64_t lo = std::max<int64_t>(readFrom, readableStart_);
    const int64_t hi = std::min<int64_t>(endSector, readableEnd_);
    for (int64_t s = readFrom; s < endSector; ++s) {
        if (s < lo || s >= hi) {
            std::memset(scratch_.data() + (s - firstSector) * kSectorBytes, 0, kSectorBytes);
        }
    }
    if (lo < hi) {
        const int32_t status =
            ReadRun(static_cast<SectorAddress>(lo), static_cast<int32_t>(hi - lo),
                    scratch_.data() + (lo - firstSector) * kSectorBytes);
        if (status != kStatusOk) {
            haveCarry_ = false;
            return status;
        }
    }
    std::memcpy(out, scratch_.data() + within, static_cast<std::size_t>(sectors) * kSectorBytes);
    if (within != 0) {
        std::memcpy(carry_.data(), scratch_.data() + static_cast<std::size_t>(sectors) * kSectorBytes,
                    kSectorBytes);
        carrySector_ = static_cast<SectorAddress>(endSector - 1);
        haveCarry_ = true;
    } else {
        haveCarry_ = false;
    }
    nextByte_ += int64_t{sectors} * kSectorBytes;
    return kStatusOk;
}

} // namespace vindral
