// Read-offset correction end to end: images whose emulated drive has a read
// offset, ripped and verified by vindral-cli with and without the
// correction, and the offset found again from an AccurateRip answer built
// from the pressed audio.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/CliRun.h"
#include "accuracy/AccurateRipAnswer.h"
#include "accuracy/Checksums.h"
#include "accuracy/DiscIds.h"
#include "cli/Cli.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "extract/RunHarness.h"
#include "net/LocalHttpServer.h"
#include "accuracy/DbarAnswer.h"

namespace vindral {
namespace {

using Result = test::CliResult;

// A corrected rip asks the databases: here they sit on a local port where
// nothing answers, so every rip reports them not reachable.
const std::vector<std::string> kNoDatabases = {"--accuraterip-url", "http://127.0.0.1:1/ar",
                                               "--ctdb-url", "http://127.0.0.1:1"};

Result RunCommand(std::vector<std::string> args) {
    if (!args.empty() && args[0] == "rip" && args.size() > 1) {
        args.insert(args.end(), kNoDatabases.begin(), kNoDatabases.end());
    }
    return test::RunCli(std::move(args));
}

// Three tracks, each long enough for the offset search (sector 455 and on);
// the first just long enough, 456 sectors, so that the search must take it.
constexpr int32_t kStarts[] = {0, 456, 956};
constexpr int32_t kLengths[] = {456, 500, 477};
constexpr int32_t kDiscSectors = 1433;

// The pressed disc: noise-like samples, so that no two shifts look alike.
std::vector<uint8_t> PressedAudio() {
    std::vector<uint8_t> audio(static_cast<std::size_t>(kDiscSectors) * 2352);
    uint32_t state = 12345;
    for (uint8_t& byte : audio) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return audio;
}

std::string WriteImage(const std::string& folder, int32_t driveOffset,
                       const std::vector<uint8_t>& audio) {
    std::ofstream(folder + "disc.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(audio.data()),
               static_cast<std::streamsize>(audio.size()));
    std::ofstream cue(folder + "disc.cue");
    cue << "REM DRIVE OFFSET " << driveOffset << "\n"
        << "FILE \"disc.bin\" BINARY\n"
        << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
        << "  TRACK 02 AUDIO\n    INDEX 01 00:06:06\n"   // 456
        << "  TRACK 03 AUDIO\n    INDEX 01 00:12:56\n";  // 956
    return folder + "disc.cue";
}

// Track k as pressed, with what a drive of `offset` cannot deliver (before
// address 0, past the lead-out) as silence.
std::vector<uint8_t> Expected(const std::vector<uint8_t>& audio, int k, int32_t offset) {
    const std::size_t begin = static_cast<std::size_t>(kStarts[k]) * 2352;
    std::vector<uint8_t> track(audio.begin() + static_cast<std::ptrdiff_t>(begin),
                               audio.begin() + static_cast<std::ptrdiff_t>(
                                                   begin + static_cast<std::size_t>(kLengths[k]) * 2352));
    for (std::size_t i = 0; i < track.size(); i += 4) {
        const int64_t driveSample = static_cast<int64_t>((begin + i) / 4) + offset;
        if (driveSample < 0 || driveSample >= int64_t{kDiscSectors} * 588) {
            std::fill_n(track.begin() + static_cast<std::ptrdiff_t>(i), 4, uint8_t{0});
        }
    }
    return track;
}

std::vector<uint8_t> WavData(const std::string& path) {
    std::vector<uint8_t> file = test::ReadWholeFile(path);
    if (file.size() < 44) {
        return {};
    }
    return std::vector<uint8_t>(file.begin() + 44, file.end());
}

TEST(OffsetRip, CorrectedFilesHoldThePressedAudio) {
    const std::vector<uint8_t> audio = PressedAudio();
    // 2500 samples is four sectors and 148 samples: the reads start in
    // another block of the disc than the track's own.
    for (int32_t n : {6, 667, -1164, 2500, -588}) {
        SCOPED_TRACE(n);
        test::TempFolder folder;
        const std::string cue = WriteImage(folder.Path(), n, audio);
        const Result rip = RunCommand({"rip", "--image", cue, "--out", folder.Path(), "--offset",
                                       std::to_string(n)});
        ASSERT_EQ(rip.status, 0) << rip.out << rip.err;
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE(k + 1);
            const std::vector<uint8_t> got =
                WavData(folder.Path() + "Track0" + std::to_string(k + 1) + ".wav");
            EXPECT_TRUE(got == Expected(audio, k, n));
        }
        // The silence is logged once, after the lines of the track it is in.
        std::string expectedLine;
        std::string after;
        if (n > 0) {
            expectedLine = "  Offset: " + std::to_string(n) +
                           " samples past the disc's end written as silence\n";
            after = "  Filename: " + folder.Path() + "Track03.wav\n";
        } else {
            expectedLine = "  Offset: " + std::to_string(-n) +
                           " samples before the disc's start written as silence\n";
            after = "  Filename: " + folder.Path() + "Track01.wav\n";
        }
        EXPECT_NE(rip.out.find(after + expectedLine), std::string::npos) << rip.out;
        EXPECT_EQ(rip.out.find("  Offset:"), rip.out.rfind("  Offset:")) << rip.out;
        // The corrected rip is checked, and its rip log names the offset.
        const auto log = test::ReadWholeFile(folder.Path() + "Track.log");
        EXPECT_NE(std::string(log.begin(), log.end())
                      .find("\nRead offset: " + std::string(n > 0 ? "+" : "") +
                            std::to_string(n) + " samples\n"),
                  std::string::npos);
    }
}

TEST(OffsetRip, WithoutTheCorrectionTheFilesDifferAndTheLogIsUnchanged) {
    const std::vector<uint8_t> audio = PressedAudio();
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), 667, audio);
    const Result plain = RunCommand({"rip", "--image", cue, "--out", folder.Path()});
    const Result zero = RunCommand({"rip", "--image", cue, "--out", folder.Path(), "--offset", "0"});
    ASSERT_EQ(plain.status, 0);
    ASSERT_EQ(zero.status, 0);
    // --offset 0 is the plain rip, line for line, and then the databases'
    // results (here: not reachable).
    ASSERT_GT(zero.out.size(), plain.out.size());
    EXPECT_EQ(zero.out.substr(0, plain.out.size()), plain.out);
    EXPECT_EQ(zero.out.substr(plain.out.size()).rfind("AccurateRip: database not reachable", 0), 0u)
        << zero.out;
    EXPECT_EQ(plain.out.find("Offset"), std::string::npos);
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint8_t> got =
            WavData(folder.Path() + "Track0" + std::to_string(k + 1) + ".wav");
        ASSERT_EQ(got.size(), static_cast<std::size_t>(kLengths[k]) * 2352);
        EXPECT_FALSE(got == Expected(audio, k, 667)) << "track " << k + 1;
    }
}

