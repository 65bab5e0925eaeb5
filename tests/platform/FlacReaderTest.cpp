#include "platform/FlacReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/FlacTestFiles.h"
#include "platform/WaveTestFiles.h"

namespace vindral::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using vindral::testing::FlacBytes;
using vindral::testing::FlacLayout;
using vindral::testing::FlacOfPcm;
using vindral::testing::NoisePcm;
using vindral::testing::RampPcm;

std::unique_ptr<FlacReader> OpenBytes(const Bytes& bytes, FlacFault& fault, std::string& reason) {
    auto copy = std::make_shared<Bytes>(bytes);
    return FlacReader::Open(
        copy->size(),
        [copy](uint64_t offset, void* out, std::size_t length) {
            if (offset > copy->size() || length > copy->size() - offset) {
                return false;
            }
            std::copy_n(copy->data() + offset, length, static_cast<uint8_t*>(out));
            return true;
        },
        fault, reason);
}

Bytes Cut(Bytes bytes, std::size_t keep) {
    bytes.resize(keep);
    return bytes;
}

constexpr uint32_t kFrames = 3 * 4096 + 100;

TEST(FlacReaderTest, OpensCdAudioAndRefusesAnythingElseWithAReason) {
    const Bytes ramp = RampPcm(kFrames);
    const Bytes good = FlacOfPcm(ramp);
    ASSERT_GT(good.size(), 100u);
    Bytes tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4, 5};
    tagged.insert(tagged.end(), good.begin(), good.end());
    const std::vector<int32_t> stereo(2 * 1000, 7);
    struct Case {
        const char* name;
        Bytes bytes;
        FlacFault fault;
        std::string reason; // its beginning
        uint64_t frames;
    };
    const Case cases[] = {
        {"CD audio", good, FlacFault::kNone, "", kFrames},
        {"small blocks", FlacOfPcm(RampPcm(kFrames), FlacLayout{.blockSize = 576}), FlacFault::kNone,
         "", kFrames},
        {"behind an ID3v2 tag", tagged, FlacFault::kNone, "", kFrames},
        {"mono", FlacBytes(std::vector<int32_t>(1000, 7), FlacLayout{.channels = 1}),
         FlacFault::kUnsupported,
         "is not 44.1 kHz 16-bit stereo (it holds 44100 Hz, 1 channel, 16 bits)", 0},
        {"48 kHz", FlacBytes(stereo, FlacLayout{.rate = 48000}), FlacFault::kUnsupported,
         "is not 44.1 kHz 16-bit stereo (it holds 48000 Hz, 2 channels, 16 bits)", 0},
        {"24 bits", FlacBytes(stereo, FlacLayout{.bits = 24}), FlacFault::kUnsupported,
         "is not 44.1 kHz 16-bit stereo (it holds 44100 Hz, 2 channels, 24 bits)", 0},
        {"length unknown", FlacBytes(stereo, FlacLayout{.recordLength = false}),
         FlacFault::kUnsupported, "does not record how many samples it holds", 0},
        {"a WAV file", vindral::testing::WaveBytes({.frames = 100}), FlacFault::kNotFlac,
         "is not a FLAC file", 0},
        {"empty", {}, FlacFault::kNotFlac, "is not a FLAC file", 0},
        {"the marker alone", {'f', 'L', 'a', 'C'}, FlacFault::kNotFlac,
         "is not a FLAC file (no stream header)", 0},
        {"cut in its header", Cut(good, 20), FlacFault::kNotFlac,
         "is not a FLAC file (no stream header)", 0},
        {"cut in half", Cut(good, good.size() / 2), FlacFault::kDamaged,
         "is damaged or cut short: it cannot be decoded to the last of its 12388 samples", 0},
        {"one byte short", Cut(good, good.size() - 1), FlacFault::kDamaged,
         "is damaged or cut short", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlacFault fault = FlacFault::kCannotOpen;
        std::string reason;
        auto reader = OpenBytes(c.bytes, fault, reason);
        EXPECT_EQ(fault, c.fault);
        EXPECT_EQ(reason.substr(0, c.reason.size()), c.reason) << reason;
        ASSERT_EQ(reader != nullptr, c.fault == FlacFault::kNone);
        if (reader) {
            EXPECT_EQ(reader->TotalFrames(), c.frames);
            Bytes last(4);
            ASSERT_TRUE(reader->Read(c.frames - 1, 1, last.data()));
            EXPECT_EQ(last, Bytes(ramp.end() - 4, ramp.end()));
        }
    }

    vindral::testing::TempFolder folder;
    FlacFault fault = FlacFault::kNone;
    std::string reason;
    EXPECT_NE(FlacReader::Open(folder.Write("a.flac", good), fault, reason), nullptr) << reason;
    EXPECT_EQ(FlacReader::Open(folder.PathOf("gone.flac"), fault, reason), nullptr);
    EXPECT_EQ(fault, FlacFault::kCannotOpen);
    EXPECT_EQ(reason, "No such file or directory");
}

