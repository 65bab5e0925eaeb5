// Whole passes of the workers through the run protocol, over a synthetic disc.
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/resource.h>

#include "extract/RunHarness.h"

namespace vindral {
namespace {

using test::DiscByte;
using test::FileSizeLimit;
using test::FileExists;
using test::ReadWholeFile;
using test::RecordingView;

uint32_t Le32(const std::vector<uint8_t>& bytes, std::size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// The audio of the file equals the disc's sectors, in order, with nothing more.
void ExpectTrackData(const std::vector<uint8_t>& file, const TrackEntry& track) {
    ASSERT_EQ(file.size(), 44u + static_cast<std::size_t>(track.length) * 2352);
    for (int s = 0; s < track.length; ++s) {
        for (int i = 0; i < 2352; i += 97) {
            ASSERT_EQ(file[44 + static_cast<std::size_t>(s) * 2352 + i],
                      DiscByte(track.start + s, i))
                << "sector " << s << " byte " << i;
        }
    }
}

std::vector<uint32_t> ReadLengths(const std::vector<test::RecordedCommand>& commands,
                                  uint8_t opcode) {
    std::vector<uint32_t> lengths;
    for (const auto& command : commands) {
        if (command.cdb[0] == opcode) {
            lengths.push_back(command.length);
        }
    }
    return lengths;
}

class Extraction : public test::RunFixture {};

TEST_F(Extraction, TrackIsReadInBlocksOfSixteenAndTheRemainder) {
    const TrackEntry track{0, 1, 100, 33};
    RecordingView view;
    RunProtocol protocol(Job({track}, false), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(ReadLengths(commands, 0xBE), (std::vector<uint32_t>{37632, 37632, 2352}));
    EXPECT_EQ(protocol.Run().trackSectorsDone, 48) << "counters step by 16 for the last block too";
    const auto file = ReadWholeFile(protocol.Job().tracks[0].path);
    ExpectTrackData(file, track);
    EXPECT_EQ(std::memcmp(file.data(), "RIFF", 4), 0);
    EXPECT_EQ(Le32(file, 4), 33u * 2352 + 36);
    EXPECT_EQ(std::memcmp(file.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(Le32(file, 16), 16u);
    EXPECT_EQ(Le32(file, 20), 1u | (2u << 16));
    EXPECT_EQ(Le32(file, 24), 44100u);
    EXPECT_EQ(Le32(file, 28), 176400u);
    EXPECT_EQ(Le32(file, 32), 4u | (16u << 16));
    EXPECT_EQ(std::memcmp(file.data() + 36, "data", 4), 0);
    EXPECT_EQ(Le32(file, 40), 33u * 2352);
    EXPECT_TRUE(protocol.Finished());
    EXPECT_FALSE(protocol.Failed());
}

TEST_F(Extraction, ShortTracksAndTheBufferThreshold) {
    // 5 sectors: one block. 500 sectors cross the 524,288-byte threshold in
    // the middle of a block, twice.
    const TrackEntry small{0, 1, 0, 5};
    const TrackEntry large{0, 2, 5, 500};
    RecordingView view;
    RunProtocol protocol(Job({small, large}, false), view, Clock());
    RunToStop(protocol);
    const auto lengths = ReadLengths(commands, 0xBE);
    ASSERT_FALSE(lengths.empty());
    EXPECT_EQ(lengths.front(), 5u * 2352);
    EXPECT_EQ(lengths.size(), 1u + 32u);
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[0].path), small);
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[1].path), large);
}

TEST_F(Extraction, OneTrackLogsFiveLinesAndSavesThem) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 3, 4500, 40}}, false), view, Clock());
    RunToStop(protocol);
    const std::vector<std::string> expected = {
        "1 track(s) selected",
        "---> Extracting track 03",
        "  Start: 01:00.00 - Length: 00:00.40",
        "  Filename: " + protocol.Job().tracks[0].path,
        "1 track(s) extracted",
    };
    EXPECT_EQ(view.lines, expected);
    EXPECT_EQ(protocol.Log().Lines(), expected);
    EXPECT_EQ(view.cancelCaption, "Close");
    EXPECT_TRUE(protocol.SaveEnabled());
    EXPECT_TRUE(view.playerStarted);
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(protocol.TrackCaption(), "Track 1/1");
    EXPECT_EQ(protocol.Texts().trackNumber, "01");
    EXPECT_EQ(protocol.Run().player.currentTrack, 0);

    const std::string saved = folder.Path() + "status.txt";
    ASSERT_TRUE(protocol.Log().Save(saved));
    std::string text;
    for (const auto& line : expected) {
        text += line + "\n";
    }
    const auto bytes = ReadWholeFile(saved);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
    EXPECT_FALSE(protocol.Log().Save(folder.Path() + "missing/status.txt"));

    // A second press of Close ends the dialog and closes the player.
    protocol.Cancel();
    EXPECT_TRUE(view.ended);
    EXPECT_TRUE(view.playerClosed);
}

