// Building a job, the read-method probe, the free-space message, the WAV
// header, the peaks and the display formats.
#include <gtest/gtest.h>

#include <cstring>

#include "drive/RecordingBackend.h"
#include "extract/JobBuilder.h"
#include "extract/RunHarness.h"

namespace vindral {
namespace {

TEST(JobBuilding, SelectedRowsBecomeEntriesInRowOrder) {
    TrackTable table;
    table.count = 8;
    for (int k = 0; k < 8; ++k) {
        table.entries[static_cast<std::size_t>(k)] = {0, k + 1, k * 1000, 1000 + k};
    }
    const ExtractJob job = BuildJob(table, {6, 0, 2}, "/music/", "Track", {1, 4}, true, false);
    ASSERT_EQ(job.Count(), 3);
    EXPECT_EQ(job.tracks[0].path, "/music/Track01.wav");
    EXPECT_EQ(job.tracks[1].path, "/music/Track03.wav");
    EXPECT_EQ(job.tracks[2].path, "/music/Track07.wav");
    EXPECT_EQ(job.tracks[2].track.start, 6000);
    EXPECT_EQ(job.totalSectors, 1000 + 1002 + 1006);
    EXPECT_EQ(job.hostAdapter, 1);
    EXPECT_EQ(job.target, 4);
    EXPECT_TRUE(job.verify);
    EXPECT_FALSE(job.readTwice);
    EXPECT_EQ(TrackFileName("/music/", "", 5), "/music/05.wav");
    EXPECT_EQ(TrackFileName("", "Track", 12), "Track12.wav");
}

TEST(JobBuilding, FreeSpaceMessageIsSixtyFourBits) {
    EXPECT_EQ(NotEnoughSpaceMessage(5000000000ULL),
              "Not enough diskspace\r\n5000000000 more bytes needed");
    ExtractJob job;
    job.totalSectors = 1000000;
    EXPECT_EQ(NeededBytes(job), 2352000000ULL);
    EXPECT_EQ(FreeSpaceForJob(job).bytes, 0u) << "an empty job has no folder";
    test::TempFolder folder;
    job.tracks.push_back({folder.Path() + "Track01.wav", {}});
    EXPECT_GT(FreeSpaceForJob(job).bytes, 0u);
    EXPECT_EQ(FreeSpaceForJob(job).error, "");
}

TEST(JobBuilding, AFreeSpaceQueryThatFailsSaysWhatFailed) {
    // A prefix with a folder in it that does not exist.
    test::TempFolder folder;
    ExtractJob job;
    job.tracks.push_back({TrackFileName(folder.Path(), "missing/Track", 1), {}});
    const FreeSpace space = FreeSpaceForJob(job);
    EXPECT_EQ(space.bytes, 0u);
    EXPECT_EQ(space.error, "The free space of " + folder.Path() +
                               "missing/ cannot be found: No such file or directory");
}

class Probe : public test::RunFixture {};

TEST_F(Probe, TriesTheReadCommandsInTurn) {
    EXPECT_EQ(ProbeReadMethod(0, 1), kReadCd) << "READ CD wins even when READ CDDA works";
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].cdb[0], 0xBE);
    EXPECT_EQ(commands[0].length, 2352u);

    commands.clear();
    disc.acceptReadCd = false;
    EXPECT_EQ(ProbeReadMethod(0, 1), kReadCdda);
    ASSERT_EQ(commands.size(), 2u);

    commands.clear();
    disc.acceptReadCdda = false;
    EXPECT_EQ(ProbeReadMethod(0, 1), kRead10);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[1].cdb[0], 0xD8);
    EXPECT_EQ(commands[2].cdb[0], 0x55);
    EXPECT_EQ(commands[3].cdb[0], 0x28);
    EXPECT_EQ(disc.blockLength.load(), 2352u) << "the drive stays switched";

    commands.clear();
    disc.acceptRead10 = false;
    EXPECT_EQ(ProbeReadMethod(0, 1), kReadCd);
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[3].cdb[0], 0x28);
    EXPECT_EQ(commands[4].cdb[0], 0x55);
    EXPECT_EQ(disc.blockLength.load(), 2048u) << "switched back to data blocks";
    for (const auto& command : commands) {
        if (command.cdb[0] != 0x55) {
            EXPECT_EQ(command.cdb[5], 0) << "the probe reads sector 0";
        }
    }
}

TEST(ProbeOfShortTransfers, AMethodThatTransfersShortIsNotChosen) {
    // READ CD fills only 2048 bytes of the 2352; `reported` says whether
    // the backend knows it (a residual count) or not.
    for (bool reported : {true, false}) {
        SCOPED_TRACE(reported ? "residual reported" : "residual unknown");
        std::vector<test::RecordedCommand> log;
        test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
        backend->responder = [&](const test::RecordedCommand& command, uint8_t* buffer,
                                 SenseResult& sense) {
            const bool shortRead = command.cdb[0] == 0xBE;
            std::memset(buffer, 0, shortRead ? 2048 : command.length);
            if (shortRead && reported) {
                sense.residual = command.length - 2048;
            }
            return kStatusOk;
        };
        EXPECT_EQ(ProbeReadMethod(0, 0), kReadCdda);
        // Both markers were tried before READ CD was given up.
        std::size_t readCds = 0;
        for (const auto& command : log) {
            readCds += command.cdb[0] == 0xBE ? 1 : 0;
        }
        EXPECT_EQ(readCds, reported ? 1u : 2u);
    }
    // A sector whose tail happens to hold the first marker is still whole.
    std::vector<test::RecordedCommand> log;
    test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
    backend->responder = [](const test::RecordedCommand& command, uint8_t* buffer, SenseResult&) {
        std::memset(buffer, 0xA5, command.length);
        return kStatusOk;
    };
    EXPECT_EQ(ProbeReadMethod(0, 0), kReadCd);
    ResetTransportForTesting();
}

