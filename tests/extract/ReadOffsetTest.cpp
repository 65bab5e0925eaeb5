// The read-offset correction: the reader delivers a track's samples of the
// pressed disc from a drive with a read offset, across block and track
// edges, reading every sector once and never outside the readable sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "drive/Transport.h"
#include "extract/ExtractRun.h"
#include "extract/JobBuilder.h"
#include "extract/ReadOffset.h"

namespace vindral {
namespace {

constexpr int32_t kDiscSectors = 100;

// Byte b of the pressed disc's audio.
uint8_t Pressed(int64_t b) { return static_cast<uint8_t>((b * 13 + b / 2352 * 7 + 1) & 0xFF); }

// A drive whose sample j is the pressed sample j - offset (zero outside the
// disc), which refuses sectors outside [0, kDiscSectors) and records reads.
struct FakeDrive {
    int32_t offset = 0;
    std::vector<std::pair<SectorAddress, int32_t>> reads;
    int failAt = -1; // the read of this index fails

    int32_t Read(SectorAddress address, int32_t count, uint8_t* into) {
        const int index = static_cast<int>(reads.size());
        reads.emplace_back(address, count);
        if (index == failAt || address < 0 || count <= 0 || address + count > kDiscSectors) {
            return 2;
        }
        for (int64_t i = 0; i < int64_t{count} * kSectorBytes; ++i) {
            const int64_t b = int64_t{address} * kSectorBytes + i - int64_t{offset} * 4;
            into[i] = (b < 0 || b >= int64_t{kDiscSectors} * kSectorBytes) ? 0 : Pressed(b);
        }
        return kStatusOk;
    }
};

// The track read through the reader in blocks of 16, as the workers do.
std::vector<uint8_t> ReadTrack(FakeDrive& drive, SectorAddress start, int32_t length,
                               int32_t correction, int32_t& status) {
    CorrectedReader reader(start, correction, 0, kDiscSectors,
                           [&drive](SectorAddress a, int32_t n, uint8_t* into) {
                               return drive.Read(a, n, into);
                           });
    std::vector<uint8_t> out(static_cast<std::size_t>(length) * kSectorBytes, 0xEE);
    status = kStatusOk;
    for (int32_t done = 0; done < length; done += kBlockSectors) {
        const int32_t n = std::min(kBlockSectors, length - done);
        status = reader.Next(n, out.data() + static_cast<std::size_t>(done) * kSectorBytes);
        if (status != kStatusOk) {
            break;
        }
    }
    return out;
}

TEST(ReadOffsetTest, CorrectionGivesThePressedSamplesAtEveryOffsetAndPlace) {
    struct Place {
        SectorAddress start;
        int32_t length;
    };
    // The disc's first track, one in the middle, the last one; lengths with
    // and without a short last block.
    const Place places[] = {{0, 33}, {33, 40}, {73, 27}, {0, 100}};
    for (int32_t n : {6, 667, -1164, 588, -588, 3000, -3000, 2939}) {
        for (const Place& place : places) {
            SCOPED_TRACE(testing::Message() << "offset " << n << " track at " << place.start);
            FakeDrive drive;
            drive.offset = n;
            int32_t status = 0;
            const auto got = ReadTrack(drive, place.start, place.length, n, status);
            ASSERT_EQ(status, kStatusOk);
            const int64_t begin = int64_t{place.start} * kSectorBytes;
            int64_t wrong = 0;
            for (std::size_t i = 0; i < got.size(); ++i) {
                // The pressed byte, except what the drive cannot deliver
                // (before its address 0 or past its last sector): silence.
                const int64_t pressed = begin + static_cast<int64_t>(i);
                const int64_t driveByte = pressed + int64_t{n} * 4;
                const bool readable = driveByte >= 0 && driveByte < int64_t{kDiscSectors} * 2352;
                const uint8_t expected = readable ? Pressed(pressed) : 0;
                wrong += got[i] != expected ? 1 : 0;
            }
            EXPECT_EQ(wrong, 0);

            // Reads of at most 16 sectors, no sector twice, none outside the disc.
            std::set<SectorAddress> seen;
            for (const auto& [address, count] : drive.reads) {
                EXPECT_LE(count, kBlockSectors);
                for (int32_t s = 0; s < count; ++s) {
                    EXPECT_TRUE(seen.insert(address + s).second) << "sector " << address + s;
                }
            }
            // The track's sectors shifted, plus one when the shift ends inside
            // a sector, minus what lies off the disc.
            const int64_t firstByte = begin + int64_t{n} * 4;
            const int64_t lastByte = firstByte + int64_t{place.length} * kSectorBytes - 1;
            auto sectorOf = [](int64_t b) { return b >= 0 ? b / 2352 : (b - 2351) / 2352; };
            const int64_t from = std::max<int64_t>(0, sectorOf(firstByte));
            const int64_t to = std::min<int64_t>(kDiscSectors - 1, sectorOf(lastByte));
            EXPECT_EQ(static_cast<int64_t>(seen.size()), to - from + 1);
        }
    }
}

TEST(ReadOffsetTest, OffsetOfWholeSectorsReadsTheShiftedBlocksDirectly) {
    FakeDrive drive;
    drive.offset = 588;
    int32_t status = 0;
    ReadTrack(drive, 40, 33, 588, status);
    ASSERT_EQ(status, kStatusOk);
    const std::vector<std::pair<SectorAddress, int32_t>> expected = {{41, 16}, {57, 16}, {73, 1}};
    EXPECT_EQ(drive.reads, expected);
}

TEST(ReadOffsetTest, OneMoreSectorIsReadFirstAndCarriedOver) {
    FakeDrive drive;
    drive.offset = 6;
    int32_t status = 0;
    ReadTrack(drive, 40, 33, 6, status);
    ASSERT_EQ(status, kStatusOk);
    const std::vector<std::pair<SectorAddress, int32_t>> expected = {
        {40, 1}, {41, 16}, {57, 16}, {73, 1}};
    EXPECT_EQ(drive.reads, expected);
}

TEST(ReadOffsetTest, AFailedReadIsPassedOn) {
    FakeDrive drive;
    drive.offset = 6;
    drive.failAt = 2;
    int32_t status = 0;
    ReadTrack(drive, 40, 33, 6, status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(drive.reads.size(), 3u);
}

TEST(ReadOffsetTest, SilenceCountsTheSamplesOutsideTheReadableSectors) {
    // The first track with a negative correction starts before address 0.
    SilentSamples s = SilenceFor(0, 33, -1164, 0, 100);
    EXPECT_EQ(s.before, 1164);
    EXPECT_EQ(s.after, 0);
    // The last track with a positive one ends past the lead-out.
    s = SilenceFor(73, 27, 667, 0, 100);
    EXPECT_EQ(s.before, 0);
    EXPECT_EQ(s.after, 667);
    // A track inside the disc needs nothing from outside.
    s = SilenceFor(33, 40, 3000, 0, 100);
    EXPECT_EQ(s.before + s.after, 0);
    // A track after a data track: its readable audio starts at its own start.
    s = SilenceFor(50, 20, -10, 50, 70);
    EXPECT_EQ(s.before, 10);
    // Never more than the track.
    s = SilenceFor(0, 1, -3000, 0, 100);
    EXPECT_EQ(s.before, 588);
}

TEST(ReadOffsetTest, JobsKnowTheAudioAroundEachTrack) {
    // A data track first, three audio tracks, then a second session's data
    // track 11,400 sectors after the audio ends.
    TrackTable table;
    table.count = 5;
    table.entries[0] = {1, 1, 0, 1000};
    table.entries[1] = {0, 2, 1000, 500};
    table.entries[2] = {0, 3, 1500, 500};
    table.entries[3] = {0, 4, 2000, 600};
    table.entries[4] = {1, 5, 2600 + 11400, 900};
    const ExtractJob job = BuildJob(table, {1, 2, 3}, "/out/", "T", CdDevice{}, false, true);
    ASSERT_EQ(job.Count(), 3);
    for (const JobEntry& entry : job.tracks) {
        EXPECT_EQ(entry.readableStart, 1000) << entry.track.number;
        EXPECT_EQ(entry.readableEnd, 2600) << entry.track.number;
    }
    // An audio disc with audio before track 1: from address 0 to the end.
    TrackTable plain;
    plain.count = 2;
    plain.entries[0] = {0, 1, 32, 10};
    plain.entries[1] = {0, 2, 42, 10};
    const ExtractJob hidden = BuildJob(plain, {kHiddenTrackRow, 1}, "/out/", "T", CdDevice{},
                                       false, true);
    ASSERT_EQ(hidden.Count(), 2);
    EXPECT_EQ(hidden.tracks[0].track.number, 0);
    EXPECT_EQ(hidden.tracks[0].readableStart, 0);
    EXPECT_EQ(hidden.tracks[0].readableEnd, 52);
    EXPECT_EQ(hidden.tracks[1].readableStart, 0);
    EXPECT_EQ(hidden.tracks[1].readableEnd, 52);
}

} // namespace
} // namespace vindral