// Five lines of the plain run, the verifying line, the track's errors and
// speed, and the run's total errors and speed.
TEST_F(Extraction, VerifiedTrackLogsTheVerificationLines) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 20}}, true), view, Clock());
    RunToStop(protocol);
    ASSERT_EQ(view.lines.size(), 10u) << ::testing::PrintToString(view.lines);
    EXPECT_EQ(view.lines[4], "---> Verifying track 01");
    EXPECT_EQ(view.lines[5], "  Errors: 0 (0.00%)");
    EXPECT_EQ(view.lines[6].rfind("  Speed: ", 0), 0u);
    EXPECT_EQ(view.lines[7], "Total errors: 0 (0.00%)");
    EXPECT_EQ(view.lines[8].rfind("Speed: ", 0), 0u);
    EXPECT_EQ(view.lines[8].substr(view.lines[8].size() - 2), " X");
    EXPECT_EQ(view.lines[9], "1 track(s) extracted");
    EXPECT_EQ(protocol.TrackErrorBase(), 20 * 2352);
    EXPECT_EQ(protocol.TotalErrorBase(), 20 * 2352);
    const PeakPair* entry = protocol.Run().peaks->At(0);
    EXPECT_EQ(entry->leftErrors, 0);
    EXPECT_EQ(entry->rightErrors, 0);
    EXPECT_EQ(protocol.Run().peaks->At(32)->leftErrors, -1) << "blocks not verified keep -1";
    EXPECT_EQ(protocol.Texts().trackErrors, "0/47040");
}

TEST_F(Extraction, DifferingBytesAreCountedPerChannel) {
    // Offset 2 of a frame is the low byte of a right sample; offset 5 the
    // high byte of the next left sample.
    disc.unstable[17] = {2};
    disc.unstable[40] = {5, 6};
    const TrackEntry track{0, 1, 0, 48};
    RecordingView view;
    RunProtocol protocol(Job({track}, true), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(protocol.Run().totalErrors, 3);
    const PeakPair* second = protocol.Run().peaks->At(16);
    EXPECT_EQ(second->leftErrors, 0);
    EXPECT_EQ(second->rightErrors, 1);
    const PeakPair* third = protocol.Run().peaks->At(32);
    EXPECT_EQ(third->leftErrors, 1);
    EXPECT_EQ(third->rightErrors, 1);
    char expected[64];
    std::snprintf(expected, sizeof expected, "  Errors: 3 (%4.2f%%)", 300.0 / (48 * 2352));
    EXPECT_EQ(view.lines[5], expected);
    EXPECT_TRUE(protocol.Failed()) << "a track that differs is not a clean rip";
    // The WAV file keeps the first reading.
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[0].path), track);
}

TEST_F(Extraction, ThreeTracksRememberWhereTheirLinesStart) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 16}, {0, 2, 16, 16}, {0, 5, 32, 3}}, false), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(protocol.TrackLogStart(0), 1);
    EXPECT_EQ(protocol.TrackLogStart(1), 4);
    EXPECT_EQ(protocol.TrackLogStart(2), 7);
    EXPECT_EQ(view.lines[7], "---> Extracting track 05");
    EXPECT_EQ(view.lines.back(), "3 track(s) extracted");
    EXPECT_EQ(protocol.TrackCaption(), "Track 3/3");
    EXPECT_EQ(protocol.Run().player.currentTrack, 2);
    EXPECT_EQ(protocol.TrackIndex(), 3);
}

TEST_F(Extraction, TotalsCountBothReadingsWithVerify) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 64}, {0, 2, 64, 64}}, true), view, Clock());
    RunToStop(protocol, [&] { now += 301; });
    std::map<std::string, std::string> totalAt;
    for (std::size_t k = 0; k < view.lines.size(); ++k) {
        totalAt[view.lines[k]] = view.textsAtLine[k].totalProgress;
    }
    EXPECT_EQ(totalAt["---> Verifying track 01"], "25%");
    EXPECT_EQ(totalAt["---> Extracting track 02"], "50%");
    EXPECT_EQ(totalAt["---> Verifying track 02"], "75%");
    EXPECT_EQ(protocol.ProgressBar(), 100);
    EXPECT_EQ(protocol.TotalErrorBase(), 128 * 2352);
}

