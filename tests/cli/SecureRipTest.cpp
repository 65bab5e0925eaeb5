// vindral-cli rip --secure over emulated drives with damaged discs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "drive/Transport.h"
#include "extract/RunHarness.h"
#include "output/FlacFiles.h"

namespace vindral {
namespace {

using Result = test::CliResult;
using test::RunCli;

// Four tracks: 0-299, 300-499, 500-749, 750-899.
constexpr int kStarts[] = {0, 300, 500, 750, 900};

std::vector<uint8_t> g_bin;

std::string WriteDisc(const std::string& folder, const std::string& rem) {
    g_bin.assign(900 * 2352, 0);
    for (std::size_t i = 0; i < g_bin.size(); ++i) {
        g_bin[i] = static_cast<uint8_t>((i * 29 + i / 2352 * 5 + 3) & 0xFF);
    }
    std::ofstream(folder + "disc.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(g_bin.data()),
               static_cast<std::streamsize>(g_bin.size()));
    std::ofstream cue(folder + "disc.cue");
    cue << rem << "FILE \"disc.bin\" BINARY\n";
    for (int t = 0; t < 4; ++t) {
        const int start = kStarts[t];
        cue << "  TRACK 0" << t + 1 << " AUDIO\n    INDEX 01 " << "00:"
            << (start / 75 < 10 ? "0" : "") << start / 75 << ":"
            << (start % 75 < 10 ? "0" : "") << start % 75 << "\n";
    }
    return folder + "disc.cue";
}

// The audio of track `t` (0-based) as its file should hold it.
std::vector<uint8_t> TrackAudio(int t) {
    return std::vector<uint8_t>(g_bin.begin() + kStarts[t] * 2352,
                                g_bin.begin() + kStarts[t + 1] * 2352);
}

std::vector<uint8_t> FileAudio(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    return bytes.size() >= 44 ? std::vector<uint8_t>(bytes.begin() + 44, bytes.end())
                              : std::vector<uint8_t>{};
}

std::string FileName(const std::string& folder, int t) {
    return folder + "Track0" + std::to_string(t + 1) + ".wav";
}

// "mm:ss.ff" of a sector within its track.
std::string Position(int sectorInTrack) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d.%02d", sectorInTrack / 4500,
                  sectorInTrack / 75 % 60, sectorInTrack % 75);
    return text;
}

// Flaky sectors at the start, in the middle and at the end of tracks and
// across the edges of tracks 1/2 and 3/4.
const char kFlaky[] = "REM DAMAGE FLAKY 0 2 60\n"
                      "REM DAMAGE FLAKY 150 3 60\n"
                      "REM DAMAGE FLAKY 297 6 60\n"
                      "REM DAMAGE FLAKY 497 3 60\n"
                      "REM DAMAGE FLAKY 620 2 60\n"
                      "REM DAMAGE FLAKY 747 6 60\n"
                      "REM DAMAGE FLAKY 898 2 60\n";

bool IsFlaky(int sector) {
    const int ranges[][2] = {{0, 2}, {150, 3}, {297, 6}, {497, 3}, {620, 2}, {747, 6}, {898, 2}};
    for (const auto& r : ranges) {
        if (sector >= r[0] && sector < r[0] + r[1]) {
            return true;
        }
    }
    return false;
}

// The line after a secure verification's errors, with its two counts.
const char kCorrectedLine[] = R"(  Corrected in the file: (\d+) of (\d+) differing sector\(s\))";

// rip --secure --verify of every track: it must succeed, and each file must
// hold its track exactly.
Result VerifiedSecureRip(const std::string& cue, const std::string& folder) {
    const Result secure = RunCli({"rip", "--image", cue, "--out", folder, "--secure", "--verify",
                                  "--cache-sectors", "32", "--max-reads", "40"});
    EXPECT_EQ(secure.status, 0) << secure.out << secure.err;
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(FileAudio(FileName(folder, t)), TrackAudio(t)) << "track " << t + 1;
    }
    return secure;
}

