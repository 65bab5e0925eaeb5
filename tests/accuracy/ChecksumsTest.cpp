// Track checksums against the values published with a public test
// recording, against a small independent Python implementation, and fed in
// blocks of every awkward size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>

#include <zlib.h>

#include "accuracy/AccuracyTestData.h"
#include "accuracy/Checksums.h"

namespace vindral::accuracy {
namespace {

using testing::DataPath;
using testing::WavPcm;

TrackSums SumsOf(const std::vector<uint8_t>& pcm, TrackPlace place, CtdbTrim trim = {}) {
    TrackChecksums sums(pcm.size() / kBytesPerSample, place, trim);
    sums.Add(pcm.data(), pcm.size());
    return sums.Result();
}

// Deterministic noise, so every sample differs.
std::vector<uint8_t> Noise(std::size_t samples, uint32_t seed) {
    std::vector<uint8_t> pcm(samples * kBytesPerSample);
    uint32_t x = seed;
    for (uint8_t& byte : pcm) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return pcm;
}

TEST(TrackChecksums, PublishedValuesOfTheSampleRecording) {
    const std::vector<uint8_t> pcm = WavPcm(DataPath("arver-sample.wav"));
    ASSERT_EQ(pcm.size(), 75u * 2352u); // one second: 75 sectors

    struct Case {
        const char* name;
        TrackPlace place;
        uint32_t v1;
        uint32_t v2;
    };
    const Case cases[] = {
        {"track 1 of 1", {true, true}, 0xf43f9174, 0x0ae7c6f9},
        {"track 1 of 99", {true, false}, 0x9d6c90ec, 0xb775893e},
        {"track 10 of 99", {false, false}, 0x3c8dd1d2, 0x56bba272},
        {"track 99 of 99", {false, true}, 0x9360d25a, 0xaa2de02d},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrackSums sums = SumsOf(pcm, c.place);
        EXPECT_EQ(sums.crc32, 0x8ce80129u);
        EXPECT_EQ(sums.arV1, c.v1);
        EXPECT_EQ(sums.arV2, c.v2);
        EXPECT_EQ(sums.samples, 75u * 588u);
    }
}

TEST(TrackChecksums, BlocksOfAnySizeGiveTheSameSums) {
    const std::vector<uint8_t> pcm = Noise(470 * 588, 7);
    const TrackPlace place{true, true};
    const CtdbTrim trim = CtdbTrimFor(place, pcm.size() / kBytesPerSample);
    const TrackSums whole = SumsOf(pcm, place, trim);
    for (std::size_t step : {1u, 3u, 5u, 2352u, 2353u, 4099u, 65537u}) {
        SCOPED_TRACE(step);
        TrackChecksums sums(pcm.size() / kBytesPerSample, place, trim);
        for (std::size_t at = 0; at < pcm.size(); at += step) {
            sums.Add(pcm.data() + at, std::min(step, pcm.size() - at));
        }
        const TrackSums pieces = sums.Result();
        EXPECT_EQ(pieces.crc32, whole.crc32);
        EXPECT_EQ(pieces.arV1, whole.arV1);
        EXPECT_EQ(pieces.arV2, whole.arV2);
        EXPECT_EQ(pieces.arOffsetFinding, whole.arOffsetFinding);
        EXPECT_EQ(pieces.ctdbCrc, whole.ctdbCrc);
        EXPECT_EQ(pieces.samples, whole.samples);
    }
    // And the sums do depend on the audio: one changed byte changes them.
    std::vector<uint8_t> changed = pcm;
    changed[450 * 2352 + 100] ^= 1;
    const TrackSums other = SumsOf(changed, place, trim);
    EXPECT_NE(other.crc32, whole.crc32);
    EXPECT_NE(other.arV1, whole.arV1);
    EXPECT_NE(other.arV2, whole.arV2);
    EXPECT_NE(other.arOffsetFinding, whole.arOffsetFinding);
    EXPECT_NE(other.ctdbCrc, whole.ctdbCrc);
}

TEST(TrackChecksums, CtdbTrimLeavesOutTheDiscEdges) {
    // First track: 10 sectors at the head; last: 10 sectors plus what does
    // not fill a run of 10 (a disc of 1234 sectors leaves 4 over).
    const uint64_t disc = 1234 * 588;
    EXPECT_EQ(CtdbTrimFor({true, false}, disc).head, 5880u);
    EXPECT_EQ(CtdbTrimFor({true, false}, disc).tail, 0u);
    EXPECT_EQ(CtdbTrimFor({false, true}, disc).head, 0u);
    EXPECT_EQ(CtdbTrimFor({false, true}, disc).tail, 5880u + 4 * 588u);
    EXPECT_EQ(CtdbTrimFor({false, false}, disc).tail, 0u);
    EXPECT_EQ(CtdbTrimFor({false, true}, 1230 * 588).tail, 5880u);

    const std::vector<uint8_t> pcm = Noise(100 * 588, 3);
    const CtdbTrim trim{5880, 5880 + 2 * 588};
    const TrackSums sums = SumsOf(pcm, {true, true}, trim);
    const std::size_t from = 5880 * 4;
    const std::size_t to = pcm.size() - (5880 + 2 * 588) * 4;
    EXPECT_EQ(sums.ctdbCrc,
              static_cast<uint32_t>(crc32(0, pcm.data() + from, static_cast<uInt>(to - from))));
    EXPECT_EQ(sums.crc32,
              static_cast<uint32_t>(crc32(0, pcm.data(), static_cast<uInt>(pcm.size()))));
    // A middle track is covered whole.
    EXPECT_EQ(SumsOf(pcm, {false, false}).ctdbCrc, sums.crc32);
}

TEST(TrackChecksums, TracksShorterThanTheExclusionsGiveZeroSums) {
    const std::vector<uint8_t> pcm = Noise(4 * 588, 5);
    const TrackSums last = SumsOf(pcm, {false, true});
    EXPECT_EQ(last.arV1, 0u);
    EXPECT_EQ(last.arV2, 0u);
    EXPECT_EQ(last.arOffsetFinding, 0u); // no sector 450
    EXPECT_NE(last.crc32, 0u);
    const TrackSums cut = SumsOf(pcm, {true, true}, CtdbTrimFor({true, true}, 4 * 588));
    EXPECT_EQ(cut.ctdbCrc, 0u); // nothing kept: the CRC of no bytes
}

TEST(TrackChecksums, OffsetFindingSumsAtEveryShift) {
    const std::vector<uint8_t> pressed = Noise(470 * 588, 21);
    const uint32_t wanted = SumsOf(pressed, {false, false}).arOffsetFinding;
    auto sample = [](const std::vector<uint8_t>& pcm, std::size_t i) {
        return static_cast<uint32_t>(pcm[4 * i]) | static_cast<uint32_t>(pcm[4 * i + 1]) << 8 |
               static_cast<uint32_t>(pcm[4 * i + 2]) << 16 |
               static_cast<uint32_t>(pcm[4 * i + 3]) << 24;
    };
    for (int offset : {0, 6, -30, 667, -1164, 2940, -2940}) {
        SCOPED_TRACE(offset);
        // A drive with read offset +N returns the pressed sample j - N as j.
        std::vector<uint8_t> read(pressed.size(), 0);
        for (std::size_t j = 0; j < pressed.size() / 4; ++j) {
            const long from = static_cast<long>(j) - offset;
            if (from >= 0 && from < static_cast<long>(pressed.size() / 4)) {
                std::copy_n(pressed.begin() + from * 4, 4, read.begin() + static_cast<long>(j) * 4);
            }
        }
        TrackChecksums sums(read.size() / 4, {false, false});
        for (std::size_t at = 0; at < read.size(); at += 9999) {
            sums.Add(read.data() + at, std::min<std::size_t>(9999, read.size() - at));
        }
        const std::vector<uint32_t> shifted = sums.OffsetFindingSums();
        ASSERT_EQ(shifted.size(), 5881u);
        EXPECT_EQ(shifted[static_cast<std::size_t>(offset + 2940)], wanted);
        EXPECT_EQ(shifted[2940], sums.Result().arOffsetFinding);
        // Each element is the plain sum of its own sector, spot-checked.
        for (int shift : {-2940, -1, 1, 1000, 2940}) {
            uint32_t f = 0;
            for (uint32_t i = 0; i < 588; ++i) {
                f += sample(read, static_cast<std::size_t>(450 * 588 + shift) + i) * (i + 1);
            }
            EXPECT_EQ(shifted[static_cast<std::size_t>(shift + 2940)], f) << shift;
        }
    }
    // Too short a track gives no sums.
    TrackChecksums shortTrack(455 * 588, {false, false});
    const std::vector<uint8_t> part = Noise(455 * 588, 1);
    shortTrack.Add(part.data(), part.size());
    EXPECT_TRUE(shortTrack.OffsetFindingSums().empty());
}

TEST(TrackChecksums, CtdbCrcOfAShiftedDiscFromTheTrackEdges) {
    // Three tracks of 30 sectors, 25 sectors and 17 samples, and 40 sectors.
    const std::vector<uint64_t> lengths = {30 * 588, 25 * 588 + 17, 40 * 588};
    uint64_t total = 0;
    for (uint64_t n : lengths) {
        total += n;
    }
    const std::vector<uint8_t> disc = Noise(total, 99);
    std::vector<TrackEdges> edges;
    std::vector<uint32_t> unshifted;
    std::vector<CtdbTrim> trims;
    uint64_t start = 0;
    for (std::size_t t = 0; t < lengths.size(); ++t) {
        const TrackPlace place{t == 0, t + 1 == lengths.size()};
        trims.push_back(CtdbTrimFor(place, total));
        TrackChecksums sums(lengths[t], place, trims.back());
        const uint8_t* at = disc.data() + start * 4;
        for (uint64_t done = 0; done < lengths[t] * 4; done += 1001) {
            sums.Add(at + done, std::min<uint64_t>(1001, lengths[t] * 4 - done));
        }
        edges.push_back(sums.Edges());
        unshifted.push_back(sums.Result().ctdbCrc);
        start += lengths[t];
    }
    start = 0;
    for (std::size_t t = 0; t < lengths.size(); ++t) {
        for (int shift : {-5881, -5880, -1000, -1, 0, 1, 777, 5880, 5881}) {
            SCOPED_TRACE(std::to_string(t) + " " + std::to_string(shift));
            const int64_t from = static_cast<int64_t>(start + trims[t].head) + shift;
            const int64_t to = static_cast<int64_t>(start + lengths[t] - trims[t].tail) + shift;
            const std::optional<uint32_t> crc = CtdbShiftedCrc(edges, t, trims[t], shift);
            if (from < 0 || to > static_cast<int64_t>(total)) {
                EXPECT_FALSE(crc);
                continue;
            }
            const uint32_t expected = static_cast<uint32_t>(
                crc32(0, disc.data() + from * 4, static_cast<uInt>((to - from) * 4)));
            // Beyond ±5880 the edges may not reach; within, they must.
            if (std::abs(shift) > 5880 && !crc) {
                continue;
            }
            ASSERT_TRUE(crc);
            EXPECT_EQ(*crc, expected);
            if (shift == 0) {
                EXPECT_EQ(*crc, unshifted[t]);
            }
        }
        start += lengths[t];
    }
    EXPECT_FALSE(CtdbShiftedCrc(edges, 3, {}, 0));
}

// The same sums written again, plainly, in Python.
const char* const kPythonSums = R"(
import sys, struct, zlib
data = sys.stdin.buffer.read()
n = len(data) // 4
s = struct.unpack('<%dI' % n, data)
def ar(first, last):
    lo = 5 * 588 if first else 1
    hi = n - 5 * 588 if last else n
    v1 = v2 = 0
    for k in range(lo, hi + 1):
        p = s[k - 1] * k
        v1 += p & 0xffffffff
        v2 += (p & 0xffffffff) + (p >> 32)
    return v1 & 0xffffffff, v2 & 0xffffffff
f = 0
for i in range(588):
    f += s[450 * 588 + i] * (i + 1)
head = 5880
tail = 5880 + n % 5880
out = [zlib.crc32(data), f & 0xffffffff, zlib.crc32(data[head * 4:(n - tail) * 4])]
for first, last in ((False, False), (True, False), (False, True), (True, True)):
    out += ar(first, last)
print(' '.join('%08x' % v for v in out))
)";

TEST(TrackChecksums, AgreeWithAnIndependentPythonImplementation) {
    if (!testing::HavePython()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::vector<uint8_t> pcm = Noise(471 * 588 + 17, 11);
    const uint64_t samples = pcm.size() / kBytesPerSample;
    std::istringstream python(testing::RunPython(kPythonSums, pcm));
    std::vector<uint32_t> expected;
    for (std::string word; python >> word;) {
        expected.push_back(static_cast<uint32_t>(std::stoul(word, nullptr, 16)));
    }
    ASSERT_EQ(expected.size(), 11u);
    const TrackSums full = SumsOf(pcm, {true, true}, CtdbTrimFor({true, true}, samples));
    EXPECT_EQ(full.crc32, expected[0]);
    EXPECT_EQ(full.arOffsetFinding, expected[1]);
    EXPECT_EQ(full.ctdbCrc, expected[2]);
    const TrackPlace places[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        const TrackSums sums = SumsOf(pcm, places[k]);
        EXPECT_EQ(sums.arV1, expected[3 + 2 * k]);
        EXPECT_EQ(sums.arV2, expected[4 + 2 * k]);
    }
}

} // namespace
} // namespace vindral::accuracy