TEST_F(Extraction, TextsRefreshAtMostEveryThreeHundredMilliseconds) {
    RecordingView view;
    std::vector<std::string> elapsed;
    RunProtocol protocol(Job({{0, 1, 0, 160}}, false), view, Clock());
    // The clock stands still: only the first block of the pass refreshes.
    RunToStop(protocol, [&] { elapsed.push_back(protocol.Texts().trackProgress); });
    std::set<std::string> distinct;
    for (const auto& value : elapsed) {
        if (value != "100%") {
            distinct.insert(value);
        }
    }
    EXPECT_EQ(distinct, (std::set<std::string>{"", "10%"}));
    // Every block is still drawn: code 6 for each of the ten, plus the refresh.
    EXPECT_EQ(view.draws, 11);
    EXPECT_EQ(protocol.Texts().trackSpeed, "0.0 X") << "no millisecond has passed";
    EXPECT_EQ(protocol.Texts().trackRemaining, " 0:00:00");
}

TEST_F(Extraction, RefreshedTextsFollowTheClock) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 32}}, false), view, Clock());
    int messages = 0;
    std::string progressAfterFirstBlock;
    std::string speedAfterFirstBlock;
    std::string remainingAfterFirstBlock;
    RunToStop(protocol, [&] {
        // Messages come as 6, 0 per block: let one second pass per block.
        if (++messages == 1) {
            now += 1000;
        }
        if (messages == 2) {
            progressAfterFirstBlock = protocol.Texts().trackProgress;
            speedAfterFirstBlock = protocol.Texts().trackSpeed;
            remainingAfterFirstBlock = protocol.Texts().trackRemaining;
        }
    });
    EXPECT_EQ(progressAfterFirstBlock, "50%");
    EXPECT_EQ(speedAfterFirstBlock, "0.2 X"); // 16 sectors in one second
    EXPECT_EQ(remainingAfterFirstBlock, " 0:00:01");
    EXPECT_EQ(protocol.Texts().position, "00:00.2"); // 16 sectors = 213 ms
}

TEST_F(Extraction, ReadFailureOnTheFirstBlockDeletesTheFile) {
    disc.unreadable = {3};
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 40}, {0, 2, 40, 40}}, false), view, Clock());
    RunToStop(protocol);
    ASSERT_EQ(view.lines.size(), 5u);
    EXPECT_EQ(view.lines[4], "Read error (code 031100)");
    EXPECT_FALSE(FileExists(protocol.Job().tracks[0].path));
    EXPECT_FALSE(FileExists(protocol.Job().tracks[1].path));
    EXPECT_TRUE(protocol.Failed());
    EXPECT_FALSE(protocol.Finished());
    EXPECT_TRUE(protocol.SaveEnabled());
    EXPECT_FALSE(view.playerStarted);
}

TEST_F(Extraction, ReadFailureDuringVerificationKeepsTheFile) {
    RecordingView view;
    const TrackEntry track{0, 1, 0, 40};
    int reads = 0;
    disc.onRead = [&](SectorAddress address) {
        if (address == 16 && ++reads == 2) {
            disc.unreadable.insert(20);
        }
    };
    RunProtocol protocol(Job({track}, true), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(view.lines.back(), "Read error (code 031100)");
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[0].path), track);
}

TEST_F(Extraction, CancelDuringABlockFinishesItThenDeletesTheFile) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 64}}, false), view, Clock());
    int messages = 0;
    RunToStop(protocol, [&] {
        // Code 6 of the second block has just been handled.
        if (++messages == 3) {
            protocol.Cancel();
        }
    });
    EXPECT_EQ(view.cancelCaption, "Close");
    EXPECT_EQ(protocol.Run().trackSectorsDone, 32) << "the begun block is completed";
    EXPECT_EQ(ReadLengths(commands, 0xBE).size(), 2u);
    EXPECT_EQ(view.lines.back(), "Canceled by user");
    EXPECT_FALSE(FileExists(protocol.Job().tracks[0].path));
    EXPECT_FALSE(view.ended);
    protocol.Cancel();
    EXPECT_TRUE(view.ended) << "the second press closes the dialog";
}

