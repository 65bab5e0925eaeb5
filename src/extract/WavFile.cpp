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
    int leftMax = -10000;
    int leftMin = 10000;
    int rightMax = -10000;
    int rightMin = 10000;
    const int frames = 588 * sectors;
    for (int f = 0; f < frames; ++f) {
        const int left = static_cast<int8_t>(audio[4 * f + 1]);
        const int right = static_cast<int8_t>(audio[4 * f + 3]);
        if (left > leftMax) {
            leftMax = left;
        }
        if (left < leftMin) {
            leftMin = left;
        }
        if (right > rightMax) {
            rightMax = right;
        }
        if (right < rightMin) {
            rightMin = right;
        }
    }
    PeakPair* entry = table.At(address);
    if (entry == nullptr || frames <= 0) {
        return;
    }
    entry->leftMax = leftMax;
    entry->leftNegMin = -leftMin;
    entry->rightMax = rightMax;
    entry->rightNegMin = -rightMin;
}

} // namespace vindral
