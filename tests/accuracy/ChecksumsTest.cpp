// Track checksums against the values published with a public test
// recording, against a small independent Python implementation, and fed in
// blocks of every awkward size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include <zlib.h>

#include "accuracy/AccuracyTestData.h"
#include "accuracy/Checksums.h"
#include "accuracy/RipAccuracy.h"
#include "extract/RunHarness.h"

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

// A disc of noise cut into tracks, each fed to TrackChecksums in odd-sized
// blocks; `pressed(shift)` is the same disc as a pressing whose samples lie
// `shift` samples later (zeros where this disc has none).
struct ShiftDisc {
    explicit ShiftDisc(std::vector<uint64_t> trackLengths) : lengths(std::move(trackLengths)) {
        for (uint64_t n : lengths) {
            starts.push_back(total);
            total += n;
        }
        audio = Noise(total, 5);
        for (std::size_t t = 0; t < lengths.size(); ++t) {
            TrackChecksums sums(lengths[t], Place(t), CtdbTrimFor(Place(t), total));
            const uint8_t* at = audio.data() + starts[t] * 4;
            for (uint64_t done = 0; done < lengths[t] * 4; done += 999) {
                sums.Add(at + done, std::min<uint64_t>(999, lengths[t] * 4 - done));
            }
            edges.push_back(sums.Edges());
        }
    }
    TrackPlace Place(std::size_t t) const { return {t == 0, t + 1 == lengths.size()}; }
    std::vector<uint8_t> Track(std::size_t t) const {
        return {audio.begin() + static_cast<long>(starts[t] * 4),
                audio.begin() + static_cast<long>((starts[t] + lengths[t]) * 4)};
    }
    // The sums the pressing's own reading of track t gives.
    TrackSums PressedSums(std::size_t t, int shift) const {
        std::vector<uint8_t> track(lengths[t] * 4, 0);
        for (uint64_t i = 0; i < lengths[t]; ++i) {
            const int64_t from = static_cast<int64_t>(starts[t] + i) + shift;
            if (from >= 0 && from < static_cast<int64_t>(total)) {
                std::copy_n(audio.begin() + from * 4, 4, track.begin() + static_cast<long>(i * 4));
            }
        }
        return SumsOf(track, Place(t));
    }
    std::vector<uint64_t> lengths;
    std::vector<uint64_t> starts;
    uint64_t total = 0;
    std::vector<uint8_t> audio;
    std::vector<TrackEdges> edges;
};

TEST(ShiftedAccurateRip, V1FromTheEdgesAndV1V2FromTheSamplesEqualThePressingsSums) {
    // First and last tracks longer than 10 sectors, a middle one just over it.
    const ShiftDisc disc({30 * 588 + 5, 10 * 588 + 3, 25 * 588});
    for (std::size_t t = 0; t < 3; ++t) {
        const std::vector<uint8_t> own = disc.Track(t);
        const std::vector<int> shifts = {-2940, -2939, -600, -1, 1, 12, 2939, 2940};
        ShiftedAccurateRip recomputed(disc.edges, t, shifts);
        for (std::size_t done = 0; done < own.size(); done += 4 * 1237) {
            recomputed.Add(own.data() + done, std::min<std::size_t>(4 * 1237, own.size() - done));
        }
        const auto results = recomputed.Result();
        ASSERT_EQ(results.size(), shifts.size());
        for (std::size_t s = 0; s < shifts.size(); ++s) {
            SCOPED_TRACE("track " + std::to_string(t) + " shift " + std::to_string(shifts[s]));
            const TrackSums want = disc.PressedSums(t, shifts[s]);
            const std::optional<uint32_t> v1 = AccurateRipV1Shifted(disc.edges, t, shifts[s]);
            ASSERT_TRUE(v1);
            EXPECT_EQ(*v1, want.arV1);
            ASSERT_TRUE(results[s]);
            EXPECT_EQ(results[s]->v1, want.arV1);
            EXPECT_EQ(results[s]->v2, want.arV2);
            // A shift changes the sums (noise never repeats).
            EXPECT_NE(want.arV2, disc.PressedSums(t, 0).arV2);
        }
        // Shift 0 gives the track's own sums.
        const TrackSums unshifted = SumsOf(own, disc.Place(t));
        EXPECT_EQ(AccurateRipV1Shifted(disc.edges, t, 0), unshifted.arV1);
    }
}