TEST_F(Extraction, CancelDuringTheLastBlockKeepsTheFileAndCloses) {
    RecordingView view;
    const TrackEntry track{0, 1, 0, 20};
    RunProtocol protocol(Job({track}, false), view, Clock());
    int messages = 0;
    RunToStop(protocol, [&] {
        if (++messages == 3) { // code 6 of the last block
            protocol.Cancel();
        }
    });
    EXPECT_EQ(view.lines.back(), "1 track(s) extracted");
    EXPECT_TRUE(view.ended);
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[0].path), track);
}

TEST_F(Extraction, CancelAtTheEndOfAnEarlierPassStopsTheNextAtOnce) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 16}, {0, 2, 16, 16}}, false), view, Clock());
    int messages = 0;
    RunToStop(protocol, [&] {
        if (++messages == 1) { // code 6 of track 1's only block
            protocol.Cancel();
        }
    });
    EXPECT_TRUE(FileExists(protocol.Job().tracks[0].path));
    EXPECT_FALSE(FileExists(protocol.Job().tracks[1].path)) << "the new file is deleted again";
    EXPECT_EQ(view.lines[4], "---> Extracting track 02");
    EXPECT_EQ(view.lines.back(), "Canceled by user");
}

TEST_F(Extraction, FileThatCannotBeCreated) {
    RecordingView view;
    ExtractJob job = Job({{0, 1, 0, 16}}, false);
    job.tracks[0].path = folder.Path() + "no-such-folder/Track01.wav";
    RunProtocol protocol(std::move(job), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(view.lines.back(), "Error opening file");
    EXPECT_TRUE(commands.empty()) << "nothing is read";
}

TEST_F(Extraction, WriteFailureIsReportedAndThePartialFileRemoved) {
    // Files may grow to 600,000 bytes: the first buffer load fits, the second
    // does not.
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 600}, {0, 2, 600, 16}}, false), view, Clock());
    {
        FileSizeLimit limit(600000);
        RunToStop(protocol);
    }
    EXPECT_EQ(view.lines.back(), "Error writing file");
    EXPECT_FALSE(FileExists(protocol.Job().tracks[0].path));
    EXPECT_FALSE(FileExists(protocol.Job().tracks[1].path));
    EXPECT_TRUE(protocol.Failed());
    EXPECT_EQ(std::count(view.lines.begin(), view.lines.end(), "1 track(s) extracted"), 0);
}

TEST_F(Extraction, FinalWriteFailureIsReportedToo) {
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 16}}, false), view, Clock());
    {
        FileSizeLimit limit(10000);
        RunToStop(protocol);
    }
    EXPECT_EQ(view.lines.back(), "Error writing file");
    EXPECT_FALSE(FileExists(protocol.Job().tracks[0].path));
}

TEST_F(Extraction, C2PointersCountBlocksAndFlaggedBytesPerChannel) {
    disc.c2Flagged[3] = {0, 1, 2};     // two left bytes, one right byte
    disc.c2Flagged[40] = {2351};       // a right byte
    const TrackEntry track{0, 1, 0, 48};
    RecordingView view;
    RunProtocol protocol(Job({track}, true, false), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(protocol.TrackErrorBase(), 3);
    EXPECT_EQ(protocol.TotalErrorBase(), (96 + 31) / 32);
    EXPECT_EQ(protocol.Run().totalErrors, 2) << "two blocks carry error bits";
    EXPECT_EQ(protocol.Run().peaks->At(0)->leftErrors, 2);
    EXPECT_EQ(protocol.Run().peaks->At(0)->rightErrors, 1);
    EXPECT_EQ(protocol.Run().peaks->At(16)->leftErrors, 0);
    EXPECT_EQ(protocol.Run().peaks->At(32)->rightErrors, 1);
    for (const auto& command : commands) {
        if (command.cdb[0] == 0xBE && command.cdb[9] == 0x12) {
            EXPECT_EQ(command.length % (2352 + 294), 0u);
        }
    }
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[0].path), track);
    char expected[64];
    std::snprintf(expected, sizeof expected, "  Errors: 2 (%4.2f%%)", 200.0 / 3);
    EXPECT_EQ(view.lines[5], expected);
}