TEST(SecureRip, FlakySectorsEverywhereAreRepairedAndNamed) {
    test::TempFolder folder;
    const std::string cue = WriteDisc(folder.Path(), kFlaky);

    // Without secure mode the damage reaches the files.
    const Result plain = RunCli({"rip", "--image", cue, "--out", folder.Path()});
    EXPECT_EQ(plain.status, 0) << "nothing tells the plain rip";
    int damagedTracks = 0;
    for (int t = 0; t < 4; ++t) {
        damagedTracks += FileAudio(FileName(folder.Path(), t)) != TrackAudio(t) ? 1 : 0;
    }
    EXPECT_GE(damagedTracks, 3);
    EXPECT_EQ(plain.out.find("Secure reading"), std::string::npos);

    const Result secure = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--secure",
                                  "--cache-sectors", "32", "--max-reads", "40"});
    EXPECT_EQ(secure.status, 0) << secure.out << secure.err;
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(FileAudio(FileName(folder.Path(), t)), TrackAudio(t)) << "track " << t + 1;
    }
    // Every repaired line names a flaky sector of the track being extracted,
    // and every flaky sector whose reading was wrong is named.
    const std::regex repaired(R"(  Repaired: (\d\d):(\d\d)\.(\d\d) \((\d+) readings, (\d+) agreed\))");
    std::istringstream lines(secure.out);
    int track = -1;
    int named = 0;
    std::set<int> sectors;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("---> Extracting track ", 0) == 0) {
            track = std::stoi(line.substr(22)) - 1;
        }
        std::smatch m;
        if (std::regex_match(line, m, repaired)) {
            ASSERT_GE(track, 0);
            const int inTrack = std::stoi(m[1]) * 4500 + std::stoi(m[2]) * 75 + std::stoi(m[3]);
            EXPECT_TRUE(IsFlaky(kStarts[track] + inTrack)) << line;
            EXPECT_GE(std::stoi(m[4]), 3) << line;
            EXPECT_EQ(std::stoi(m[5]), 2) << line;
            sectors.insert(kStarts[track] + inTrack);
            ++named;
        }
        EXPECT_EQ(line.find("Suspicious"), std::string::npos) << line;
    }
    EXPECT_GE(named, 10) << secure.out;
    EXPECT_EQ(sectors.size(), static_cast<std::size_t>(named)) << "each sector named once";
    EXPECT_TRUE(sectors.count(0) + sectors.count(1) + sectors.count(899) + sectors.count(898) > 0);
    const std::regex summary(R"(Secure reading: (\d) exact, (\d) repaired, 0 suspicious, 0 failed \((\d+) re-reads\))");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(secure.out, m, summary)) << secure.out;
    EXPECT_EQ(std::stoi(m[1]) + std::stoi(m[2]), 4);
    EXPECT_GE(std::stoi(m[3]), 2 * named);
    EXPECT_NE(secure.out.find("4 track(s) extracted"), std::string::npos);
}

