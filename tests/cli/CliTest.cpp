// The command-line front end end to end, over emulated drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <numeric>
#include <sstream>

#include "cli/CliRun.h"
#include "cli/Cli.h"
#include "drive/RecordingBackend.h"
#include "drive/Transport.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/Disc.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/emulated/EmulatedTransport.h"
#include "drive/emulated/PressedDisc.h"
#include "drive/DriveSource.h"
#include "extract/JobBuilder.h"
#include "extract/RunHarness.h"
#include "output/FlacFiles.h"

namespace vindral {
namespace {

using test::Lines;
using test::RunCli;
using Result = test::CliResult;

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

// A BIN file of `sectors` whole sectors and `extra` bytes, byte i of the
// file a function of i and `seed`.
std::vector<uint8_t> WriteBin(const std::string& path, int sectors, int seed, int extra = 0) {
    std::vector<uint8_t> bin(static_cast<std::size_t>(sectors) * 2352 + extra);
    for (std::size_t i = 0; i < bin.size(); ++i) {
        bin[i] = static_cast<uint8_t>((i * 7 + i / 2352 * 3 + seed) & 0xFF);
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    return bin;
}

std::string WriteCue(const std::string& folder, const std::string& text) {
    std::ofstream(folder + "disc.cue") << text;
    return folder + "disc.cue";
}

// Every name in a folder.
std::set<std::string> FolderNames(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
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

TEST(Cli, DrivesThatBehaveLikeRealOnesStillRipExactly) {
    test::TempFolder folder;
    const std::string plain = WriteImage(folder.Path(), "");
    ASSERT_EQ(RunCli({"rip", "--image", plain, "--out", folder.Path(), "--prefix", "p"}).status, 0);
    const auto expected1 = test::ReadWholeFile(folder.Path() + "p01.wav");
    const auto expected2 = test::ReadWholeFile(folder.Path() + "p02.wav");
    ASSERT_EQ(expected1.size(), 44u + 40 * 2352);

    // Each line names a habit of real drives that the rip must get through.
    const std::string habits[] = {
        "REM DRIVE READY 300\n",
        "REM DRIVE UNITATTENTION\n",
        "REM DRIVE UNITATTENTION RESET\nREM DRIVE SENSE DESCRIPTOR\n",
        "REM DRIVE SHORTREAD READCD\n",
        "REM DRIVE SHORTREAD READCD\nREM DRIVE SHORTREAD READCDDA\n",
    };
    for (const std::string& rem : habits) {
        SCOPED_TRACE(rem);
        test::TempFolder out;
        const std::string cue = WriteImage(out.Path(), rem);
        const Result result = RunCli({"rip", "--image", cue, "--out", out.Path(), "--prefix", "p"});
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        EXPECT_EQ(test::ReadWholeFile(out.Path() + "p01.wav"), expected1);
        EXPECT_EQ(test::ReadWholeFile(out.Path() + "p02.wav"), expected2);
    }

    // Descriptor sense data name the fault as fixed-format data would.
    const std::string damaged =
        WriteImage(folder.Path(), "REM DRIVE SENSE DESCRIPTOR\nREM DAMAGE UNREADABLE 50 2\n");
    const Result result = RunCli({"rip", "--image", damaged, "--out", folder.Path(), "--prefix", "d"});
    EXPECT_EQ(result.status, 1);
    ASSERT_FALSE(Lines(result.out).empty());
    EXPECT_EQ(Lines(result.out).back(), "Read error (code 031100)");
}

TEST(Cli, NoReachableDriveSaysWhichNodesWereTriedAndWhy) {
    test::TempFolder folder;
    const std::string notADrive = folder.Path() + "plain-file";
    std::ofstream(notADrive) << "x";
    const std::string missing = folder.Path() + "sr9";
    const Result result = RunCli({"drives", "--device", notADrive, "--device", missing});
    EXPECT_EQ(result.status, 1);
    const auto lines = Lines(result.err);
    ASSERT_EQ(lines.size(), 2u) << result.err;
#if defined(_WIN32)
    EXPECT_EQ(lines[0], "Unable to initialize WNASPI32.DLL");
#else
    EXPECT_EQ(lines[0], "Unable to reach a CD-ROM drive through SG_IO") << "what failed here";
#endif
    EXPECT_NE(lines[1].find(notADrive + ": "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("not a CD-ROM drive"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(missing + ": No such file or directory"), std::string::npos);
    EXPECT_NE(lines[1].find("--demo"), std::string::npos);
    EXPECT_NE(lines[1].find("--image"), std::string::npos);
}

// A sheet's disc, answered by the emulated drive and read back through the
// same commands a real drive gets: `cue` prints the sheet's index points,
// codes, flags and CD-Text whatever habit the drive has (only a drive without
// CD-Text loses the texts).
TEST(Cli, CueReadsBackTheSheetThroughEveryDriveHabit) {
    test::TempFolder folder;
    std::ofstream(folder.Path() + "d.bin", std::ios::binary)
        << std::string(static_cast<std::size_t>(2000) * 2352, '\x35');
    const std::string texts = "TITLE \"Across\"\nPERFORMER \"The \xC3\x89migr\xC3\xA9s\"\n";
    const std::string tracks =
        "FILE \"d.bin\" BINARY\n"
        "  TRACK 01 AUDIO\n    TITLE \"Hidden Start\"\n    ISRC USRC17607839\n"
        "    FLAGS PRE\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n    INDEX 02 00:05:00\n"
        "  TRACK 02 AUDIO\n    TITLE \"Second\"\n    ISRC GBAYE0601498\n"
        "    INDEX 00 00:09:00\n    INDEX 01 00:11:00\n"
        "  TRACK 03 AUDIO\n    TITLE \"Third\"\n    FLAGS DCP\n    INDEX 01 00:18:00\n";
    const char* habits[] = {"",
                            "REM DRIVE QSHIFT 1\n",
                            "REM DRIVE QSHIFT -2\n",
                            "REM DRIVE RAWONLY\n",
                            "REM DRIVE BADQCRC 3\n",
                            "REM DRIVE NOSUBCHANNELISRC\n",
                            "REM DRIVE NOCDTEXT\n",
                            // Codes only in Q, some of their frames with a bad CRC.
                            "REM DRIVE NOSUBCHANNELISRC\nREM DRIVE BADQCRC 2\n",
                            "REM DRIVE NOSUBCHANNELISRC\nREM DRIVE BADQCRC 4\n",
                            "REM DRIVE NOSUBCHANNELISRC\nREM DRIVE BADQCRC 5\n"};
    for (const char* habit : habits) {
        SCOPED_TRACE(habit);
        const bool text = std::string(habit).find("NOCDTEXT") == std::string::npos;
        std::ofstream(folder.Path() + "d.cue")
            << habit << "CATALOG 0724384260927\n" << texts << tracks;
        const test::CliResult cue = test::RunCli({"cue", "--image", folder.Path() + "d.cue"});
        ASSERT_EQ(cue.status, 0) << cue.err;
        // The sheet as `cue` writes it: comments and the FILE line aside,
        // the same lines in the same order.
        std::string read;
        std::istringstream lines(cue.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("REM ", 0) != 0 && line.rfind("FILE ", 0) != 0) {
                read += line + "\n";
            }
        }
        std::string expected = "CATALOG 0724384260927\n" + (text ? texts : std::string());
        std::istringstream sheet(tracks);
        for (std::string line; std::getline(sheet, line);) {
            if (line.rfind("FILE ", 0) != 0 && (text || line.find("TITLE") == std::string::npos)) {
                expected += line + "\n";
            }
        }
        EXPECT_EQ(read, expected) << cue.out << cue.err;
    }
}

// `cue` and `toc --full` print what the disc says about itself: a hidden
// track, pregaps, an index 2, codes, flags, CD-Text and a data session.
TEST(Cli, CueSheetAndFullTocOfAPressedDisc) {
    // Session 1 ends at 40000; the data track starts 11,400 sectors later.
    auto disc = emulated::testing::SheetDisc(
        "CATALOG 0761234567890\nTITLE Sm\xC3\xA5\"Vindar\"\nPERFORMER \"The Band\"\n"
        "REM SESSION 01\nFILE \"a.bin\" BINARY\n"
        "  TRACK 01 AUDIO\n    TITLE \"One\"\n    ISRC USRC17607839\n"
        "    INDEX 00 00:00:00\n    INDEX 01 00:13:25\n"
        "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    PERFORMER \"Guest\"\n    FLAGS PRE\n"
        "    INDEX 00 04:24:50\n    INDEX 01 04:26:50\n    INDEX 02 05:33:25\n"
        "  TRACK 03 AUDIO\n    TITLE \"Two\"\n    ISRC GBAYE0000351\n    FLAGS DCP\n"
        "    INDEX 00 06:36:00\n    INDEX 01 06:40:00\n"
        "REM SESSION 02\nFILE \"d.bin\" BINARY\n  TRACK 04 MODE1/2352\n    INDEX 01 00:00:00\n",
        {{"a.bin", 40000}, {"d.bin", 8600}});
    ASSERT_NE(disc, nullptr);
    std::shared_ptr<emulated::EmulatedDrive> drive;
    auto run = [&](std::vector<std::string> args) {
        drive = emulated::testing::InstallDrive(disc, /*initialise=*/false);
        return RunCli(std::move(args), /*keepSelectedTransport=*/true);
    };
    const Result ids = run({"ids"});
    ASSERT_EQ(ids.status, 0) << ids.err;
    const auto idLines = Lines(ids.out);
    const Result cue = run({"cue", "--prefix", "Disc"});
    ASSERT_EQ(cue.status, 0) << cue.err;
    EXPECT_EQ(cue.err, "");
    const std::string expected =
        "REM COMMENT \"Vindral " VINDRAL_VERSION "\"\n"
        "REM MUSICBRAINZ_DISCID " + idLines[2].substr(13) + "\n"
        "REM ACCURATERIP_ID " + idLines[0].substr(13) + "\n"
        "CATALOG 0761234567890\n"
        "TITLE \"Sm\xC3\xA5'Vindar'\"\n"
        "PERFORMER \"The Band\"\n"
        "REM SESSION 01\n"
        "FILE \"Disc.wav\" WAVE\n"
        "  TRACK 01 AUDIO\n"
        "    TITLE \"One\"\n"
        "    ISRC USRC17607839\n"
        "    INDEX 00 00:00:00\n"
        "    INDEX 01 00:13:25\n"
        "  TRACK 02 AUDIO\n"
        "    TITLE \"Two\"\n"
        "    PERFORMER \"Guest\"\n"
        "    FLAGS PRE\n"
        "    INDEX 00 04:24:50\n"
        "    INDEX 01 04:26:50\n"
        "    INDEX 02 05:33:25\n"
        "  TRACK 03 AUDIO\n"
        "    TITLE \"Two\"\n"
        "    ISRC GBAYE0000351\n"
        "    FLAGS DCP\n"
        "    INDEX 00 06:36:00\n"
        "    INDEX 01 06:40:00\n"
        "REM SESSION 02\n"
        "  TRACK 04 MODE1/2352\n"
        "    INDEX 01 11:25:25\n";
    EXPECT_EQ(cue.out, expected);
    EXPECT_EQ(idLines[0].rfind("AccurateRip: ", 0), 0u);

    // --counts adds the sectors read per track on standard error, the sheet
    // unchanged: a search, not a scan (track 2 alone is 10,000 sectors), none
    // for the data track, and the disc's line their sum.
    const Result counted = run({"cue", "--prefix", "Disc", "--counts"});
    ASSERT_EQ(counted.status, 0) << counted.err;
    EXPECT_EQ(counted.out, expected);
    const auto countLines = Lines(counted.err);
    ASSERT_EQ(countLines.size(), 5u) << counted.err;
    int sum = 0;
    for (int k = 0; k < 4; ++k) {
        const std::string prefix = "Track 0" + std::to_string(k + 1) + ": ";
        ASSERT_EQ(countLines[k].rfind(prefix, 0), 0u) << countLines[k];
        const int read = std::stoi(countLines[k].substr(prefix.size()));
        EXPECT_EQ(countLines[k], prefix + std::to_string(read) + " sectors read");
        EXPECT_EQ(read > 0 && read < 200, k < 3) << countLines[k];
        sum += read;
    }
    EXPECT_EQ(countLines[4].rfind("Disc: " + std::to_string(sum) + " sectors read, 0 Q frames rejected, ", 0), 0u)
        << countLines[4];
    EXPECT_EQ(idLines[2].rfind("MusicBrainz: ", 0), 0u);

    const Result plain = run({"toc"});
    const Result full = run({"toc", "--full"});
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_EQ(full.out.rfind(plain.out, 0), 0u) << "toc's own lines come first, unchanged";
    EXPECT_EQ(full.out.substr(plain.out.size()),
              "  Track 01  pregap 00:13.25  indexes 1  ISRC USRC17607839  flags none\n"
              "  Track 02  pregap 00:02.00  indexes 2  ISRC none  flags PRE\n"
              "  Track 03  pregap 00:04.00  indexes 1  ISRC GBAYE0000351  flags DCP\n"
              "  Track 04  pregap 00:00.00  indexes unknown  ISRC none  flags none\n"
              "Catalog: 0761234567890  Title: \"Sm\xC3\xA5'Vindar'\"  Performer: \"The Band\"\n");

    // A disc that cannot be read (the drive is empty): exit status 1.
    drive = emulated::testing::InstallDrive(disc, /*initialise=*/false);
    drive->Eject();
    const Result noDisc = RunCli({"cue"}, /*keepSelectedTransport=*/true);
    EXPECT_EQ(noDisc.status, 1);
    EXPECT_TRUE(noDisc.out.empty());
}

TEST(Cli, ARefusedReadSpeedIsNamedAndTheRipGoesOn) {
    test::TempFolder folder;
    for (const int32_t refusal : {kStatusNotPermitted, int32_t{2}}) {
        SCOPED_TRACE(refusal);
        // One audio track of 20 sectors; SET CD SPEED is refused.
        ResetTransportForTesting();
        auto backend = std::make_unique<test::RecordingBackend>();
        backend->responder = [refusal](const test::RecordedCommand& command, uint8_t* buffer,
                                       SenseResult& sense) -> int32_t {
            switch (command.cdb[0]) {
            case 0x43: {
                const uint8_t toc[20] = {0, 18, 1, 1, 0, 0x10, 1, 0, 0, 0, 0, 0,
                                         0, 0x10, 0xAA, 0, 0, 0, 0, 20};
                std::memcpy(buffer, toc, std::min<std::size_t>(sizeof toc, command.length));
                return kStatusOk;
            }
            case 0x12: {
                std::memset(buffer, ' ', command.length);
                buffer[0] = 5;
                return kStatusOk;
            }
            case 0xBB:
                if (refusal == 2) {
                    sense.data[0] = 0x70;
                    sense.data[2] = 0x05;
                    sense.data[12] = 0x20;
                }
                return refusal;
            default:
                if (buffer != nullptr && !command.dataOut) {
                    std::memset(buffer, 0, command.length);
                }
                return kStatusOk;
            }
        };
        SelectTransport(std::move(backend));
        const Result result =
            RunCli({"rip", "--speed", "4", "--out", folder.Path()}, /*keepSelectedTransport=*/true);
        EXPECT_EQ(result.status, 0) << result.err;
        const std::string expected =
            refusal == 2 ? "vindral-cli: the read speed was not set (code 052000)\n"
                         : "vindral-cli: the read speed was not set (the system does not allow "
                           "this command to this user)\n";
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(Lines(result.out).back(), "1 track(s) extracted");
    }
}

// Each refusal: its exit status and a part of its message; nothing is read
// and no file is written into the folder.
TEST(Cli, UsageErrorsAndRefusals) {
    test::TempFolder folder;
    const std::string cue = WriteImage(folder.Path(), "");
    test::TempFolder noReadCd;
    const std::string readCdda = WriteImage(noReadCd.Path(), "REM DRIVE REFUSE READCD\n");
    test::TempFolder onlyRead10;
    const std::string read10 =
        WriteImage(onlyRead10.Path(), "REM DRIVE REFUSE READCD\nREM DRIVE REFUSE READCDDA\n");
    const std::string out = folder.Path() + "out/";
    std::filesystem::create_directory(out);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message; // a part of standard error
    };
    std::ofstream(folder.Path() + "Track01.wav") << "kept";
    std::ofstream(folder.Path() + "x.m3u") << "kept";
    const Case cases[] = {
        {{}, 2, "usage: vindral-cli drives [SOURCE]"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"rip", "--demo", "--speed", "3"}, 2, "--speed takes 1, 2, 4, 8, 12, 16, 32 or max"},
        {{"rip", "--demo", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"toc", "--demo", "--tracks", "1"}, 2, "unknown option '--tracks'"},
        {{"drives", "--demo", "--drive", "0"}, 2, "unknown option '--drive'"},
        {{"rip", "--image"}, 2, "--image needs a value"},
        {{"rip", "--demo", "--out"}, 2, "--out needs a value"},
        {{"rip", "--demo", "--emulated-speed", "fast"}, 2, "--emulated-speed takes a multiple"},
        {{"toc", "--demo", "--drive", "4"}, 2, "there is no drive 4"},
        {{"rip", "--demo", "--agree", "9"}, 2, "--agree takes a number from 2 to 8"},
        {{"rip", "--demo", "--offset", "3001"}, 2, "--offset takes a number of samples"},
        {{"rip", "--image", cue, "--tracks", "3"}, 2, "the disc has no track 03"},
        {{"rip", "--demo", "--tracks", "2,6", "--out", out}, 2, "track 06 is a data track"},
        {{"offset"}, 2, "usage: vindral-cli offset find"},
        {{"log", "verify"}, 2, "usage: vindral-cli log verify FILE"},
        {{"log", "verify", "a.log", "b.log"}, 2, "usage: vindral-cli log verify FILE"},
        {{"log", "verify", "--bogus"}, 2, "unknown option '--bogus'"},
        // A prefix names files, not folders.
        {{"rip", "--demo", "--out", out, "--prefix", "a/b"}, 2, "a prefix cannot hold '/'"},
        {{"rip", "--demo", "--out", out, "--prefix", "/Track"}, 2, "a prefix cannot hold '/'"},
        // Naming templates: known fields only, inside the folder of --out.
        {{"rip", "--demo", "--out", out, "--naming", "%t %x"},
         2,
         "--naming '%t %x': unknown field '%x'; the known fields are %t (track number, two "
         "digits), %n (track title), %a (track artist), %A (album artist), %d (album title), "
         "%y (year), %D (disc number), %P (the prefix) and %% (a percent sign)"},
        {{"rip", "--demo", "--out", out, "--naming", "%t%"}, 2, "ends in a lone '%'"},
        {{"rip", "--demo", "--out", out, "--naming", "/tmp/%t"}, 2, "cannot be empty or begin"},
        {{"rip", "--demo", "--out", out, "--naming", "../%t"}, 2, "'.' or '..'"},
        // C2 error pointers: never instead of secure reading's second
        // reading, and only where the read method gives them.
        {{"rip", "--demo", "--out", out, "--c2", "--secure"},
         2,
         "--c2 cannot be combined with --secure: secure reading always compares a second "
         "reading byte for byte"},
        {{"rip", "--image", readCdda, "--out", out, "--c2"},
         2,
         "--c2 needs the drive's C2 error pointers, and this drive gives none when read with "
         "READ CDDA; use --verify"},
        {{"rip", "--image", read10, "--out", out, "--c2"},
         2,
         "gives none when read with READ(10) with 2352-byte blocks; use --verify"},
        // The files' format, and what only FLAC files take.
        {{"rip", "--demo", "--out", out, "--format", "ogg"}, 2, "--format takes wav or flac"},
        {{"rip", "--demo", "--out", out, "--flac-level", "3"}, 2, "--flac-level needs --format flac"},
        {{"rip", "--demo", "--out", out, "--cover", cue}, 2, "--cover needs --format flac"},
        {{"rip", "--demo", "--out", out, "--format", "flac", "--flac-level", "9"},
         2,
         "--flac-level takes a number from 0 to 8"},
        {{"rip", "--demo", "--out", out, "--format", "flac", "--cover", cue},
         2,
         "--cover " + cue + ": not a JPEG or PNG image"},
        {{"rip", "--demo", "--out", out, "--format", "flac", "--cover", folder.Path() + "none.jpg"},
         2,
         "--cover " + folder.Path() + "none.jpg: No such file or directory"},
        // Not usage errors: exit status 1.
        {{"toc", "--image", folder.Path() + "missing.cue"}, 1, "missing.cue"},
        // A missing --out is created (as mkdir -p), unless something else
        // stands in its way.
        {{"rip", "--image", cue, "--out", cue + "/nope"}, 1, "nope/ cannot be created: "},
        // --no-clobber: a file the rip would write exists.
        {{"rip", "--image", cue, "--out", folder.Path(), "--no-clobber"},
         1,
         folder.Path() + "Track01.wav exists, and --no-clobber keeps it; nothing was read"},
        {{"rip", "--image", cue, "--out", folder.Path(), "--prefix", "x", "--cue",
          "--no-clobber"},
         1,
         "x.m3u exists"},
        // A log that cannot be created stops the run before the first read.
        {{"rip", "--demo", "--out", out, "--log", folder.Path() + "nodir/x.log"},
         1,
         "Error saving file\n" + folder.Path() + "nodir/x.log: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const std::string line = std::accumulate(c.args.begin(), c.args.end(), std::string(),
                                                 [](std::string a, const std::string& b) {
                                                     return a + " " + b;
                                                 });
        SCOPED_TRACE(line);
        const Result result = RunCli(c.args);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << "nothing is read: " << result.out;
        EXPECT_TRUE(std::filesystem::is_empty(out));
    }
    for (const char* kept : {"Track01.wav", "x.m3u"}) {
        const auto file = test::ReadWholeFile(folder.Path() + kept);
        EXPECT_EQ(std::string(file.begin(), file.end()), "kept") << kept;
    }

    // What the drive tells: a READ CD drive without C2 pointers is refused
    // as well; with them, --c2 verifies.
    for (const bool c2Offered : {false, true}) {
        SCOPED_TRACE(c2Offered);
        ResetTransportForTesting();
        auto transport = std::make_unique<emulated::EmulatedTransport>();
        auto drive = transport->AddDrive(emulated::MakeDemoDisc());
        drive->SetC2Supported(c2Offered);
        drive->SetSpeedLimitKBps(0);
        SelectTransport(std::move(transport));
        const Result result =
            RunCli({"rip", "--c2", "--tracks", "1", "--out", out}, /*keepSelectedTransport=*/true);
        if (c2Offered) {
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_TRUE(test::FileExists(out + "Track01.wav"));
        } else {
            EXPECT_EQ(result.status, 2);
            EXPECT_NE(result.err.find("gives none when read with READ CD;"), std::string::npos)
                << result.err;
            EXPECT_TRUE(std::filesystem::is_empty(out));
        }
    }

    // --emulated-speed takes max as --speed does.
    const Result fast = RunCli({"toc", "--demo", "--emulated-speed", "max"});
    EXPECT_EQ(fast.status, 0) << fast.err;
    DriveSourceOptions source;
    std::vector<std::string> words = {"x", "--emulated-speed", "max"};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    int i = 1;
    std::string error;
    ASSERT_TRUE(ParseDriveSourceOption(3, argv.data(), i, source, error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(EmulatedSpeedLimit(source, emulated::kDemoSpeedKBps), 0u) << "unthrottled";
    source.emulatedSpeedKBps = 0;
    EXPECT_EQ(EmulatedSpeedLimit(source, emulated::kDemoSpeedKBps), emulated::kDemoSpeedKBps);
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
    EXPECT_EQ(toc.out.rfind("usage: vindral-cli toc [SOURCE] [--drive N] [--full]\n", 0), 0u) << toc.out;
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

    // Every command, log verify and serve too: COMMAND [SUB] --help, COMMAND
    // --help and help COMMAND print the same help, which names each of its
    // options with its value; the general usage names every option.
    for (const cli::CommandSpec& command : cli::Commands()) {
        const std::string word(command.word);
        SCOPED_TRACE(word);
        const Result byHelp = RunCli({"help", word});
        EXPECT_EQ(byHelp.status, 0) << byHelp.err;
        EXPECT_EQ(byHelp.out.rfind("usage: " + cli::CommandName(command) + " ", 0), 0u)
            << byHelp.out;
        std::vector<std::vector<std::string>> asked = {{word, "--help"}, {word, "-h", "x"}};
        if (!command.sub.empty()) {
            asked.push_back({word, std::string(command.sub), "--help"});
        }
        for (const auto& args : asked) {
            const Result byOption = RunCli(args);
            EXPECT_EQ(byOption.status, 0) << args[1];
            EXPECT_EQ(byOption.out, byHelp.out) << args[1];
        }
        std::vector<std::string_view> names;
        for (const cli::CommandOption& option : command.options) {
            names.push_back(option.name);
        }
        for (const cli::OptionSpec& option : cli::AllOptions()) {
            if (command.source && cli::IsSourceOption(option.name)) {
                names.push_back(option.name);
            }
        }
        for (const std::string_view name : names) {
            const cli::OptionSpec* option = cli::FindOption(name);
            ASSERT_NE(option, nullptr) << name;
            std::string label = "\n  " + std::string(name);
            if (!option->value.empty()) {
                label += " " + std::string(option->value);
            }
            EXPECT_NE(byHelp.out.find(label + " "), std::string::npos) << label << byHelp.out;
            EXPECT_NE(general.out.find(std::string(name)), std::string::npos) << name;
        }
        for (const std::string& line : Lines(byHelp.out)) {
            EXPECT_LE(line.size(), 90u) << line;
        }
    }
    for (const char* option : {"--secure", "--agree N", "--max-reads N", "--cache-sectors N",
                               "--accurate", "--verify=auto", "--ctdb-url URL", "serve --image"}) {
        EXPECT_NE(general.out.find(option), std::string::npos) << option;
    }
    EXPECT_NE(RunCli({"log", "verify", "--help"}).out.find("checksum"), std::string::npos);
}

#if defined(VINDRAL_SOURCE_DIR)
std::string SourceFile(const std::string& path) {
    std::ifstream in(std::string(VINDRAL_SOURCE_DIR) + "/" + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The words of a text that look like options ("--max-reads"; roff writes
// "\-\-max\-reads").
std::set<std::string> OptionWords(std::string text) {
    for (std::size_t at; (at = text.find("\\-")) != std::string::npos;) {
        text.replace(at, 2, "-");
    }
    std::set<std::string> words;
    for (std::size_t at = 0; (at = text.find("--", at)) != std::string::npos;) {
        std::size_t end = at + 2;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                     text[end] == '-' || text[end] == '=')) {
            ++end;
        }
        std::string word = text.substr(at, end - at);
        if (word.size() > 1 && word.back() == '=') {
            word.pop_back();
        }
        if (word.size() > 2) {
            words.insert(word);
        }
        at = end;
    }
    return words;
}

// The option table, the parser, the manual page and the bash completion
// agree: each command's options are in its synopsis and described in the
// manual, the completion offers exactly them, the parser takes each and
// refuses the others.
TEST(Cli, EveryOptionIsInTheManualAndTheCompletion) {
    const std::string manual = SourceFile("res/man/vindral-cli.1.in");
    const std::string completion = SourceFile("res/completion/vindral-cli");
    ASSERT_FALSE(manual.empty());
    ASSERT_FALSE(completion.empty());

    // The synopsis: one entry per command, up to its .br.
    const std::size_t synopsisAt = manual.find(".SH SYNOPSIS");
    const std::string synopsis =
        manual.substr(synopsisAt, manual.find(".SH DESCRIPTION") - synopsisAt);
    std::set<std::string> described; // options with a paragraph of their own
    const auto manualLines = Lines(manual);
    for (std::size_t k = 1; k < manualLines.size(); ++k) {
        const std::string& line = manualLines[k];
        if (manualLines[k - 1] != ".TP") {
            continue;
        }
        for (const char* tag : {".B ", ".BI ", ".BR "}) {
            if (line.rfind(tag, 0) == 0 && line.find("\\-\\-") == std::strlen(tag)) {
                described.insert(*OptionWords(line).begin());
            }
        }
    }
    // The completion: the words offered per command, and the options whose
    // value it completes (or leaves to the user).
    std::map<std::string, std::set<std::string>> offered;
    for (const std::string& line : Lines(completion)) {
        const auto close = line.find(") opts='");
        if (close != std::string::npos) {
            std::string name = line.substr(0, close);
            name.erase(0, name.find_first_not_of(' '));
            if (name == "''") {
                name.clear();
            }
            std::stringstream words(line.substr(close + 8, line.rfind('\'') - close - 8));
            for (std::string word; words >> word;) {
                offered[name].insert(word);
            }
        }
    }
    const std::size_t valuesFrom = completion.find("case $prev in");
    const std::set<std::string> valueCases = OptionWords(
        completion.substr(valuesFrom, completion.find("esac", valuesFrom) - valuesFrom));

    const std::map<std::string_view, std::string> samples = {
        {"N", "2"},    {"X", "4"},    {"FILE", "f"}, {"FILE.cue", "f.cue"},
        {"DIR", "."},  {"NAME", "T"}, {"LIST", "1"}, {"URL", "http://127.0.0.1:1"},
        {"FORMAT", "flac"},
        {"/dev/srN", "/dev/sr0"}, {"TEMPLATE", "%t %n"},
        {"MBID", "6c4f766f-3351-4c10-a53d-b119452c27b2"}};
    std::set<std::string> commandWords;
    std::set<std::string> takingValues;
    for (const cli::CommandSpec& command : cli::Commands()) {
        const std::string word(command.word);
        SCOPED_TRACE(word);
        commandWords.insert(word);
        std::set<std::string> expected = {"--help"};
        for (const cli::OptionSpec& option : cli::AllOptions()) {
            if (command.source && cli::IsSourceOption(option.name)) {
                expected.insert(std::string(option.name));
            }
        }
        for (const cli::CommandOption& option : command.options) {
            expected.insert(std::string(option.name));
        }
        EXPECT_EQ(offered[word], expected) << "the completion's words";

        const std::size_t entryAt = synopsis.find(".B vindral-cli " + word);
        ASSERT_NE(entryAt, std::string::npos) << "in the synopsis";
        std::string entry = synopsis.substr(entryAt);
        entry = entry.substr(0, entry.find(".br"));
        std::set<std::string> inSynopsis = OptionWords(entry);
        for (const std::string& option : expected) {
            if (option == "--help" || (command.source && cli::IsSourceOption(option))) {
                continue; // --help has its own line, SOURCE its own section
            }
            EXPECT_TRUE(inSynopsis.count(option)) << option << " in the synopsis";
            EXPECT_TRUE(described.count(option)) << option << " described";
            inSynopsis.erase(option);
        }
        EXPECT_TRUE(inSynopsis.empty()) << "unknown in the synopsis: " << *inSynopsis.begin();
        const std::string name =
            command.sub.empty() ? word : word + " " + std::string(command.sub);
        EXPECT_NE(manual.find(".TP\n.B " + name), std::string::npos) << "described in COMMANDS";

        // The parser takes each option of the command (with a value where it
        // needs one) and refuses the others. serve reads its own options.
        for (const cli::OptionSpec& option : cli::AllOptions()) {
            if (word == "serve") {
                break;
            }
            const std::string optionName(option.name);
            std::vector<std::string> args = {"vindral-cli", word};
            if (!command.sub.empty()) {
                args.push_back(std::string(command.sub));
            }
            args.push_back(optionName);
            if (!option.value.empty()) {
                ASSERT_TRUE(samples.count(option.value)) << option.value;
                args.push_back(samples.at(option.value));
            }
            if (!command.operand.empty()) {
                args.push_back("operand");
            }
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            cli::Options options;
            std::ostringstream err;
            const int status =
                cli::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, err);
            EXPECT_EQ(status == 0, expected.count(optionName) == 1)
                << optionName << ": " << err.str();
            if (status != 0) {
                EXPECT_NE(err.str().find("unknown option '" + optionName + "'"),
                          std::string::npos);
            }
        }
    }
    commandWords.insert({"help", "--help", "--version"});
    EXPECT_EQ(offered[""], commandWords);
    for (const char* global : {"help", "--help", "--version"}) {
        commandWords.erase(global);
    }
    EXPECT_EQ(offered["help"], commandWords);
    for (const cli::OptionSpec& option : cli::AllOptions()) {
        if (!option.value.empty()) {
            takingValues.insert(std::string(option.name));
        }
    }
    EXPECT_EQ(valueCases, takingValues) << "the completion completes each option's value";
    // Nothing in the manual that the program does not know.
    for (const std::string& word : OptionWords(manual)) {
        EXPECT_TRUE(cli::FindOption(word) != nullptr || word == "--help" || word == "--version")
            << word;
    }
}
#endif

TEST(Cli, InterruptActsAsCancel) {
    for (const char* format : {"wav", "flac"}) {
        SCOPED_TRACE(format);
        test::TempFolder folder;
        const std::string cue = WriteImage(folder.Path(), "");
        cli::interrupted = true;
        const Result result = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks",
                                      "1", "--format", format});
        cli::interrupted = false;
        EXPECT_EQ(result.status, 130);
        EXPECT_EQ(Lines(result.out).back(), "Canceled by user");
        EXPECT_EQ(FolderNames(folder.Path()), (std::set<std::string>{"disc.bin", "disc.cue"}));
    }
}

// A disc with CD-Text, ISRC, catalog number and pre-emphasis, ripped to WAV
// and to FLAC files: the FLAC files decode to the WAV files' samples (the
// MD5 in their STREAMINFO holds), carry the disc's tags and the cover, and
// the log is the same but for the file names; a failed track leaves nothing.
TEST(Cli, FlacFilesHoldTheWavRipsSamplesAndTheDiscsTags) {
    test::TempFolder folder;
    WriteBin(folder.Path() + "disc.bin", 70, 11);
    const std::string sheet = "CATALOG 0761234567890\nTITLE \"Album\"\nPERFORMER \"The Band\"\n"
                              "FILE \"disc.bin\" BINARY\n"
                              "  TRACK 01 AUDIO\n    TITLE \"One\"\n    ISRC USRC17607839\n"
                              "    INDEX 01 00:00:00\n"
                              "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    PERFORMER \"Guest\"\n"
                              "    FLAGS PRE\n    INDEX 01 00:00:40\n";
    const std::string cue = WriteCue(folder.Path(), sheet);
    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::ofstream(folder.Path() + "cover.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    const std::string wavOut = folder.Path() + "wav/";
    const std::string flacOut = folder.Path() + "flac/";
    std::filesystem::create_directory(wavOut);
    std::filesystem::create_directory(flacOut);

    const Result wav = RunCli({"rip", "--image", cue, "--out", wavOut, "--verify"});
    ASSERT_EQ(wav.status, 0) << wav.err;
    const Result flac = RunCli({"rip", "--image", cue, "--out", flacOut, "--verify", "--format",
                                "flac", "--cover", folder.Path() + "cover.png"});
    ASSERT_EQ(flac.status, 0) << flac.out << flac.err;
    // The log but for the speeds (measured) and the files' names: track 1's
    // file, encoded on while track 2 is read, takes its name in its place.
    auto withoutSpeeds = [](const std::string& log) {
        std::string kept;
        for (const std::string& line : Lines(log)) {
            kept += line.find("Speed: ") == std::string::npos ? line + "\n" : "";
        }
        return kept;
    };
    std::string expectedLog = withoutSpeeds(wav.out);
    for (const char* track : {"Track01", "Track02"}) {
        const std::string from = wavOut + track + ".wav";
        expectedLog.replace(expectedLog.find(from), from.size(), flacOut + track + ".flac");
    }
    EXPECT_EQ(withoutSpeeds(flac.out), expectedLog);
    EXPECT_EQ(FolderNames(flacOut), (std::set<std::string>{"Track01.flac", "Track02.flac"}));

    const Result ids = RunCli({"ids", "--image", cue});
    const std::string musicBrainz = Lines(ids.out).at(2).substr(13);
    for (int t = 1; t <= 2; ++t) {
        SCOPED_TRACE(t);
        const std::string name = "Track0" + std::to_string(t);
        const auto pcm = test::ReadWholeFile(wavOut + name + ".wav");
        const test::DecodedFlac decoded = test::DecodeFlac(flacOut + name + ".flac");
        EXPECT_TRUE(decoded.decoded);
        EXPECT_TRUE(decoded.md5Set);
        EXPECT_TRUE(std::equal(pcm.begin() + 44, pcm.end(), decoded.pcm.begin(), decoded.pcm.end()));
        EXPECT_EQ(decoded.seekPoints, 1u);
        EXPECT_EQ(decoded.pictureType, 3);
        EXPECT_EQ(decoded.picture, png);
        for (const std::string& tag :
             {"TRACKNUMBER=" + std::to_string(t), std::string("TRACKTOTAL=2"),
              std::string("ALBUM=Album"), std::string("ALBUMARTIST=The Band"),
              std::string(t == 1 ? "TITLE=One" : "TITLE=Two"),
              std::string(t == 1 ? "ARTIST=The Band" : "ARTIST=Guest"),
              std::string("BARCODE=0761234567890"), "MUSICBRAINZ_DISCID=" + musicBrainz,
              std::string("ENCODER=Vindral " VINDRAL_VERSION)}) {
            EXPECT_TRUE(decoded.HasComment(tag)) << tag;
        }
        EXPECT_EQ(decoded.HasComment("ISRC=USRC17607839"), t == 1);
        EXPECT_EQ(decoded.HasComment("PRE_EMPHASIS=1"), t == 2);
    }
    // The flac program, an independent reader, tests the files.
    if (std::filesystem::exists("/usr/bin/flac")) {
        EXPECT_EQ(std::system(("/usr/bin/flac -s -t '" + flacOut + "Track01.flac' '" + flacOut +
                               "Track02.flac'")
                                  .c_str()),
                  0);
    }

    // Track 2 cannot be read: track 1's file stays, and nothing else.
    test::TempFolder damaged;
    WriteBin(damaged.Path() + "disc.bin", 70, 11);
    const std::string damagedCue =
        WriteCue(damaged.Path(), "REM DAMAGE UNREADABLE 50 2\n" + sheet);
    const Result failed = RunCli({"rip", "--image", damagedCue, "--out", damaged.Path(),
                                  "--format", "flac"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(FolderNames(damaged.Path()),
              (std::set<std::string>{"disc.bin", "disc.cue", "Track01.flac"}));
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

TEST(Cli, TwoKindsOfSourceAreAUsageError) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"toc", "--device", "/dev/sr0", "--demo"},
          std::vector<std::string>{"rip", "--image", "x.cue", "--device", "/dev/sr0"}}) {
        const Result result = RunCli(args);
        EXPECT_EQ(result.status, 2) << args[1];
        EXPECT_NE(result.err.find("--device cannot be combined"), std::string::npos) << result.err;
    }
}

TEST(Cli, FileProblemsNameTheFileAndTheReason) {
    test::TempFolder folder;
    // A status log that cannot be written leaves nothing under its name.
    const std::string log = folder.Path() + "missing/status.txt";
    Result result = RunCli({"rip", "--demo", "--speed", "max", "--tracks", "2", "--out",
                            folder.Path(), "--log", log});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Error saving file\n" + log + ": No such file or directory\n"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(test::FileExists(log));
    EXPECT_EQ(result.out, "") << "refused before the first read";
    EXPECT_FALSE(test::FileExists(folder.Path() + "Track02.wav"));

    // A prefix naming a folder is refused before the drives are opened.
    result = RunCli({"rip", "--demo", "--tracks", "1", "--out", folder.Path(), "--prefix",
                     "sub/Track"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "vindral-cli: --prefix 'sub/Track': a prefix cannot hold '/' (the "
                          "folder is given with --out)\n");
}

// Track 1 with INDEX 00 and INDEX 01: the table of contents a drive reports
// for the disc, and the 32 sectors before track 1 ripped as track 00.
TEST(Cli, HiddenTrackBeforeTrackOne) {
    test::TempFolder folder;
    const auto bin = WriteBin(folder.Path() + "disc.bin", 400, 1);
    const std::string cue = WriteCue(folder.Path(),
                                     "FILE \"disc.bin\" BINARY\n"
                                     "  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:00:32\n"
                                     "  TRACK 02 AUDIO\n    INDEX 00 00:02:00\n    INDEX 01 00:02:32\n");
    const Result toc = RunCli({"toc", "--image", cue});
    ASSERT_EQ(toc.status, 0) << toc.err;
    EXPECT_EQ(toc.err, "");
    EXPECT_EQ(Lines(toc.out), (std::vector<std::string>{
                                  "  Track 01  00:00.32  00:02.00   0.3 MB",
                                  "  Track 02  00:02.32  00:02.68   0.5 MB",
                                  "Tracks: 2  Length: 00:05.25",
                              }));

    const Result hidden = RunCli({"rip", "--image", cue, "--tracks", "0", "--out", folder.Path()});
    ASSERT_EQ(hidden.status, 0) << hidden.err;
    EXPECT_EQ(Lines(hidden.out)[1], "---> Extracting track 00");
    const auto file = test::ReadWholeFile(folder.Path() + "Track00.wav");
    ASSERT_EQ(file.size(), 44u + 32 * 2352);
    EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), bin.begin())) << "addresses 0 to 31";
    EXPECT_FALSE(test::FileExists(folder.Path() + "Track01.wav"));