// The cache a secure re-read must read past: the setting, or less where the
// drive's MODE SENSE page 0x2A reports a smaller buffer.
TEST(CacheDefeat, TheDrivesReportedBufferCapsTheSetting) {
    struct Row {
        int32_t bufferKB;
        uint8_t page;
        int32_t status;
        int32_t configured;
        int32_t expected;
    };
    const Row rows[] = {
        {2048, 0x2A, kStatusOk, 2048, 892 + 223 + 32}, // 2 MB: 892 sectors and spare
        {64, 0x2A, kStatusOk, 2048, 28 + 7 + 32},
        {8192, 0x2A, kStatusOk, 2048, 2048}, // never more than the setting
        {0, 0x2A, kStatusOk, 2048, 2048},    // no size reported
        {64, 0x2A, 2, 2048, 2048},           // MODE SENSE refused
        {64, 0x0E, kStatusOk, 2048, 2048},   // another page came back
        {64, 0x2A, kStatusOk, 0, 0},         // the cache is left alone
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.bufferKB) + " kB, page " + std::to_string(row.page));
        std::vector<test::RecordedCommand> log;
        test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
        backend->responder = [&row](const test::RecordedCommand& command, uint8_t* buffer,
                                    SenseResult&) {
            std::memset(buffer, 0, command.length);
            if (command.cdb[0] == 0x5A && command.length >= 22) {
                buffer[8] = row.page;
                buffer[9] = 20;
                buffer[20] = static_cast<uint8_t>(row.bufferKB >> 8);
                buffer[21] = static_cast<uint8_t>(row.bufferKB);
            }
            return row.status;
        };
        EXPECT_EQ(CacheDefeatSectors(0, 0, row.configured), row.expected);
        ResetTransportForTesting();
    }
}

TEST(Peaks, HighBytesOfEachChannel) {
    PeakTable table;
    std::vector<uint8_t> audio(2 * 2352, 0);
    ComputePeaks(audio.data(), 2, 0, table);
    const PeakPair& silent = *table.At(0);
    EXPECT_EQ(silent.leftMax, 0);
    EXPECT_EQ(silent.leftNegMin, 0);
    EXPECT_EQ(silent.rightMax, 0);
    EXPECT_EQ(silent.rightNegMin, 0);
    EXPECT_EQ(silent.leftErrors, -1) << "error counts are left alone";

    std::fill(audio.begin(), audio.end(), 0xFF); // every sample -1
    ComputePeaks(audio.data(), 2, 1000, table);
    const PeakPair& minusOne = table.Entry(62);
    EXPECT_EQ(minusOne.leftMax, -1);
    EXPECT_EQ(minusOne.leftNegMin, 1);
    EXPECT_EQ(&minusOne, table.At(1000));
    EXPECT_EQ(table.At(1016), &table.Entry(63));

    // Left swings to +127/-128 in its high byte, right stays at 0x10; low
    // bytes are never looked at. The extremes sit in each frame of a group
    // of four, and in the last one.
    for (std::size_t frame : {0, 1, 2, 3, 1175}) {
        std::fill(audio.begin(), audio.end(), 0);
        for (std::size_t f = 0; f < audio.size() / 4; ++f) {
            audio[4 * f + 3] = 0x10;
        }
        audio[4 * frame + 1] = 0x7F;
        audio[4 * frame] = 0xFF;
        audio[4 * ((frame + 1) % 1176) + 1] = 0x80;
        audio[4 * ((frame + 2) % 1176) + 3] = 0xC0;
        ComputePeaks(audio.data(), 2, 16, table);
        EXPECT_EQ(table.At(16)->leftMax, 127) << frame;
        EXPECT_EQ(table.At(16)->leftNegMin, 128) << frame;
        EXPECT_EQ(table.At(16)->rightMax, 16) << frame;
        EXPECT_EQ(table.At(16)->rightNegMin, 64) << frame;
    }

    // Outside the table nothing is stored.
    EXPECT_EQ(table.At(384000), nullptr);
    EXPECT_EQ(table.At(-16), nullptr);
    ComputePeaks(audio.data(), 2, 384000, table);
    EXPECT_NE(table.At(383999), nullptr);
}

TEST(DisplayFormats, TimeSpeedAndPosition) {
    EXPECT_EQ(TimeText(3725000), " 1:02:05");
    EXPECT_EQ(TimeText(0), " 0:00:00");
    EXPECT_EQ(TimeText(36000000), "10:00:00");
    EXPECT_EQ(SpeedText(75, 1000), "1.0 X");
    EXPECT_EQ(SpeedText(3000, 1000), "40.0 X");
    EXPECT_EQ(SpeedText(16, 0), "0.0 X");
    EXPECT_EQ(PositionText(0), "00:00.0");
    EXPECT_EQ(PositionText(83456), "01:23.4");
    EXPECT_EQ(PositionText(3600000), "60:00.0");
}

TEST(WavHeader, SizesFollowTheTrackLength) {
    const auto header = MakeWavHeader(1);
    EXPECT_EQ(header[4] | (header[5] << 8) | (header[6] << 16), 2352 + 36);
    EXPECT_EQ(header[40] | (header[41] << 8) | (header[42] << 16), 2352);
    const auto zero = MakeWavHeader(0);
    EXPECT_EQ(zero[4], 36);
    EXPECT_EQ(zero[40], 0);
}

} // namespace
} // namespace vindral