TEST(FlacReaderTest, ReadsAnyStretchInAnyOrder) {
    const Bytes pcm = RampPcm(kFrames);
    FlacFault fault = FlacFault::kNone;
    std::string reason;
    auto reader = OpenBytes(FlacOfPcm(pcm), fault, reason);
    ASSERT_NE(reader, nullptr) << reason;
    struct Stretch {
        uint64_t first;
        std::size_t count;
    };
    // On from where the last read ended, into the next block, back, across
    // blocks, the very end, the whole file.
    const Stretch stretches[] = {{0, 1},       {1, 4095},     {4096, 588}, {4684, 588},
                                 {4095, 2},    {100, 3 * 588}, {kFrames - 588, 588},
                                 {5, 10},      {kFrames - 1, 1}, {8191, 4097}, {0, kFrames}};
    for (const Stretch& s : stretches) {
        SCOPED_TRACE(std::to_string(s.first) + "+" + std::to_string(s.count));
        Bytes out(s.count * 4, 0xEE);
        ASSERT_TRUE(reader->Read(s.first, s.count, out.data()));
        EXPECT_EQ(out, Bytes(pcm.begin() + static_cast<std::ptrdiff_t>(s.first * 4),
                             pcm.begin() + static_cast<std::ptrdiff_t>((s.first + s.count) * 4)));
    }
    Bytes out(8);
    EXPECT_FALSE(reader->Read(kFrames, 1, out.data()));
    EXPECT_FALSE(reader->Read(kFrames - 1, 2, out.data()));
    EXPECT_TRUE(reader->Read(kFrames - 2, 2, out.data()));
}

TEST(FlacReaderTest, DamageFailsOnlyTheReadsOfItsBlock) {
    // A byte changed at 5/8 of four blocks of noise lies in the third block.
    const Bytes pcm = NoisePcm(4 * 4096);
    Bytes flac = FlacOfPcm(pcm);
    flac[flac.size() * 5 / 8] ^= 0x5A;
    FlacFault fault = FlacFault::kNone;
    std::string reason;
    auto reader = OpenBytes(flac, fault, reason);
    ASSERT_NE(reader, nullptr) << reason;
    Bytes all(4 * 4096 * 4);
    EXPECT_EQ(reader->ReadUpTo(100, 4 * 4096, all.data()), 2u * 4096 - 100) << "up to the damage";
    Bytes out(4096 * 4);
    for (int round = 0; round < 2; ++round) {
        for (uint64_t block = 0; block < 4; ++block) {
            SCOPED_TRACE("block " + std::to_string(block));
            const bool read = reader->Read(block * 4096, 4096, out.data());
            EXPECT_EQ(read, block != 2);
            if (read) {
                EXPECT_EQ(out, Bytes(pcm.begin() + static_cast<std::ptrdiff_t>(block * 4096 * 4),
                                     pcm.begin() + static_cast<std::ptrdiff_t>((block + 1) * 4096 * 4)));
            }
        }
    }
}

} // namespace
} // namespace vindral::platform