TEST(ShiftedAccurateRip, NothingWhereTheSamplesAreNotAtHand) {
    // A middle track of 3 sectors: a shift of more than its length from a
    // track beside it reaches past it, into a track whose edges the sums are
    // not given for that.
    ShiftDisc disc({20 * 588, 3 * 588, 20 * 588});
    EXPECT_FALSE(AccurateRipV1Shifted(disc.edges, 0, 2940));
    EXPECT_FALSE(AccurateRipV1Shifted(disc.edges, 2, -2940));
    EXPECT_EQ(AccurateRipV1Shifted(disc.edges, 0, 1764), disc.PressedSums(0, 1764).arV1);
    EXPECT_FALSE(AccurateRipV1Shifted(disc.edges, 0, 1765));
    EXPECT_EQ(AccurateRipV1Shifted(disc.edges, 2, -1000), disc.PressedSums(2, -1000).arV1);
    EXPECT_EQ(AccurateRipV1Shifted(disc.edges, 1, 2940), disc.PressedSums(1, 2940).arV1);

    // A neighbour that was not read: shifts into it are unknown, shifts
    // away from it are not.
    std::vector<TrackEdges> partial = disc.edges;
    partial[2] = TrackEdges{};
    EXPECT_FALSE(AccurateRipV1Shifted(partial, 1, 5));
    EXPECT_EQ(AccurateRipV1Shifted(partial, 1, -5), disc.PressedSums(1, -5).arV1);
    const std::vector<uint8_t> own = disc.Track(1);
    ShiftedAccurateRip withGap(partial, 1, {5, -5});
    withGap.Add(own.data(), own.size());
    const auto results = withGap.Result();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0]);
    ASSERT_TRUE(results[1]);
    EXPECT_EQ(results[1]->v2, disc.PressedSums(1, -5).arV2);

    // The track itself not read, or a track that is not there.
    EXPECT_FALSE(AccurateRipV1Shifted(partial, 2, -5));
    EXPECT_FALSE(AccurateRipV1Shifted(disc.edges, 3, 1));

    // Too few or too many samples fed: no result.
    ShiftedAccurateRip shortFed(disc.edges, 1, {1});
    shortFed.Add(own.data(), own.size() - 4);
    ASSERT_EQ(shortFed.Result().size(), 1u);
    EXPECT_FALSE(shortFed.Result()[0]);
    shortFed.Add(own.data(), 8);
    EXPECT_FALSE(shortFed.Result()[0]);

    // The same samples read back from a track file: its header, then exactly
    // the track's samples and nothing after them.
    const vindral::test::TempFolder folder;
    const std::string path = folder.Path() + "Track02.wav";
    const auto header = MakeWavHeader(3);
    const std::vector<uint8_t> tail(4, 0x11);
    struct File {
        std::size_t ownBytes;
        std::size_t tailBytes;
        bool read;
    };
    for (const File file : {File{own.size(), 0, true}, File{own.size(), 1, false},
                            File{own.size(), 4, false}, File{own.size() - 4, 0, false}}) {
        SCOPED_TRACE(std::to_string(file.ownBytes) + " + " + std::to_string(file.tailBytes));
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(header.data()), static_cast<long>(header.size()));
        out.write(reinterpret_cast<const char*>(own.data()), static_cast<long>(file.ownBytes));
        out.write(reinterpret_cast<const char*>(tail.data()), static_cast<long>(file.tailBytes));
        out.close();
        ShiftedAccurateRip fromFile(disc.edges, 1, {1});
        EXPECT_EQ(ReadTrackFile(path, disc.lengths[1], fromFile), file.read);
        if (file.read) {
            ASSERT_TRUE(fromFile.Result()[0]);
            EXPECT_EQ(fromFile.Result()[0]->v2, disc.PressedSums(1, 1).arV2);
        }
    }
    EXPECT_FALSE(ReadTrackFile(folder.Path() + "missing.wav", disc.lengths[1], shortFed));
}

// v2 of a pressing shifted against the disc, computed plainly in Python from
// the whole disc: the pressing's track `t` (of three) holds disc samples
// start + shift onwards.
const char* const kPythonShiftedV2 = R"(
import sys, struct
data = sys.stdin.buffer.read()
s = struct.unpack('<%dI' % (len(data) // 4), data)
lengths = [LENGTHS]
out = []
for t in range(3):
    start = sum(lengths[:t])
    n = lengths[t]
    for shift in (SHIFTS):
        lo = 5 * 588 if t == 0 else 1
        hi = n - 5 * 588 if t == 2 else n
        v2 = 0
        for k in range(lo, hi + 1):
            i = start + k - 1 + shift
            x = s[i] if 0 <= i < len(s) else 0
            p = x * k
            v2 += (p & 0xffffffff) + (p >> 32)
        out.append(v2 & 0xffffffff)
print(' '.join('%08x' % v for v in out))
)";

TEST(ShiftedAccurateRip, AgreesWithAnIndependentPythonImplementation) {
    if (!testing::HavePython()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const ShiftDisc disc({12 * 588 + 1, 11 * 588, 13 * 588 + 7});
    const std::vector<int> shifts = {-2940, -600, 12, 2940};
    std::string script = kPythonShiftedV2;
    script.replace(script.find("LENGTHS"), 7,
                   std::to_string(disc.lengths[0]) + ", " + std::to_string(disc.lengths[1]) +
                       ", " + std::to_string(disc.lengths[2]));
    script.replace(script.find("SHIFTS"), 6, "-2940, -600, 12, 2940");
    std::istringstream python(testing::RunPython(script, disc.audio));
    std::vector<uint32_t> expected;
    for (std::string word; python >> word;) {
        expected.push_back(static_cast<uint32_t>(std::stoul(word, nullptr, 16)));
    }
    ASSERT_EQ(expected.size(), 12u);
    for (std::size_t t = 0; t < 3; ++t) {
        const std::vector<uint8_t> own = disc.Track(t);
        ShiftedAccurateRip recomputed(disc.edges, t, shifts);
        recomputed.Add(own.data(), own.size());
        const auto results = recomputed.Result();
        for (std::size_t s = 0; s < shifts.size(); ++s) {
            SCOPED_TRACE("track " + std::to_string(t) + " shift " + std::to_string(shifts[s]));
            ASSERT_TRUE(results[s]);
            EXPECT_EQ(results[s]->v2, expected[t * shifts.size() + s]);
        }
    }
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