TEST_F(Extraction, C2PointersOnADriveWithoutThemFailTheRead) {
    disc.c2Supported = false;
    RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 16}}, true, false), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(view.lines.back(), "Read error (code 052000)");
    EXPECT_TRUE(FileExists(protocol.Job().tracks[0].path)) << "the extracted file stays";
}

TEST_F(Extraction, Read10SwitchesBlocksAroundEveryPass) {
    RecordingView view;
    const TrackEntry track{0, 1, 0, 20};
    RunProtocol protocol(Job({track}, true, true, kRead10), view, Clock());
    RunToStop(protocol);
    std::vector<uint32_t> modes;
    for (const auto& command : commands) {
        if (command.cdb[0] == 0x55) {
            modes.push_back((command.dataSent[14] << 8) | command.dataSent[15]);
        }
    }
    EXPECT_EQ(modes, (std::vector<uint32_t>{2352, 2352, 2048}));
    ExpectTrackData(ReadWholeFile(protocol.Job().tracks[0].path), track);
    EXPECT_EQ(disc.blockLength.load(), 2048u);
}

TEST_F(Extraction, CancelWithRead10RestoresBlocksOnlyAfterTheLastRead) {
    std::mutex lock;
    std::condition_variable changed;
    bool inFlight = false;
    bool release = false;
    int reads = 0;
    disc.onRead = [&](SectorAddress) {
        if (++reads != 2) {
            return;
        }
        std::unique_lock<std::mutex> guard(lock);
        inFlight = true;
        changed.notify_all();
        changed.wait_for(guard, std::chrono::seconds(10), [&] { return release; });
    };
    RecordingView view;
    const TrackEntry track{0, 1, 0, 64};
    RunProtocol protocol(Job({track}, false, true, kRead10), view, Clock());
    protocol.Open();
    {
        std::unique_lock<std::mutex> guard(lock);
        // Drain the first block's messages until the second read is in flight.
        while (!inFlight) {
            guard.unlock();
            protocol.WaitAndDispatch(10);
            guard.lock();
        }
    }
    protocol.Cancel(); // while the worker's READ(10) is under way
    std::size_t restoresDuringRead = 0;
    for (const auto& command : std::vector<test::RecordedCommand>(commands)) {
        restoresDuringRead += command.cdb[0] == 0x55 && command.dataSent[15] == 0x00 ? 1 : 0;
    }
    EXPECT_EQ(restoresDuringRead, 0u);
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    changed.notify_all();
    while (protocol.WorkerActive()) {
        protocol.WaitAndDispatch(10);
    }
    ASSERT_FALSE(commands.empty());
    const auto& last = commands.back();
    EXPECT_EQ(last.cdb[0], 0x55);
    EXPECT_EQ(last.dataSent[15], 0x00) << "data blocks come back after the last read";
    EXPECT_EQ(view.lines.back(), "Canceled by user");
    protocol.Close();
    EXPECT_FALSE(FileExists(protocol.Job().tracks[0].path));
}

TEST_F(Extraction, ClosingWhileAWorkerIsInsideItsBlock) {
    std::mutex lock;
    std::condition_variable changed;
    bool inFlight = false;
    int reads = 0;
    disc.onRead = [&](SectorAddress) {
        if (++reads == 3) {
            std::lock_guard<std::mutex> guard(lock);
            inFlight = true;
            changed.notify_all();
        }
    };
    RecordingView view;
    std::string path;
    {
        auto protocol =
            std::make_unique<RunProtocol>(Job({{0, 1, 0, 400}}, false), view, Clock());
        path = protocol->Job().tracks[0].path;
        protocol->Open();
        std::unique_lock<std::mutex> guard(lock);
        while (!inFlight) {
            guard.unlock();
            protocol->WaitAndDispatch(10);
            guard.lock();
        }
        guard.unlock();
        protocol->Cancel();
        protocol->Cancel(); // the dialog ends with the worker still reading
        EXPECT_TRUE(view.ended);
        protocol.reset(); // must neither hang nor leave a damaged file
    }
    EXPECT_FALSE(FileExists(path));
}

TEST_F(Extraction, ClosingAfterTheLastBlockKeepsAWholeFile) {
    RecordingView view;
    const TrackEntry track{0, 1, 0, 16};
    std::string path;
    {
        RunProtocol protocol(Job({track}, false), view, Clock());
        path = protocol.Job().tracks[0].path;
        RunToStop(protocol);
        protocol.Close();
        protocol.Close();
    }
    ExpectTrackData(ReadWholeFile(path), track);
}

} // namespace
} // namespace vindral
