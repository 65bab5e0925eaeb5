#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "extract/ExtractRun.h"

namespace vindral {

namespace {

void Put32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

} // namespace

std::array<uint8_t, kWavHeaderBytes> MakeWavHeader(int32_t sectors) {
    std::array<uint8_t, kWavHeaderBytes> header{};
    const uint32_t dataSize = static_cast<uint32_t>(sectors) * kSectorBytes;
    uint8_t* h = header.data();
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, dataSize + 36);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    Put32(h + 16, 16);
    Put16(h + 20, 1);
    Put16(h + 22, 2);
    Put32(h + 24, 44100);
    Put32(h + 28, 176400);
    Put16(h + 32, 4);
    Put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, dataSize);
    return header;
}

void ComputePeaks(const uint8_t* audio, int sectors, SectorAddress address, PeakTable& table) {
    PeakPair* entry = table.At(address);
    const int frames = 588 * sectors;
    if (entry == nullptr || frames <= 0) {
        return;
    }
    // The high byte of a little-endian sample is the sample shifted right by
    // eight, and that shift keeps the order: the extremes of the high bytes
    // are the extremes of the samples, shifted.
    static_assert(std::endian::native == std::endian::little, "samples are read in place");
    // Eight samples (four frames) at a time, each lane keeping its own
    // extremes: even lanes are left samples, odd lanes right ones. A sector
    // holds 588 frames, a multiple of four. This runs for every block of
    // both passes, so it must cost little (one vector maximum and minimum
    // per four frames where the processor has them).
    using Lanes = int16_t __attribute__((vector_size(16)));
    static_assert(588 % 4 == 0);
    Lanes high;
    Lanes low;
    for (int lane = 0; lane < 8; ++lane) {
        high[lane] = INT16_MIN;
        low[lane] = INT16_MAX;
    }
    for (int f = 0; f < frames; f += 4) {
        Lanes samples;
        std::memcpy(&samples, audio + 4 * static_cast<std::size_t>(f), sizeof samples);
        high = samples > high ? samples : high;
        low = samples < low ? samples : low;
    }
    int16_t leftMax = INT16_MIN;
    int16_t leftMin = INT16_MAX;
    int16_t rightMax = INT16_MIN;
    int16_t rightMin = INT16_MAX;
    for (int lane = 0; lane < 8; lane += 2) {
        leftMax = std::max<int16_t>(leftMax, high[lane]);
        leftMin = std::min<int16_t>(leftMin, low[lane]);
        rightMax = std::max<int16_t>(rightMax, high[lane + 1]);
        rightMin = std::min<int16_t>(rightMin, low[lane + 1]);
    }
    entry->leftMax = leftMax >> 8;
    entry->leftNegMin = -(leftMin >> 8);
    entry->rightMax = rightMax >> 8;
    entry->rightNegMin = -(rightMin >> 8);
}

} // namespace vindral