    const Result list =
        RunCli({"rip", "--image", cue, "--tracks", "2,0,1", "--out", folder.Path(), "--prefix", "L"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(Lines(list.out).front(), "3 track(s) selected");
    EXPECT_EQ(Lines(list.out)[1], "---> Extracting track 00");
    EXPECT_EQ(test::ReadWholeFile(folder.Path() + "L00.wav"), file);
    const auto one = test::ReadWholeFile(folder.Path() + "L01.wav");
    ASSERT_EQ(one.size(), 44u + 150 * 2352);
    EXPECT_TRUE(std::equal(one.begin() + 44, one.end(), bin.begin() + 32 * 2352));
    EXPECT_EQ(test::ReadWholeFile(folder.Path() + "L02.wav").size(), 44u + 218 * 2352);

    // Track 1's PREGAP is silence before the first file.
    WriteCue(folder.Path(), "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    PREGAP 00:00:10\n"
                            "    INDEX 01 00:00:00\n");
    ASSERT_EQ(RunCli({"rip", "--image", cue, "--tracks", "0", "--out", folder.Path(), "--prefix",
                      "P"})
                  .status,
              0);
    EXPECT_EQ(test::ReadWholeFile(folder.Path() + "P00.wav").size(), 44u + 10 * 2352);
    const auto silence = test::ReadWholeFile(folder.Path() + "P00.wav");
    EXPECT_TRUE(std::all_of(silence.begin() + 44, silence.end(), [](uint8_t b) { return b == 0; }));

    // A disc whose track 1 starts at address 0 has no track 00.
    const std::string plain = WriteImage(folder.Path(), "");
    const Result none = RunCli({"rip", "--image", plain, "--tracks", "0,1", "--out", folder.Path(),
                                "--prefix", "N"});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no track 00"), std::string::npos) << none.err;
    EXPECT_FALSE(test::FileExists(folder.Path() + "N01.wav"));
    const Result all = RunCli({"rip", "--image", plain, "--out", folder.Path(), "--prefix", "A"});
    EXPECT_EQ(all.status, 0);
    EXPECT_FALSE(test::FileExists(folder.Path() + "A00.wav")) << "all is every listed track";
}

// REM SESSION 02: the data track 11,400 sectors after the audio, and the last
// audio track ripped up to the first session's lead-out.
TEST(Cli, SecondSessionTableOfContentsAndRip) {
    test::TempFolder folder;
    const auto audio = WriteBin(folder.Path() + "audio.bin", 300, 2);
    WriteBin(folder.Path() + "data.bin", 100, 3);
    const std::string cue = WriteCue(folder.Path(),
                                     "REM SESSION 01\nFILE \"audio.bin\" BINARY\n"
                                     "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                     "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
                                     "REM SESSION 02\nFILE \"data.bin\" BINARY\n"
                                     "  TRACK 03 MODE1/2352\n    INDEX 01 00:00:00\n");
    const Result toc = RunCli({"toc", "--image", cue});
    ASSERT_EQ(toc.status, 0) << toc.err;
    EXPECT_EQ(Lines(toc.out), (std::vector<std::string>{
                                  "  Track 01  00:00.00  00:01.00   0.2 MB",
                                  "  Track 02  00:01.00  00:03.00   0.5 MB",
                                  "  Track 03  02:36.00  00:01.25   0.2 MB  data",
                                  "Tracks: 3  Length: 02:37.25",
                              }));
    const Result rip = RunCli({"rip", "--image", cue, "--out", folder.Path()});
    ASSERT_EQ(rip.status, 0) << rip.out;
    const auto two = test::ReadWholeFile(folder.Path() + "Track02.wav");
    ASSERT_EQ(two.size(), 44u + 225 * 2352);
    EXPECT_TRUE(std::equal(two.begin() + 44, two.end(), audio.begin() + 75 * 2352));
}

TEST(Cli, TocNamesAFileOfPartSectors) {
    test::TempFolder folder;
    WriteBin(folder.Path() + "disc.bin", 70, 4, 100);
    const std::string cue = WriteCue(folder.Path(), "FILE \"disc.bin\" BINARY\n"
                                                    "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    const Result toc = RunCli({"toc", "--image", cue});
    ASSERT_EQ(toc.status, 0) << toc.err;
    EXPECT_EQ(toc.err, "disc.cue:1: 'disc.bin' ends 2252 bytes short of a whole sector; its last "
                       "sector is padded with zeros\n");
    EXPECT_EQ(Lines(toc.out).back(), "Tracks: 1  Length: 00:00.71");
    const Result whole = RunCli({"toc", "--image", WriteImage(folder.Path(), "")});
    EXPECT_EQ(whole.err, "");
}

TEST(Cli, TrackListWithTheHiddenTrack) {
    TrackTable table;
    table.count = 2;
    table.entries[0] = {0, 1, 32, 10};
    table.entries[1] = {0, 2, 42, 10};
    std::string error;
    EXPECT_EQ(*cli::ParseTrackList("0", table, error), (std::vector<int>{kHiddenTrackRow}));
    EXPECT_EQ(*cli::ParseTrackList("2,0-1", table, error),
              (std::vector<int>{kHiddenTrackRow, 0, 1}));
    EXPECT_EQ(*cli::ParseTrackList("all", table, error), (std::vector<int>{0, 1}));
    const ExtractJob job = BuildJob(table, {1, kHiddenTrackRow}, "/out/", "T", CdDevice{}, false,
                                    true);
    ASSERT_EQ(job.Count(), 2);
    EXPECT_EQ(job.tracks[0].path, "/out/T00.wav");
    EXPECT_EQ(job.tracks[0].track.number, 0);
    EXPECT_EQ(job.tracks[0].track.start, 0);
    EXPECT_EQ(job.tracks[0].track.length, 32);
    EXPECT_EQ(job.totalSectors, 42);
    table.entries[0].start = 0;
    EXPECT_FALSE(cli::ParseTrackList("0", table, error));
    EXPECT_EQ(BuildJob(table, {kHiddenTrackRow}, "", "T", CdDevice{}, false, true).Count(), 0);
}

} // namespace
} // namespace vindral
