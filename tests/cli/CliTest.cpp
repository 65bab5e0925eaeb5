// The command-line front end end to end, over emulated drives.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "cli/Cli.h"
#include "drive/Transport.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/Disc.h"
#include "extract/RunHarness.h"

namespace vindral {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result RunCli(std::vector<std::string> args) {
    ResetTransportForTesting();
    args.insert(args.begin(), "vindral-cli");
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    std::ostringstream out;
    std::ostringstream err;
    const int status = cli::Run(static_cast<int>(argv.size()), argv.data(), out, err);
    ResetTransportForTesting();
    return {status, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A small image: track 1 of 40 sectors, track 2 of 30, the given REM lines.
std::string WriteImage(const std::string& folder, const std::string& rem) {
    std::vector<uint8_t> bin(70 * 2352);
    for (std::size_t i = 0; i < bin.size(); ++i) {
        bin[i] = static_cast<uint8_t>((i * 31 + i / 2352) & 0xFF);
    }
    std::ofstream(folder + "disc.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    std::ofstream cue(folder + "disc.cue");
    cue << rem << "FILE \"disc.bin\" BINARY\n"
        << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
        << "  TRACK 02 AUDIO\n    INDEX 01 00:00:40\n";
    return folder + "disc.cue";
}

TEST(Cli, DemoDiscTableOfContents) {
    const Result result = RunCli({"toc", "--demo"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = Lines(result.out);
    const auto disc = emulated::MakeDemoDisc();
    ASSERT_EQ(lines.size(), disc->Tracks().size() + 1);
    EXPECT_EQ(lines[0].rfind("  Track 01  00:00.00  ", 0), 0u) << lines[0];
    EXPECT_NE(lines[lines.size() - 2].find("  data"), std::string::npos);
    EXPECT_EQ(lines.back().rfind("Tracks: " + std::to_string(disc->Tracks().size()) + "  Length: ", 0),
              0u);
    const Result drives = RunCli({"drives", "--demo"});
    EXPECT_EQ(drives.status, 0);
    EXPECT_EQ(drives.out.rfind(" [0:0]  ", 0), 0u);
}

TEST(Cli, VerifiedRipOfTheDemoDiscEqualsTheDiscSectors) {
    test::TempFolder folder;
    const Result result =
        RunCli({"rip", "--demo", "--verify", "--speed", "max", "--out", folder.Path(), "--log",
                folder.Path() + "status.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto disc = emulated::MakeDemoDisc();
    int audioTracks = 0;
    std::vector<uint8_t> sector(2352);
    for (const auto& track : disc->Tracks()) {
        if (track.data) {
            continue;
        }
        ++audioTracks;
        char name[32];
        std::snprintf(name, sizeof name, "Track%02d.wav", track.number);
        const auto file = test::ReadWholeFile(folder.Path() + name);
        ASSERT_EQ(file.size(), 44u + static_cast<std::size_t>(track.length) * 2352) << name;
        for (int32_t s = 0; s < track.length; ++s) {
            ASSERT_TRUE(disc->ReadSector(track.start + s, sector.data(), 0));
            ASSERT_EQ(std::memcmp(file.data() + 44 + static_cast<std::size_t>(s) * 2352,
                                  sector.data(), 2352),
                      0)
                << name << " sector " << s;
        }
    }
    const auto lines = Lines(result.out);
    EXPECT_EQ(lines.front(), std::to_string(audioTracks) + " track(s) selected");
    EXPECT_EQ(lines.back(), std::to_string(audioTracks) + " track(s) extracted");
    const auto saved = test::ReadWholeFile(folder.Path() + "status.txt");
    EXPECT_EQ(std::string(saved.begin(), saved.end()), result.out);
}

TEST(Cli, DamageFailsTheRunAndRemovesThePartialFile) {
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), "REM DAMAGE UNREADABLE 50 2\n");
    const Result result = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--prefix", "x"});
    EXPECT_EQ(result.status, 1);
    const auto lines = Lines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Read error (code 031100)");
    EXPECT_TRUE(test::FileExists(folder.Path() + "x01.wav"));
    EXPECT_FALSE(test::FileExists(folder.Path() + "x02.wav"));
}

TEST(Cli, UnstableSectorsShowAsDifferences) {
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), "REM DAMAGE UNSTABLE 10 1\n");
    const Result twice =
        RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks", "1", "--verify"});
    EXPECT_EQ(twice.status, 1) << "a verified track with differences is not a clean rip";
    EXPECT_EQ(Lines(twice.out)[5].rfind("  Errors: ", 0), 0u);
    EXPECT_NE(Lines(twice.out)[5], "  Errors: 0 (0.00%)");
    const Result c2 = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks", "1", "--c2"});
    EXPECT_EQ(c2.status, 1);
    EXPECT_EQ(Lines(c2.out)[5], "  Errors: 1 (33.33%)") << "one of three blocks is flagged";
}

TEST(Cli, UsageErrorsAndRefusals) {
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), "");
    EXPECT_EQ(RunCli({}).status, 2);
    EXPECT_EQ(RunCli({"frobnicate"}).status, 2);
    EXPECT_EQ(RunCli({"rip", "--demo", "--speed", "3"}).status, 2);
    EXPECT_EQ(RunCli({"rip", "--demo", "--bogus"}).status, 2);
    EXPECT_EQ(RunCli({"rip", "--image"}).status, 2);
    EXPECT_EQ(RunCli({"rip", "--demo", "--emulated-speed", "fast"}).status, 2);
    EXPECT_EQ(RunCli({"toc", "--demo", "--drive", "4"}).status, 2);
    const Result data = RunCli({"rip", "--demo", "--tracks", "2,6", "--out", folder.Path()});
    EXPECT_EQ(data.status, 2);
    EXPECT_NE(data.err.find("track 06 is a data track"), std::string::npos) << data.err;
    EXPECT_FALSE(test::FileExists(folder.Path() + "Track02.wav")) << "nothing is read";
    EXPECT_EQ(RunCli({"rip", "--image", cue, "--tracks", "3"}).status, 2);
    const Result broken = RunCli({"toc", "--image", folder.Path() + "missing.cue"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.err.find("missing.cue"), std::string::npos);
    EXPECT_EQ(RunCli({"rip", "--image", cue, "--out", folder.Path() + "nope"}).status, 1);
}

TEST(Cli, HelpAndVersion) {
    const Result version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("vindral-cli ") + VINDRAL_VERSION + "\n");
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(std::string(VINDRAL_VERSION)[0])));