TEST(OffsetRip, VerificationReadsWithTheSameCorrection) {
    const std::vector<uint8_t> audio = PressedAudio();
    for (int32_t n : {667, -1164}) {
        SCOPED_TRACE(n);
        test::TempFolder folder;
        const std::string cue = WriteImage(folder.Path(), n, audio);
        const Result rip = RunCommand({"rip", "--image", cue, "--out", folder.Path(), "--verify",
                                       "--offset", std::to_string(n)});
        EXPECT_EQ(rip.status, 0) << rip.out;
        EXPECT_NE(rip.out.find("Total errors: 0 (0.00%)\n"), std::string::npos) << rip.out;
        EXPECT_TRUE(WavData(folder.Path() + "Track02.wav") == Expected(audio, 1, n));
    }
}

// An enhanced CD: the first session's lead-out cannot be read, so the
// last audio track ends in silence rather than in a read error.
TEST(OffsetRip, TheFirstSessionEndsTheReadableAudio) {
    const std::vector<uint8_t> audio = PressedAudio();
    test::TempFolder folder;
    std::ofstream(folder.Path() + "audio.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(audio.data()), 300 * 2352);
    std::ofstream(folder.Path() + "data.bin", std::ios::binary) << std::string(100 * 2352, 'D');
    std::ofstream(folder.Path() + "disc.cue")
        << "REM DRIVE OFFSET 100\nREM SESSION 01\nFILE \"audio.bin\" BINARY\n"
           "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
           "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
           "REM SESSION 02\nFILE \"data.bin\" BINARY\n"
           "  TRACK 03 MODE1/2352\n    INDEX 01 00:00:00\n";
    const Result rip = RunCommand({"rip", "--image", folder.Path() + "disc.cue", "--out",
                                   folder.Path(), "--offset", "100", "--verify"});
    ASSERT_EQ(rip.status, 0) << rip.out << rip.err;
    EXPECT_NE(rip.out.find("Track02.wav\n  Offset: 100 samples past the disc's end written as "
                           "silence\n"),
              std::string::npos)
        << rip.out;
    std::vector<uint8_t> expected(audio.begin() + 75 * 2352, audio.begin() + 300 * 2352);
    std::fill(expected.end() - 400, expected.end(), uint8_t{0});
    EXPECT_TRUE(WavData(folder.Path() + "Track02.wav") == expected);
}

accuracy::AccurateRipId DiscId() {
    return test::AccurateRipIdOfTable(test::AudioTable(
        {{kStarts[0], kLengths[0]}, {kStarts[1], kLengths[1]}, {kStarts[2], kLengths[2]}}));
}

// A dBAR answer of two pressings for the disc: one whose sums are those of
// the pressed audio, one of another pressing that matches nothing.
std::vector<uint8_t> BuildAnswer(const std::vector<uint8_t>& audio) {
    accuracy::AccurateRipResponse pressed;
    accuracy::AccurateRipResponse other;
    pressed.id = other.id = DiscId();
    for (int k = 0; k < 3; ++k) {
        const uint64_t samples = static_cast<uint64_t>(kLengths[k]) * 588;
        accuracy::TrackChecksums sums(samples, {k == 0, k == 2});
        sums.Add(audio.data() + static_cast<std::size_t>(kStarts[k]) * 2352,
                 static_cast<std::size_t>(kLengths[k]) * 2352);
        const accuracy::TrackSums result = sums.Result();
        pressed.tracks.push_back({7, result.arV2, result.arOffsetFinding});
        other.tracks.push_back({2, 0x12345678u + static_cast<uint32_t>(k),
                                0x0BADF00Du + static_cast<uint32_t>(k)});
    }
    const std::string bytes = test::DbarBytes({pressed, other});
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST(OffsetFind, PrintsTheDriveOffsetFromTheAnswer) {
    const std::vector<uint8_t> audio = PressedAudio();
    const std::vector<uint8_t> answer = BuildAnswer(audio);
    for (int32_t n : {6, 667, -1164}) {
        SCOPED_TRACE(n);
        test::TempFolder folder;
        const std::string cue = WriteImage(folder.Path(), n, audio);
        const std::string dbar = folder.Path() + "answer.bin";
        std::ofstream(dbar, std::ios::binary)
            .write(reinterpret_cast<const char*>(answer.data()),
                   static_cast<std::streamsize>(answer.size()));
        const Result found = RunCommand({"offset", "find", "--image", cue, "--dbar", dbar});
        EXPECT_EQ(found.status, 0) << found.err;
        char line[64];
        std::snprintf(line, sizeof line, "Read offset %+d: 3 of 3 tracks agree\n", n);
        EXPECT_EQ(found.out, line);
    }
}

TEST(OffsetFind, RefusesWhatItCannotUse) {
    const std::vector<uint8_t> audio = PressedAudio();
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), 30, audio);
    std::vector<uint8_t> answer = BuildAnswer(audio);

    // An answer for another disc.
    answer[1] ^= 0x01;
    const std::string other = folder.Path() + "other.bin";
    std::ofstream(other, std::ios::binary)
        .write(reinterpret_cast<const char*>(answer.data()),
               static_cast<std::streamsize>(answer.size()));
    Result result = RunCommand({"offset", "find", "--image", cue, "--dbar", other});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("the AccurateRip answer cannot be used"), std::string::npos)
        << result.err;

    // Only the pressing that matches nothing.
    answer = BuildAnswer(audio);
    answer.resize(answer.size() / 2);
    for (std::size_t t = 0; t < 3; ++t) {
        for (std::size_t i = 0; i < 4; ++i) {
            answer[13 + t * 9 + 5 + i] ^= 0x5A;
        }
    }
    const std::string none = folder.Path() + "none.bin";
    std::ofstream(none, std::ios::binary)
        .write(reinterpret_cast<const char*>(answer.data()),
               static_cast<std::streamsize>(answer.size()));
    result = RunCommand({"offset", "find", "--image", cue, "--dbar", none});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "No read offset matches (3 of 3 tracks compared)\n");

    result = RunCommand({"offset", "find", "--image", cue, "--dbar", folder.Path() + "missing"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot read"), std::string::npos);
}

TEST(OffsetFind, WindowSumsEqualThoseOfTheWholeTrack) {
    const std::vector<uint8_t> audio = PressedAudio();
    const uint64_t samples = 500 * 588;
    accuracy::TrackChecksums whole(samples, {});
    whole.Add(audio.data(), static_cast<std::size_t>(samples) * 4);
    const std::vector<uint32_t> streamed = whole.OffsetFindingSums();
    const std::vector<uint32_t> windowed = accuracy::OffsetFindingSumsOfWindow(
        audio.data() + accuracy::kOffsetWindowFirstSector * 2352);
    ASSERT_EQ(streamed.size(), 2u * 2940 + 1);
    EXPECT_EQ(windowed, streamed);
    // The middle one is the track's own offset-finding sum.
    EXPECT_EQ(windowed[2940], whole.Result().arOffsetFinding);
    EXPECT_EQ(accuracy::kOffsetWindowFirstSector, 445u);
    EXPECT_EQ(accuracy::kOffsetWindowSectors, 11u);
}

// Without --dbar the answer comes from the database, here a server on
// 127.0.0.1; the answers are kept in a cache of the test's own.
class OffsetFindOnline : public ::testing::Test {
protected:
    void SetUp() override {
        audio = PressedAudio();
        const std::vector<uint8_t> bytes = BuildAnswer(audio);
        answer.assign(bytes.begin(), bytes.end());
        cue = WriteImage(folder.Path(), 667, audio);
        ::setenv("XDG_CACHE_HOME", (folder.Path() + "cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (folder.Path() + "config").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_CACHE_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
    }
    std::string AnswerPath() const { return "/ar/" + DiscId().DatabasePath(); }

    test::TempFolder folder;
    std::vector<uint8_t> audio;
    std::string answer;
    std::string cue;
};

TEST_F(OffsetFindOnline, FetchesTheAnswerOnceAndKeepsIt) {
    test::LocalHttpServer server;
    server.Set(AnswerPath(), answer);
    const Result found =
        RunCommand({"offset", "find", "--image", cue, "--accuraterip-url", server.Url() + "/ar"});
    EXPECT_EQ(found.status, 0) << found.out << found.err;
    EXPECT_EQ(found.out, "Read offset +667: 3 of 3 tracks agree\n");
    EXPECT_EQ(server.Requests(), std::vector<std::string>{AnswerPath()});
    const std::string cached = folder.Path() + "cache/vindral/127.0.0.1_" +
                               std::to_string(server.Port()) + "/accuraterip/" +
                               DiscId().DatabasePath();
    const std::vector<uint8_t> stored = test::ReadWholeFile(cached);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), answer);

    // The server gone, the cached answer still finds it.
    server.Stop();
    const Result again =
        RunCommand({"offset", "find", "--image", cue, "--accuraterip-url", server.Url() + "/ar"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(again.out, found.out);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(OffsetFindOnline, TakesTheDatabaseFromTheSettings) {
    test::LocalHttpServer server;
    server.Set(AnswerPath(), answer);
    std::filesystem::create_directories(folder.Path() + "config/vindral");
    std::ofstream(folder.Path() + "config/vindral/settings.reg")
        << "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n"
        << "\"accurateRipUrl\"=\"" << server.Url() << "/ar\"\n";
    const Result found = RunCommand({"offset", "find", "--image", cue});
    EXPECT_EQ(found.status, 0) << found.out << found.err;
    EXPECT_EQ(found.out, "Read offset +667: 3 of 3 tracks agree\n");
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(OffsetFindOnline, SaysWhyThereIsNoAnswer) {
    test::LocalHttpServer server;
    // The database does not know the disc.
    Result result =
        RunCommand({"offset", "find", "--image", cue, "--accuraterip-url", server.Url() + "/ar"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "AccurateRip: not in database\n");
    EXPECT_EQ(server.Requests(), std::vector<std::string>{AnswerPath()});

    // A truncated answer is named and not kept: the next run asks again.
    server.Set(AnswerPath(), answer.substr(0, answer.size() - 5));
    result =
        RunCommand({"offset", "find", "--image", cue, "--accuraterip-url", server.Url() + "/ar"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("AccurateRip: unusable answer, not used (", 0), 0u) << result.out;
    server.Set(AnswerPath(), answer);
    result =
        RunCommand({"offset", "find", "--image", cue, "--accuraterip-url", server.Url() + "/ar"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(server.Requests().size(), 3u);

    // Nobody answers on the port.
    result = RunCommand(
        {"offset", "find", "--image", cue, "--accuraterip-url", "http://127.0.0.1:1/ar"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("AccurateRip: database not reachable", 0), 0u) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST(OffsetOptions, UsageErrors) {
    for (const char* bad : {"3001", "-3001", "abc", "", "+", "12x", "99999"}) {
        SCOPED_TRACE(bad);
        const Result result = RunCommand({"rip", "--demo", "--offset", bad});
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find("--offset takes a number of samples from -3000 to 3000"),
                  std::string::npos);
    }
    EXPECT_EQ(RunCommand({"rip", "--demo", "--offset"}).status, 2);
    EXPECT_EQ(RunCommand({"offset", "--demo"}).status, 2);
    EXPECT_EQ(RunCommand({"offset", "find", "--demo", "--dbar", "answer.bin", "--accuraterip-url",
                          "http://127.0.0.1:1/ar"})
                  .status,
              2);
    EXPECT_EQ(RunCommand({"offset", "find", "--demo", "--accuraterip-url"}).status, 2);
    EXPECT_EQ(RunCommand({"toc", "--demo", "--offset", "6"}).status, 2);
    const Result help = RunCommand({"offset", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: vindral-cli offset find", 0), 0u);
}

} // namespace
} // namespace vindral
