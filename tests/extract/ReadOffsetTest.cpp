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
#include "extract/RunHarness.h"

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

// The workers of a run with a correction of +100 samples, over a drive
// without an offset of its own whose sector a holds samples that rise
// with a, so that every block's peaks tell where its samples came from.
class CorrectedRun : public test::RunFixture {
protected:
    static constexpr int32_t kOffset = 100;
    static constexpr SectorAddress kDiscEnd = 49;
    const TrackEntry track{0, 1, 16, 33};

    static uint8_t SectorByte(SectorAddress a, int i) {
        switch (i % 4) {
        case 0: return static_cast<uint8_t>(i / 4);
        case 1: return static_cast<uint8_t>(a * 2);       // left: 2a, plus a little
        case 2: return static_cast<uint8_t>(i / 4 + 1);
        default: return static_cast<uint8_t>(-a * 2 - 1); // right: below -2a
        }
    }

    void SetUp() override {
        RunFixture::SetUp();
        backend->responder = [](const test::RecordedCommand& command, uint8_t* buffer,
                                SenseResult& sense) {
            const uint8_t* c = command.cdb.data();
            if (c[0] != 0xBE) {
                return kStatusOk;
            }
            const SectorAddress address = (c[2] << 24) | (c[3] << 16) | (c[4] << 8) | c[5];
            const int count = (c[6] << 16) | (c[7] << 8) | c[8];
            if (address < 0 || address + count > kDiscEnd) {
                sense.data[0] = 0x70;
                sense.data[2] = 0x05;
                sense.data[12] = 0x21;
                return 2;
            }
            const bool c2 = c[9] != 0x10;
            const int stride = c2 ? 2352 + 294 : 2352;
            for (int s = 0; s < count; ++s) {
                uint8_t* sector = buffer + s * stride;
                for (int i = 0; i < 2352; ++i) {
                    sector[i] = SectorByte(address + s, i);
                }
                if (c2) {
                    std::memset(sector + 2352, 0, 294);
                }
            }
            return kStatusOk;
        };
    }

    ExtractJob CorrectedJob(bool verify, bool readTwice) {
        ExtractJob job = Job({track}, verify, readTwice);
        job.readOffset = kOffset;
        job.tracks[0].readableStart = 0;
        job.tracks[0].readableEnd = kDiscEnd; // the track is the disc's last
        return job;
    }
    // The corrected track: the disc's bytes 4 * 100 later, zero past its end.
    std::vector<uint8_t> CorrectedTrack() const {
        std::vector<uint8_t> bytes(static_cast<std::size_t>(track.length) * kSectorBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const int64_t b = int64_t{track.start} * kSectorBytes + static_cast<int64_t>(i) +
                              kOffset * 4;
            bytes[i] = b >= int64_t{kDiscEnd} * kSectorBytes
                           ? 0
                           : SectorByte(static_cast<SectorAddress>(b / kSectorBytes),
                                        static_cast<int>(b % kSectorBytes));
        }
        return bytes;
    }
    std::vector<std::pair<SectorAddress, int>> ReadCommands() const {
        std::vector<std::pair<SectorAddress, int>> reads;
        for (const auto& command : commands) {
            if (command.cdb[0] == 0xBE && command.cdb[9] == 0x10) {
                const uint8_t* c = command.cdb.data();
                reads.emplace_back((c[2] << 24) | (c[3] << 16) | (c[4] << 8) | c[5],
                                   (c[6] << 16) | (c[7] << 8) | c[8]);
            }
        }
        return reads;
    }
    // The peaks of the corrected block at `address` with `sectors` sectors.
    PeakPair CorrectedPeaks(SectorAddress address, int sectors) const {
        const std::vector<uint8_t> expected = CorrectedTrack();
        PeakTable peaks;
        ComputePeaks(expected.data() +
                         static_cast<std::size_t>(address - track.start) * kSectorBytes,
                     sectors, address, peaks);
        return *peaks.At(address);
    }
};

TEST_F(CorrectedRun, FileAndPeaksHoldTheCorrectedSamples) {
    test::RecordingView view;
    RunProtocol protocol(CorrectedJob(false, true), view, Clock());
    RunToStop(protocol);
    ASSERT_TRUE(protocol.Finished());
    const std::vector<uint8_t> file = test::ReadWholeFile(protocol.Job().tracks[0].path);
    const std::vector<uint8_t> expected = CorrectedTrack();
    ASSERT_EQ(file.size(), 44 + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 44));
    // One sector more, carried over: reads of 1, 16 and 16 sectors, none
    // past the disc's end.
    const std::vector<std::pair<SectorAddress, int>> reads = {{16, 1}, {17, 16}, {33, 16}};
    EXPECT_EQ(ReadCommands(), reads);
    // Each block's peaks are those of its corrected samples: the left
    // maximum comes from the block's last sector, which the correction
    // takes partly from the next block.
    for (int block = 0; block < 3; ++block) {
        const SectorAddress address = track.start + block * 16;
        const PeakPair want = CorrectedPeaks(address, std::min(16, track.length - block * 16));
        const PeakPair* got = protocol.Run().peaks->At(address);
        EXPECT_EQ(got->leftMax, want.leftMax) << block;
        EXPECT_EQ(got->leftNegMin, want.leftNegMin) << block;
        EXPECT_EQ(got->rightMax, want.rightMax) << block;
        EXPECT_EQ(got->rightNegMin, want.rightNegMin) << block;
    }
    EXPECT_EQ(protocol.Run().peaks->At(32)->leftMax, 2 * 48) << "a sample of sector 48";
    EXPECT_EQ(view.lines[4], "  Offset: 100 samples past the disc's end written as silence");
}

TEST_F(CorrectedRun, BothVerificationsKeepTheCorrectedPeaks) {
    for (const bool readTwice : {true, false}) {
        SCOPED_TRACE(readTwice);
        commands.clear();
        test::RecordingView view;
        RunProtocol protocol(CorrectedJob(true, readTwice), view, Clock());
        RunToStop(protocol);
        ASSERT_TRUE(protocol.Finished());
        EXPECT_EQ(protocol.Run().totalErrors, 0);
        const PeakPair want = CorrectedPeaks(32, 16);
        EXPECT_EQ(protocol.Run().peaks->At(32)->leftMax, want.leftMax);
        EXPECT_EQ(protocol.Run().peaks->At(32)->rightNegMin, want.rightNegMin);
        EXPECT_EQ(protocol.Run().peaks->At(32)->leftErrors, 0);
    }
}

} // namespace
} // namespace vindral