TEST(SecureRip, ASectorThatNeverReadsLeavesItsTrackSuspiciousAndTheRunGoesOn) {
    test::TempFolder folder;
    // Sector 100 (00:01.25 of track 1) never reads; 400 and 401 read on the
    // fourth try; track 4 cannot be read at all.
    const std::string cue = WriteDisc(folder.Path(), "REM DAMAGE UNREADABLE 100 1\n"
                                                     "REM DAMAGE UNREADABLE 400 2 3\n"
                                                     "REM DAMAGE UNREADABLE 750 150\n");
    const Result plain = RunCli({"rip", "--image", cue, "--out", folder.Path()});
    EXPECT_EQ(plain.status, 1);
    EXPECT_FALSE(test::FileExists(FileName(folder.Path(), 1))) << "the plain rip stops at once";

    const Result secure = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--secure",
                                  "--max-reads", "6", "--cache-sectors", "0"});
    EXPECT_EQ(secure.status, 1);
    EXPECT_NE(secure.out.find("  Unreadable: " + Position(100) + " (written as silence)"),
              std::string::npos)
        << secure.out;
    // 400: the read ahead of three blocks, the block's read and its own
    // fail, two re-reads agree; 401: the reads before stop at 400, then it
    // fails three times alone.
    EXPECT_NE(secure.out.find("  Repaired: " + Position(100) + " (4 readings, 2 agreed)\n"
                              "  Repaired: " + Position(101) + " (6 readings, 2 agreed)\n"),
              std::string::npos);
    EXPECT_NE(secure.out.find("Read error (code 031100)\n  Track could not be read\n"),
              std::string::npos);
    int namedPositions = 0;
    std::istringstream lines(secure.out);
    bool extracting = false; // the second readings name them again
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("---> ", 0) == 0) {
            extracting = line.rfind("---> Extracting", 0) == 0;
        }
        namedPositions += extracting && line.rfind("  Repaired: ", 0) == 0 ? 1 : 0;
        namedPositions += extracting && line.rfind("  Unreadable: ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(namedPositions, 3) << "only the sectors that failed themselves";
    EXPECT_NE(secure.out.find("  Track could not be read"), std::string::npos);
    std::vector<uint8_t> expected = TrackAudio(0);
    std::fill(expected.begin() + 100 * 2352, expected.begin() + 101 * 2352, 0);
    EXPECT_EQ(FileAudio(FileName(folder.Path(), 0)), expected) << "silence where nothing read";
    EXPECT_EQ(FileAudio(FileName(folder.Path(), 1)), TrackAudio(1));
    EXPECT_EQ(FileAudio(FileName(folder.Path(), 2)), TrackAudio(2));
    EXPECT_FALSE(test::FileExists(FileName(folder.Path(), 3)));
    EXPECT_NE(secure.out.find("Secure reading: 1 exact, 1 repaired, 1 suspicious, 1 failed ("),
              std::string::npos)
        << secure.out;
    EXPECT_NE(secure.out.find("; 1 sector(s) unreadable, written as silence)\n"),
              std::string::npos)
        << "counted once, though both readings name it";
    EXPECT_NE(secure.out.find("3 track(s) extracted"), std::string::npos);
}

// The verification reads the sector that never reads as the extraction did:
// silence, as the file holds it. The track stays suspicious, not failed, and
// its file stays.
TEST(SecureRip, VerificationOfASectorThatNeverReadsKeepsTheTrackSuspicious) {
    test::TempFolder folder;
    const std::string cue = WriteDisc(folder.Path(), "REM DAMAGE UNREADABLE 100 1\n");
    const Result secure = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks", "1",
                                  "--secure", "--verify", "--max-reads", "4", "--cache-sectors",
                                  "0"});
    EXPECT_EQ(secure.status, 1);
    const std::string named = "  Unreadable: " + Position(100) + " (written as silence)\n";
    const std::size_t verifying = secure.out.find("---> Verifying track 01");
    ASSERT_NE(verifying, std::string::npos) << secure.out;
    EXPECT_LT(secure.out.find(named), verifying) << secure.out;
    EXPECT_EQ(secure.out.find(named, verifying), std::string::npos)
        << "named once, by the reading that gave it up\n"
        << secure.out;
    EXPECT_NE(secure.out.find("  Errors: 0 (0.00%)\n"), std::string::npos);
    EXPECT_EQ(secure.out.find("Read error"), std::string::npos) << secure.out;
    EXPECT_NE(secure.out.find("Secure reading: 0 exact, 0 repaired, 1 suspicious, 0 failed"),
              std::string::npos)
        << secure.out;
    std::vector<uint8_t> expected = TrackAudio(0);
    std::fill(expected.begin() + 100 * 2352, expected.begin() + 101 * 2352, 0);
    EXPECT_EQ(FileAudio(FileName(folder.Path(), 0)), expected);
}

TEST(SecureRip, TheCacheFoolsReReadsUnlessItIsDefeated) {
    test::TempFolder folder;
    const std::string cue =
        WriteDisc(folder.Path(), "REM DRIVE CACHE 64\nREM DAMAGE FLAKY 150 3 60\n");
    auto track1 = [&](const std::string& cacheSectors) {
        const Result result =
            RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks", "1", "--secure",
                    "--cache-sectors", cacheSectors, "--max-reads", "40"});
        return std::make_pair(result, FileAudio(FileName(folder.Path(), 0)));
    };
    const auto [fooled, fooledAudio] = track1("0");
    EXPECT_EQ(fooled.status, 0) << "the cached wrong reading agrees with itself";
    EXPECT_NE(fooledAudio, TrackAudio(0));
    EXPECT_NE(fooled.out.find("(2 readings, 2 agreed)"), std::string::npos) << fooled.out;

    const auto [defeated, defeatedAudio] = track1("128");
    EXPECT_EQ(defeated.status, 0) << defeated.out;
    EXPECT_EQ(defeatedAudio, TrackAudio(0));
}