    const Result general = RunCli({"--help"});
    EXPECT_EQ(general.status, 0);
    EXPECT_EQ(general.out.rfind("usage: vindral-cli drives [SOURCE]\n", 0), 0u) << general.out;
    EXPECT_NE(general.out.find("vindral-cli COMMAND --help"), std::string::npos);
    EXPECT_TRUE(general.err.empty());

    // Each command's own help, wherever --help stands; nothing is read.
    const Result rip = RunCli({"rip", "--demo", "--verify", "--help"});
    EXPECT_EQ(rip.status, 0);
    EXPECT_EQ(rip.out.rfind("usage: vindral-cli rip [SOURCE]", 0), 0u) << rip.out;
    for (const char* option : {"--tracks LIST", "--out DIR", "--prefix NAME", "--verify", "--c2",
                               "--speed X", "--log FILE", "--image FILE.cue", "--demo",
                               "--device /dev/srN", "Exit status", "130"}) {
        EXPECT_NE(rip.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(rip.out.find("Track 01"), std::string::npos) << "the disc is not touched";
    const Result toc = RunCli({"toc", "-h", "--demo"});
    EXPECT_EQ(toc.status, 0);
    EXPECT_EQ(toc.out.rfind("usage: vindral-cli toc [SOURCE] [--drive N]\n", 0), 0u) << toc.out;
    EXPECT_EQ(toc.out.find("Tracks:"), std::string::npos);
    EXPECT_EQ(toc.out.find("--tracks LIST"), std::string::npos) << "rip's options stay with rip";
    const Result drives = RunCli({"help", "drives"});
    EXPECT_EQ(drives.status, 0);
    EXPECT_EQ(drives.out.rfind("usage: vindral-cli drives [SOURCE]\n", 0), 0u) << drives.out;
    EXPECT_EQ(drives.out.find(" [0:0]"), std::string::npos);

    const Result unknown = RunCli({"help", "eject"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown command 'eject'"), std::string::npos);
    EXPECT_TRUE(unknown.out.empty());
}

TEST(Cli, InterruptActsAsCancel) {
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), "");
    cli::interrupted = true;
    const Result result = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks", "1"});
    cli::interrupted = false;
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(Lines(result.out).back(), "Canceled by user");
    EXPECT_FALSE(test::FileExists(folder.Path() + "Track01.wav"));
}

TEST(Cli, TrackListsAndSpeeds) {
    TrackTable table;
    table.count = 4;
    table.entries[0] = {0, 1, 0, 10};
    table.entries[1] = {0, 2, 10, 10};
    table.entries[2] = {0, 3, 20, 10};
    table.entries[3] = {1, 4, 30, 10};
    std::string error;
    EXPECT_EQ(*cli::ParseTrackList("all", table, error), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(*cli::ParseTrackList("3,1-2", table, error), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(*cli::ParseTrackList("2", table, error), (std::vector<int>{1}));
    EXPECT_FALSE(cli::ParseTrackList("1-4", table, error));
    EXPECT_NE(error.find("data track"), std::string::npos);
    EXPECT_FALSE(cli::ParseTrackList("3-1", table, error));
    EXPECT_FALSE(cli::ParseTrackList("x", table, error));
    EXPECT_FALSE(cli::ParseTrackList("", table, error));
    EXPECT_FALSE(cli::ParseTrackList("9", table, error));
    EXPECT_EQ(*cli::SpeedFromArgument("max"), 0xFFFF);
    EXPECT_EQ(*cli::SpeedFromArgument("32"), 5664);
    EXPECT_EQ(*cli::SpeedFromArgument("1"), 177);
    EXPECT_FALSE(cli::SpeedFromArgument("24"));
    EXPECT_FALSE(cli::SpeedFromArgument("-1"));
}

} // namespace
} // namespace vindral