// Without --cache-sectors, the drive's cache size comes from the settings.
TEST(SecureRip, TheCacheSizeComesFromTheSettingsWhenNoOptionGivesIt) {
    test::TempFolder folder;
    const std::string cue =
        WriteDisc(folder.Path(), "REM DRIVE CACHE 64\nREM DAMAGE FLAKY 150 3 60\n");
    const std::string config = folder.Path() + "config";
    std::filesystem::create_directories(config + "/vindral");
    auto rip = [&](const std::string& stored, std::vector<std::string> extra) {
        std::ofstream(config + "/vindral/settings.reg")
            << "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n\"driveCacheSectors\"=hex:" << stored
            << "\n";
        std::vector<std::string> args = {"rip",      "--image", cue,        "--out", folder.Path(),
                                         "--tracks", "1",       "--secure", "--max-reads", "40"};
        args.insert(args.end(), extra.begin(), extra.end());
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        const Result result = RunCli(args);
        ::unsetenv("XDG_CONFIG_HOME");
        return std::make_pair(result, FileAudio(FileName(folder.Path(), 0)));
    };
    const auto [none, noneAudio] = rip("00,00,00,00", {}); // a stored 0: no defeat
    EXPECT_NE(noneAudio, TrackAudio(0));
    EXPECT_NE(none.out.find("(2 readings, 2 agreed)"), std::string::npos) << none.out;
    const auto [stored, storedAudio] = rip("80,00,00,00", {}); // 128 sectors
    EXPECT_EQ(storedAudio, TrackAudio(0)) << stored.out;
    const auto [given, givenAudio] = rip("80,00,00,00", {"--cache-sectors", "0"});
    EXPECT_NE(givenAudio, TrackAudio(0)) << "the option wins";
}

TEST(SecureRip, VerificationRepairsTheFileWhereNoC2PointersTell) {
    test::TempFolder folder;
    // READ CD refused: the drive is read with READ CDDA, without C2 pointers,
    // so wrong readings reach the files silently.
    const std::string cue = WriteDisc(folder.Path(), std::string("REM DRIVE REFUSE READCD\n") + kFlaky);
    const Result secure = VerifiedSecureRip(cue, folder.Path());
    const std::regex corrected(kCorrectedLine);
    const std::regex errors(R"(  Errors: (\d+) \()");
    std::istringstream lines(secure.out);
    int correctedTotal = 0;
    int differingBytes = 0;
    int verifyingRepairs = 0;
    bool verifying = false;
    for (std::string line; std::getline(lines, line);) {
        verifying = line.rfind("---> Verifying", 0) == 0 ||
                    (verifying && line.rfind("---> ", 0) != 0);
        std::smatch m;
        if (std::regex_match(line, m, corrected)) {
            EXPECT_EQ(m[1], m[2]) << line;
            correctedTotal += std::stoi(m[1]);
        }
        if (std::regex_search(line, m, errors)) {
            differingBytes += std::stoi(m[1]);
        }
        verifyingRepairs += verifying && line.rfind("  Repaired: ", 0) == 0 ? 1 : 0;
    }
    EXPECT_GT(correctedTotal, 0) << secure.out;
    EXPECT_GT(differingBytes, 0) << "the error counts still say what differed";
    EXPECT_EQ(verifyingRepairs, correctedTotal) << "each corrected position is named";
}

// FLAC files hold what the verification corrected: the track is encoded
// again from its corrected samples, and nothing but the files stays.
TEST(SecureRip, FlacFilesHoldTheRepairedSamples) {
    test::TempFolder folder;
    const std::string cue = WriteDisc(folder.Path(), std::string("REM DRIVE REFUSE READCD\n") + kFlaky);
    const Result secure =
        RunCli({"rip", "--image", cue, "--out", folder.Path(), "--secure", "--verify",
                "--cache-sectors", "32", "--max-reads", "40", "--format", "flac", "--flac-level",
                "5"});
    EXPECT_EQ(secure.status, 0) << secure.out << secure.err;
    const std::regex corrected(kCorrectedLine);
    int correctedTotal = 0;
    for (auto it = std::sregex_iterator(secure.out.begin(), secure.out.end(), corrected);
         it != std::sregex_iterator(); ++it) {
        correctedTotal += std::stoi((*it)[1]);
    }
    EXPECT_GT(correctedTotal, 0) << "the verification corrected the samples\n" << secure.out;
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"disc.bin", "disc.cue", "Track01.flac",
                                            "Track02.flac", "Track03.flac", "Track04.flac"}));
    for (int t = 0; t < 4; ++t) {
        const test::DecodedFlac flac =
            test::DecodeFlac(folder.Path() + "Track0" + std::to_string(t + 1) + ".flac");
        EXPECT_TRUE(flac.decoded) << "track " << t + 1;
        EXPECT_TRUE(flac.pcm == TrackAudio(t)) << "track " << t + 1;
    }
}

// With C2 pointers the extraction gets the flaky sectors right, and the
// verification's own reading is then sometimes the wrong one: its re-reads
// agree with the file, which stays as it is. Such a sector is named as
// confirmed; it is not a repair, and a track with nothing else is exact.
TEST(SecureRip, VerificationConfirmsTheFileWhereItsOwnReadingWasWrong) {
    test::TempFolder folder;
    const std::string cue = WriteDisc(folder.Path(), kFlaky);
    const Result secure = VerifiedSecureRip(cue, folder.Path());
    const std::regex named(R"(  (Repaired|Confirmed|Suspicious): (\d\d):(\d\d)\.(\d\d) .*)");
    const std::regex corrected(kCorrectedLine);
    std::istringstream lines(secure.out);
    int track = -1;
    bool verifying = false;
    std::set<int> repairedTracks;
    int confirmed = 0;
    int verifyingRepairs = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("---> ", 0) == 0) {
            track = std::stoi(line.substr(line.rfind(' ') + 1)) - 1;
            verifying = line.rfind("---> Verifying", 0) == 0;
        }
        std::smatch m;
        if (std::regex_match(line, m, named)) {
            ASSERT_GE(track, 0);
            const int inTrack = std::stoi(m[2]) * 4500 + std::stoi(m[3]) * 75 + std::stoi(m[4]);
            EXPECT_TRUE(IsFlaky(kStarts[track] + inTrack)) << line;
            EXPECT_NE(m[1], "Suspicious") << line;
            if (m[1] == "Confirmed") {
                EXPECT_TRUE(verifying) << line;
                ++confirmed;
            } else {
                repairedTracks.insert(track);
                verifyingRepairs += verifying ? 1 : 0;
            }
        }
        if (std::regex_match(line, m, corrected)) {
            EXPECT_EQ(m[1], m[2]) << line;
            EXPECT_EQ(std::stoi(m[1]), verifyingRepairs) << line;
            verifyingRepairs = 0;
        }
    }
    EXPECT_GT(confirmed, 0) << secure.out;
    const int repaired = static_cast<int>(repairedTracks.size());
    EXPECT_NE(secure.out.find("Secure reading: " + std::to_string(4 - repaired) + " exact, " +
                              std::to_string(repaired) + " repaired, 0 suspicious, 0 failed"),
              std::string::npos)
        << secure.out;
}

// A drive with a read offset, corrected by --offset: a file sector is the
// tail of one drive sector and the head of the next, so the repair re-reads
// the drive sectors it was taken from. Offsets within a sector, of a whole
// sector and of more than one sector backwards; the flaky sectors lie at the
// disc's edges too, where part of a file sector is silence.
TEST(SecureRip, VerificationRepairsAFileCorrectedForTheReadOffset) {
    // A drive sector that straddles two flaky disc sectors is right only
    // when both are: 30 % each leaves half of its readings right.
    const std::string flaky = std::regex_replace(kFlaky, std::regex(" 60\n"), " 30\n");
    for (const int offset : {30, 588, -1000}) {
        SCOPED_TRACE(offset);
        test::TempFolder folder;
        const std::string cue =
            WriteDisc(folder.Path(), "REM DRIVE REFUSE READCD\nREM DRIVE OFFSET " +
                                         std::to_string(offset) + "\n" + flaky);
        const Result secure = RunCli(
            {"rip", "--image", cue, "--out", folder.Path(), "--secure", "--verify",
             "--cache-sectors", "32", "--max-reads", "40", "--offset", std::to_string(offset),
             "--accuraterip-url",
             "http://127.0.0.1:1/ar", "--ctdb-url", "http://127.0.0.1:1"});
        EXPECT_EQ(secure.status, 0) << secure.out << secure.err;
        for (int t = 0; t < 4; ++t) {
            // The pressed audio, with silence where the drive has nothing to give.
            std::vector<uint8_t> expected = TrackAudio(t);
            for (std::size_t i = 0; i < expected.size(); i += 4) {
                const int64_t driveSample =
                    static_cast<int64_t>((kStarts[t] * std::size_t{2352} + i) / 4) + offset;
                if (driveSample < 0 || driveSample >= 900 * 588) {
                    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(i), 4, 0);
                }
            }
            EXPECT_TRUE(FileAudio(FileName(folder.Path(), t)) == expected) << "track " << t + 1;
        }
        // Only the verifications name sectors, each a sector of the file
        // whose disc sector is flaky, and they say they corrected all that
        // differed.
        std::istringstream lines(secure.out);
        const std::regex corrected(kCorrectedLine);
        const std::regex repaired(R"(  Repaired: (\d\d):(\d\d)\.(\d\d) .*)");
        int track = -1;
        int correctedTotal = 0;
        int named = 0;
        bool verifying = false;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("---> ", 0) == 0) {
                track = std::stoi(line.substr(line.rfind(' ') + 1)) - 1;
                verifying = line.rfind("---> Verifying", 0) == 0;
            }
            std::smatch m;
            if (std::regex_match(line, m, corrected)) {
                EXPECT_EQ(m[1], m[2]) << line;
                correctedTotal += std::stoi(m[1]);
            }
            if (std::regex_match(line, m, repaired)) {
                ASSERT_GE(track, 0);
                const int inTrack = std::stoi(m[1]) * 4500 + std::stoi(m[2]) * 75 + std::stoi(m[3]);
                EXPECT_TRUE(verifying) << line;
                EXPECT_TRUE(IsFlaky(kStarts[track] + inTrack)) << line;
                ++named;
            }
            EXPECT_EQ(line.find("Suspicious"), std::string::npos) << line;
        }
        EXPECT_GT(correctedTotal, 0) << secure.out;
        EXPECT_EQ(named, correctedTotal) << "one line for each corrected sector of a file";
    }
}

// Every kind of damage on every read method: in secure mode a file is
// either the pressed audio, or its track is named suspicious and the rip
// exits 1. Nothing is taken on one reading, whatever C2 says or does not
// say, and the log names the read method and whether C2 was used.
TEST(SecureRip, NoDamageEndsInAWrongFileThatIsNotReported) {
    struct Method {
        const char* lines;
        const char* header;
    };
    const Method methods[] = {
        {"", "Secure reading: READ CD, C2 error pointers used"},
        {"REM DRIVE REFUSE READCD\n", "Secure reading: READ CDDA, no C2 error pointers"},
        {"REM DRIVE REFUSE READCD\nREM DRIVE REFUSE READCDDA\n",
         "Secure reading: READ(10) with 2352-byte blocks, no C2 error pointers"},
    };
    const char* scenarios[] = {
        "REM DAMAGE FLAKY 150 3 40\nREM DAMAGE FLAKY 297 6 30\nREM DAMAGE FLAKY 620 2 50\n",
        "REM DAMAGE UNREADABLE 400 2 3\nREM DAMAGE UNREADABLE 760 1 1\n",
        "REM DAMAGE UNREADABLE 100 1\n",
        "REM DAMAGE UNSTABLE 520 2\n",
        "REM DRIVE CACHE 64\nREM DAMAGE FLAKY 150 3 60\nREM DAMAGE FLAKY 880 2 60\n",
    };
    const std::regex trackLine(R"(---> (Extracting|Verifying) track (\d\d))");
    for (const Method& method : methods) {
        for (const char* scenario : scenarios) {
            SCOPED_TRACE(std::string(method.lines) + scenario);
            test::TempFolder folder;
            const std::string cue = WriteDisc(folder.Path(), std::string(method.lines) + scenario);
            const Result secure = RunCli({"rip", "--image", cue, "--out", folder.Path(),
                                          "--secure", "--max-reads", "8", "--cache-sectors",
                                          "128"});
            EXPECT_NE(secure.out.find("4 track(s) selected\n" + std::string(method.header) + "\n"),
                      std::string::npos)
                << secure.out;
            // The tracks with a sector left unsure.
            std::set<int> reported;
            std::istringstream lines(secure.out);
            int track = -1;
            int passes = 0;
            for (std::string line; std::getline(lines, line);) {
                std::smatch m;
                if (std::regex_search(line, m, trackLine)) {
                    track = std::stoi(m[2]) - 1;
                    passes += 1;
                }
                if (line.rfind("  Suspicious: ", 0) == 0 || line.rfind("  Unreadable: ", 0) == 0) {
                    reported.insert(track);
                }
            }
            for (int t = 0; t < 4; ++t) {
                if (FileAudio(FileName(folder.Path(), t)) != TrackAudio(t)) {
                    EXPECT_TRUE(reported.count(t)) << "track " << t + 1 << " wrong, unreported\n"
                                                   << secure.out;
                }
            }
            EXPECT_EQ(secure.status, reported.empty() ? 0 : 1) << secure.out;
            // Without the databases every track is read a second time.
            EXPECT_EQ(passes, 8) << secure.out;
        }
    }
}

TEST(SecureRip, CancelDuringReReads) {
    test::TempFolder folder;
    // A sector that reads differently each time, on a drive whose cache
    // returns its last reading: every new reading waits for a cache defeat.
    const std::string cue =
        WriteDisc(folder.Path(), "REM DRIVE CACHE 64\nREM DAMAGE UNSTABLE 100 1\n");
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cli::interrupted = true;
    });
    const auto started = std::chrono::steady_clock::now();
    const Result result = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--secure",
                                  "--max-reads", "1000", "--cache-sectors", "800",
                                  "--emulated-speed", "48"});
    const auto took = std::chrono::steady_clock::now() - started;
    interrupter.join();
    cli::interrupted = false;
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.out.substr(result.out.rfind("Canceled by user")), "Canceled by user\n");
    EXPECT_EQ(result.out.find("Suspicious"), std::string::npos);
    EXPECT_FALSE(test::FileExists(FileName(folder.Path(), 0)));
    EXPECT_LT(took, std::chrono::seconds(30));
}

TEST(SecureRip, CancelDuringTheVerificationsReReads) {
    test::TempFolder folder;
    // Without C2 pointers the wrong readings reach the file; the verification
    // finds them and re-reads a sector that never reads the same twice.
    const std::string cue =
        WriteDisc(folder.Path(), "REM DRIVE REFUSE READCD\nREM DAMAGE FLAKY 100 1 100\n");
    // Held to 8 X, the six readings that show it never agrees take about
    // five seconds, from about 1.7 s on.
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        cli::interrupted = true;
    });
    const auto started = std::chrono::steady_clock::now();
    const Result result = RunCli({"rip", "--image", cue, "--out", folder.Path(), "--tracks", "1",
                                  "--secure", "--verify", "--max-reads", "1000",
                                  "--cache-sectors", "800", "--emulated-speed", "8"});
    const auto took = std::chrono::steady_clock::now() - started;
    interrupter.join();
    cli::interrupted = false;
    EXPECT_EQ(result.status, 130);
    EXPECT_LT(result.out.find("---> Verifying track 01"), result.out.rfind("Canceled by user"))
        << result.out;
    EXPECT_EQ(result.out.substr(result.out.rfind("Canceled by user")), "Canceled by user\n");
    EXPECT_EQ(result.out.find("Repaired"), std::string::npos);
    EXPECT_LT(took, std::chrono::seconds(30));
}

} // namespace
} // namespace vindral
