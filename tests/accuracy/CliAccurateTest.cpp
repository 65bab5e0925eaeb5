// vindral-cli rip --accurate and --verify=auto end to end: an image on the
// emulated drive, and the databases' answers served from 127.0.0.1 by a
// server the test starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include <sys/stat.h>

#include "cli/CliRun.h"
#include "accuracy/AccuracyTestData.h"
#include "accuracy/Checksums.h"
#include "accuracy/DatabaseLookup.h"
#include "accuracy/DiscIds.h"
#include "accuracy/RipAccuracy.h"
#include "accuracy/RipLog.h"
#include "cli/Cli.h"
#include "drive/Transport.h"
#include "extract/RunHarness.h"
#include "net/LocalHttpServer.h"
#ifdef VINDRAL_HAVE_FLAC
#include "output/FlacFiles.h"
#endif

namespace vindral {
namespace {

constexpr int kLengths[] = {500, 460, 520};
constexpr int kSectors = 500 + 460 + 520;

using test::Lines;
using test::RunCli;
using Result = test::CliResult;

// The lines after the run's own last line.
std::vector<std::string> Added(const std::string& out) {
    const auto lines = Lines(out);
    const auto last = std::find(lines.begin(), lines.end(), "3 track(s) extracted");
    if (last == lines.end()) {
        return {"(no extracted line)"};
    }
    return {last + 1, lines.end()};
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

void Le32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

class CliAccurate : public ::testing::Test {
protected:
    void SetUp() override {
        // Noise-like audio, the same on every run.
        bin.resize(static_cast<std::size_t>(kSectors) * kSectorBytes);
        uint32_t state = 12345;
        for (auto& byte : bin) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 16);
        }
        std::ofstream(images.Path() + "disc.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
        std::ofstream cue(images.Path() + "disc.cue");
        cue << "FILE \"disc.bin\" BINARY\n"
            << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
            << "  TRACK 02 AUDIO\n    INDEX 01 00:06:50\n"   // 500
            << "  TRACK 03 AUDIO\n    INDEX 01 00:12:60\n";  // 960
        cuePath = images.Path() + "disc.cue";

        TrackTable table;
        SectorAddress start = 0;
        for (int t = 0; t < 3; ++t) {
            table.entries[static_cast<std::size_t>(t)] = TrackEntry{0, t + 1, start, kLengths[t]};
            start += kLengths[t];
        }
        table.count = 3;
        toc = accuracy::DiscTocFromTable(table);
        id = accuracy::AccurateRipIdOf(toc);

        start = 0;
        for (int t = 0; t < 3; ++t) {
            const accuracy::TrackPlace place{t == 0, t == 2};
            accuracy::TrackChecksums sums(
                static_cast<uint64_t>(kLengths[t]) * accuracy::kSamplesPerSector, place,
                accuracy::CtdbTrimFor(place, static_cast<uint64_t>(kSectors) * accuracy::kSamplesPerSector));
            sums.Add(bin.data() + static_cast<std::size_t>(start) * kSectorBytes,
                     static_cast<std::size_t>(kLengths[t]) * kSectorBytes);
            expected.push_back(sums.Result());
            start += kLengths[t];
        }
        cache = out.Path() + "cache";
        ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("XDG_CACHE_HOME"); }

    // One response: a confidence and a checksum per track.
    std::string Response(const std::vector<std::pair<int, uint32_t>>& tracks) const {
        std::string bytes;
        bytes += static_cast<char>(id.audioTracks);
        Le32(bytes, id.id1);
        Le32(bytes, id.id2);
        Le32(bytes, id.cddb);
        for (const auto& [confidence, checksum] : tracks) {
            bytes += static_cast<char>(confidence);
            Le32(bytes, checksum);
            Le32(bytes, 0);
        }
        return bytes;
    }

    // One response with an offset-finding sum per track: confidence,
    // checksum and sum.
    std::string PressingResponse(const std::vector<std::tuple<int, uint32_t, uint32_t>>& tracks) const {
        std::string bytes;
        bytes += static_cast<char>(id.audioTracks);
        Le32(bytes, id.id1);
        Le32(bytes, id.id2);
        Le32(bytes, id.cddb);
        for (const auto& [confidence, checksum, offsetFinding] : tracks) {
            bytes += static_cast<char>(confidence);
            Le32(bytes, checksum);
            Le32(bytes, offsetFinding);
        }
        return bytes;
    }

    std::string CtdbXml(int confidence, const std::vector<uint32_t>& crcs) const {
        std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<ctdb xmlns=\"http://db.cuetools.net/ns/mmd-1.0#\">\n"
                           " <entry confidence=\"" + std::to_string(confidence) +
                           "\" crc32=\"0badf00d\" id=\"1\" toc=\"0:500:960:1480\" trackcrcs=\"";
        for (std::size_t k = 0; k < crcs.size(); ++k) {
            char word[16];
            std::snprintf(word, sizeof word, "%s%08x", k ? " " : "", crcs[k]);
            text += word;
        }
        return text + "\" />\n</ctdb>\n";
    }

    std::string ArPath() const { return "/accuraterip/" + id.DatabasePath(); }
    static std::string CtdbPath() { return "/lookup2.php?version=3&ctdb=1&toc=0:500:960:1480"; }

    // Every track confirmed by both databases.
    void ServeConfirmedDisc() {
        server.Set(ArPath(), Response({{12, expected[0].arV2}, {10, expected[1].arV2}, {9, expected[2].arV2}}) +
                                 Response({{3, expected[0].arV1}, {2, 0x1234}, {1, 0x5678}}));
        server.Set(CtdbPath(), CtdbXml(4, {expected[0].ctdbCrc, expected[1].ctdbCrc, expected[2].ctdbCrc}));
    }

    Result Rip(std::vector<std::string> extra) {
        std::vector<std::string> args = {"rip", "--image", cuePath, "--out", out.Path(),
                                         "--accuraterip-url", server.Url() + "/accuraterip",
                                         "--ctdb-url", server.Url()};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunCli(args);
    }

    test::TempFolder images;
    test::TempFolder out;
    test::LocalHttpServer server;
    std::vector<uint8_t> bin;
    std::string cuePath;
    std::string cache;
    accuracy::DiscToc toc;
    accuracy::AccurateRipId id;
    std::vector<accuracy::TrackSums> expected;
};

TEST_F(CliAccurate, EveryTrackOfAConfirmedDiscIsAccurate) {
    ServeConfirmedDisc();
    const Result result = Rip({"--accurate"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    const std::vector<std::string> want = {
        "Track 01: accurate (AccurateRip v2, confidence 12 of 15) [" + Hex(expected[0].arV2) + "]",
        "Track 01: accurate (CTDB, confidence 4 of 4) [" + Hex(expected[0].ctdbCrc) + "]",
        "Track 02: accurate (AccurateRip v2, confidence 10 of 12) [" + Hex(expected[1].arV2) + "]",
        "Track 02: accurate (CTDB, confidence 4 of 4) [" + Hex(expected[1].ctdbCrc) + "]",
        "Track 03: accurate (AccurateRip v2, confidence 9 of 10) [" + Hex(expected[2].arV2) + "]",
        "Track 03: accurate (CTDB, confidence 4 of 4) [" + Hex(expected[2].ctdbCrc) + "]",
        "Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database",
    };
    EXPECT_EQ(Added(result.out), want);

    // What was asked: the dBAR path and the CTDB lookup, nothing else (both
    // at once, so in either order).
    auto requests = server.Requests();
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(requests, (std::vector<std::string>{ArPath(), CtdbPath()}));
    EXPECT_EQ(accuracy::CtdbTocString(toc), "0:500:960:1480");

    // The files hold the image's audio; the rip log ends with its checksum and names it.
    const auto wav = test::ReadWholeFile(out.Path() + "Track02.wav");
    ASSERT_EQ(wav.size(), 44u + 460u * kSectorBytes);
    EXPECT_TRUE(std::equal(wav.begin() + 44, wav.end(), bin.begin() + 500 * kSectorBytes));
    const auto logBytes = test::ReadWholeFile(out.Path() + "Track.log");
    const std::string log(logBytes.begin(), logBytes.end());
    EXPECT_EQ(accuracy::VerifyRipLog(log), accuracy::RipLogState::Matches);
    EXPECT_NE(log.find("AccurateRip ID: " + id.Text() + "\n"), std::string::npos);
    EXPECT_NE(log.find("  Copy CRC: " + Hex(expected[1].crc32) + "\n"), std::string::npos);
    EXPECT_NE(log.find("  Result: AccurateRip: accurate (AccurateRip v2, confidence 10 of 12)"),
              std::string::npos);
    EXPECT_EQ(RunCli({"log", "verify", out.Path() + "Track.log"}).status, 0);

    // A second run takes the answers from the cache: the server may be gone.
    EXPECT_TRUE(test::FileExists(cache + "/vindral/127.0.0.1_" + std::to_string(server.Port()) +
                                 "/accuraterip/" + id.DatabasePath()));
    server.Stop();
    const Result again = Rip({"--accurate", "--prefix", "Again"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(Added(again.out), want);
}

TEST_F(CliAccurate, VerifyAutoReadsAConfirmedDiscOnce) {
    ServeConfirmedDisc();
    const Result result = Rip({"--verify=auto"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    const auto lines = Lines(result.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "  Verification skipped: AccurateRip confirms the copy (confidence 12)"), 1);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("---> Verifying"), std::string::npos) << line;
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Total errors: 0 (0.00%)"), lines.end());

    // Into one file (--single), each track is still checked, and confirmed,
    // on its own.
    std::vector<std::string> formats = {"wav"};
#ifdef VINDRAL_HAVE_FLAC
    formats.push_back("flac");
#endif
    for (const std::string& format : formats) {
        const Result single = Rip({"--verify=auto", "--single", "--prefix", "S", "--format", format});
        EXPECT_EQ(single.status, 0) << single.out << single.err;
        const auto singleLines = Lines(single.out);
        EXPECT_EQ(std::count_if(singleLines.begin(), singleLines.end(),
                                [](const std::string& l) {
                                    return l.rfind("  Verification skipped: ", 0) == 0;
                                }),
                  3)
            << single.out;
        EXPECT_EQ(single.out.find("---> Verifying"), std::string::npos) << single.out;
        const std::string file = out.Path() + "S." + format;
        std::vector<uint8_t> audio = test::ReadWholeFile(file);
        audio.erase(audio.begin(), audio.begin() + std::min<std::ptrdiff_t>(44, audio.size()));
#ifdef VINDRAL_HAVE_FLAC
        if (format == "flac") {
            audio = test::DecodeFlac(file).pcm;
        }
#endif
        EXPECT_TRUE(audio == bin) << format;
    }

    // With plain --verify every track is read twice.
    const Result verified = Rip({"--verify", "--prefix", "V"});
    EXPECT_EQ(verified.status, 0);
    const auto verifiedLines = Lines(verified.out);
    EXPECT_EQ(std::count_if(verifiedLines.begin(), verifiedLines.end(),
                            [](const std::string& l) { return l.rfind("---> Verifying", 0) == 0; }),
              3);
    EXPECT_EQ(verified.out.find("accurate"), std::string::npos); // --verify alone asks nobody
    EXPECT_FALSE(test::FileExists(out.Path() + "V.log"));
}

// A track that one database knows and none of its entries match fails the
// rip, whichever database it is and whether the other knows the disc.
TEST_F(CliAccurate, ATrackThatMatchesNoPressingFailsTheRip) {
    const std::string arV2[] = {Hex(expected[0].arV2), Hex(expected[1].arV2), Hex(expected[2].arV2)};
    const std::string ctdb[] = {Hex(expected[0].ctdbCrc), Hex(expected[1].ctdbCrc),
                                Hex(expected[2].ctdbCrc)};
    struct Case {
        const char* name;
        bool accurateRipKnows;
        bool ctdbKnows;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"AccurateRip's pressings differ, CTDB does not know the disc", true, false,
         {"Track 01: accurate (AccurateRip v2, confidence 12 of 16) [" + arV2[0] + "]",
          "Track 01: not in database (CTDB) [" + ctdb[0] + "]",
          "Track 02: not accurate (AccurateRip: 3 pressings, none matches) [" + arV2[1] + "]",
          "Track 02: not in database (CTDB) [" + ctdb[1] + "]",
          "Track 03: accurate (AccurateRip v1, confidence 9 of 11) [" + Hex(expected[2].arV1) + "]",
          "Track 03: not in database (CTDB) [" + ctdb[2] + "]",
          "Accuracy: 2 of 3 track(s) accurate, 1 not accurate, 0 not in database"}},
        {"AccurateRip does not know the disc, CTDB's entry differs", false, true,
         {"Track 01: not in database (AccurateRip) [" + arV2[0] + "]",
          "Track 01: accurate (CTDB, confidence 4 of 4) [" + ctdb[0] + "]",
          "Track 02: not in database (AccurateRip) [" + arV2[1] + "]",
          "Track 02: not accurate (CTDB: 1 entry, none matches) [" + ctdb[1] + "]",
          "Track 03: not in database (AccurateRip) [" + arV2[2] + "]",
          "Track 03: accurate (CTDB, confidence 4 of 4) [" + ctdb[2] + "]",
          "Accuracy: 2 of 3 track(s) accurate, 1 not accurate, 0 not in database"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string prefix = c.accurateRipKnows ? "A" : "B";
        ::setenv("XDG_CACHE_HOME", (cache + prefix).c_str(), 1); // no answers of the case before
        const test::LocalHttpServer::Answer unknown{404, "Not Found"};
        if (c.accurateRipKnows) {
            server.Set(ArPath(), Response({{12, expected[0].arV2}, {10, 0xDEAD}, {9, expected[2].arV1}}) +
                                     Response({{3, 0xBEEF}, {2, 0xF00D}, {1, 0x5678}}) +
                                     Response({{1, 0xBEEF}, {2, 0xF00E}, {1, 0x5678}}));
        } else {
            server.Set(ArPath(), unknown);
        }
        if (c.ctdbKnows) {
            server.Set(CtdbPath(), CtdbXml(4, {expected[0].ctdbCrc, expected[1].ctdbCrc ^ 1u,
                                               expected[2].ctdbCrc}));
        } else {
            server.Set(CtdbPath(), unknown);
        }
        const Result result = Rip({"--accurate", "--prefix", prefix});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(Added(result.out), c.want);
        // The files are complete all the same.
        EXPECT_TRUE(test::FileExists(out.Path() + prefix + "02.wav"));
    }
}

TEST_F(CliAccurate, DamagedAnswersGiveAClearLine) {
    const std::string whole = Response({{12, expected[0].arV2}, {10, expected[1].arV2}, {9, expected[2].arV2}});
    server.Set(ArPath(), whole.substr(0, whole.size() - 3));
    server.Set(CtdbPath(), "<ctdb><entry confidence=\"4\" trackcrcs=\"12");
    const Result result = Rip({"--accurate"});
    EXPECT_EQ(result.status, 0) << result.err;
    const auto added = Added(result.out);
    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(added[0], "AccurateRip: unusable answer, not used (truncated AccurateRip answer (response 1 tracks))");
    EXPECT_EQ(added[1].rfind("CTDB: unusable answer, not used (malformed CTDB answer: ", 0), 0u) << added[1];
    EXPECT_EQ(added[2], "Accuracy: not checked, neither database could be used");
    // A damaged answer is not kept.
    EXPECT_FALSE(test::FileExists(cache + "/vindral/127.0.0.1_" + std::to_string(server.Port()) +
                                  "/accuraterip/" + id.DatabasePath()));
    EXPECT_EQ(accuracy::VerifyRipLog([&] {
                  const auto bytes = test::ReadWholeFile(out.Path() + "Track.log");
                  return std::string(bytes.begin(), bytes.end());
              }()),
              accuracy::RipLogState::Matches);
}

TEST_F(CliAccurate, ServerDownIsNotReachableAndTheRipSucceeds) {
    server.Stop();
    const Result result = Rip({"--verify=auto"});
    EXPECT_EQ(result.status, 0);
    const auto added = Added(result.out);
    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(added[0].rfind("AccurateRip: database not reachable (", 0), 0u) << added[0];
    EXPECT_EQ(added[1].rfind("CTDB: database not reachable (", 0), 0u) << added[1];
    // Nothing confirmed: every track was verified.
    const auto lines = Lines(result.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("---> Verifying", 0) == 0; }),
              3);
    for (int t = 1; t <= 3; ++t) {
        EXPECT_TRUE(test::FileExists(out.Path() + "Track0" + std::to_string(t) + ".wav"));
    }
}

// The sums a pressing whose samples lie `shift` samples later than this
// image's gives (pressed sample i is the image's sample i + shift, zeros
// where the image has none).
std::vector<accuracy::TrackSums> PressingSums(const std::vector<uint8_t>& bin, int shift) {
    std::vector<uint8_t> pressed(bin.size(), 0);
    for (std::size_t i = 0; i < bin.size() / 4; ++i) {
        const int64_t from = static_cast<int64_t>(i) + shift;
        if (from >= 0 && from < static_cast<int64_t>(bin.size() / 4)) {
            std::copy_n(bin.begin() + from * 4, 4, pressed.begin() + static_cast<long>(i * 4));
        }
    }
    std::vector<accuracy::TrackSums> sums;
    std::size_t start = 0;
    for (int t = 0; t < 3; ++t) {
        const accuracy::TrackPlace place{t == 0, t == 2};
        accuracy::TrackChecksums track(
            static_cast<uint64_t>(kLengths[t]) * accuracy::kSamplesPerSector, place,
            accuracy::CtdbTrimFor(place, static_cast<uint64_t>(kSectors) * accuracy::kSamplesPerSector));
        track.Add(pressed.data() + start * kSectorBytes, static_cast<std::size_t>(kLengths[t]) * kSectorBytes);
        sums.push_back(track.Result());
        start += static_cast<std::size_t>(kLengths[t]);
    }
    return sums;
}

// A pressing whose audio lies 12 samples later than this image's: its
// AccurateRip offset-finding sums give the shift, and its AccurateRip
// checksums and CTDB CRCs then match with the disc shifted by it.
TEST_F(CliAccurate, APressingWithAnotherOffsetIsReportedWithItsShift) {
    const std::vector<accuracy::TrackSums> other = PressingSums(bin, 12);
    server.Set(ArPath(), PressingResponse({{7, other[0].arV2, other[0].arOffsetFinding},
                                           {7, other[1].arV2, other[1].arOffsetFinding},
                                           {7, other[2].arV2, other[2].arOffsetFinding}}));
    server.Set(CtdbPath(), CtdbXml(3, {other[0].ctdbCrc, other[1].ctdbCrc, other[2].ctdbCrc}));

    const Result result = Rip({"--accurate"});
    EXPECT_EQ(result.status, 0) << result.out;
    const auto added = Added(result.out);
    ASSERT_EQ(added.size(), 7u);
    for (int t = 0; t < 3; ++t) {
        const std::string name = "Track 0" + std::to_string(t + 1) + ": ";
        EXPECT_EQ(added[static_cast<std::size_t>(2 * t)],
                  name + "accurate (AccurateRip v2, confidence 7 of 7, pressing shifted by +12 samples) [" +
                      Hex(other[static_cast<std::size_t>(t)].arV2) + "]");
        EXPECT_EQ(added[static_cast<std::size_t>(2 * t + 1)],
                  name + "accurate (CTDB, confidence 3 of 3, pressing shifted by +12 samples) [" +
                      Hex(other[static_cast<std::size_t>(t)].ctdbCrc) + "]");
    }
    EXPECT_EQ(added[6], "Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database");
}

// v2 of the pressing's track 3, shifted by +12, computed plainly from the
// image's audio.
const char* const kPythonTrack3V2 = R"(
import sys, struct
data = sys.stdin.buffer.read()
s = struct.unpack('<%dI' % (len(data) // 4), data)
start = (500 + 460) * 588
n = 520 * 588
v2 = 0
for k in range(1, n - 5 * 588 + 1):
    i = start + k - 1 + 12
    p = (s[i] if i < len(s) else 0) * k
    v2 += (p & 0xffffffff) + (p >> 32)
print('%08X' % (v2 & 0xffffffff))
)";

// Only AccurateRip knows the disc: its first pressing matches nothing, its
// second is this audio 12 samples later, with a v1 checksum for track 2
// and v2 for the others.
TEST_F(CliAccurate, AnAccurateRipPressingWithAnotherOffsetAloneConfirmsTheTracks) {
    const std::vector<accuracy::TrackSums> other = PressingSums(bin, 12);
    server.Set(ArPath(), PressingResponse({{12, 0x0BAD0001, 0x0BAD0101},
                                           {12, 0x0BAD0002, 0x0BAD0102},
                                           {12, 0x0BAD0003, 0x0BAD0103}}) +
                             PressingResponse({{7, other[0].arV2, other[0].arOffsetFinding},
                                               {7, other[1].arV1, other[1].arOffsetFinding},
                                               {7, other[2].arV2, other[2].arOffsetFinding}}));
    const Result result = Rip({"--accurate"});
    EXPECT_EQ(result.status, 0) << result.out;
    const std::vector<std::string> want = {
        "Track 01: accurate (AccurateRip v2, confidence 7 of 19, pressing shifted by +12 samples) [" +
            Hex(other[0].arV2) + "]",
        "Track 01: not in database (CTDB) [" + Hex(expected[0].ctdbCrc) + "]",
        "Track 02: accurate (AccurateRip v1, confidence 7 of 19, pressing shifted by +12 samples) [" +
            Hex(other[1].arV1) + "]",
        "Track 02: not in database (CTDB) [" + Hex(expected[1].ctdbCrc) + "]",
        "Track 03: accurate (AccurateRip v2, confidence 7 of 19, pressing shifted by +12 samples) [" +
            Hex(other[2].arV2) + "]",
        "Track 03: not in database (CTDB) [" + Hex(expected[2].ctdbCrc) + "]",
        "Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database",
    };
    EXPECT_EQ(Added(result.out), want);
    // The files are this image's audio, unshifted.
    const auto wav = test::ReadWholeFile(out.Path() + "Track03.wav");
    ASSERT_EQ(wav.size(), 44u + 520u * kSectorBytes);
    EXPECT_TRUE(std::equal(wav.begin() + 44, wav.end(), bin.begin() + 960 * kSectorBytes));
    // The rip log carries the same result.
    const auto logBytes = test::ReadWholeFile(out.Path() + "Track.log");
    const std::string log(logBytes.begin(), logBytes.end());
    EXPECT_NE(log.find("  Result: AccurateRip: accurate (AccurateRip v1, confidence 7 of 19, "
                       "pressing shifted by +12 samples) [" + Hex(other[1].arV1) + "]\n"),
              std::string::npos) << log;
    EXPECT_EQ(accuracy::VerifyRipLog(log), accuracy::RipLogState::Matches);

    if (accuracy::testing::HavePython()) {
        EXPECT_EQ(accuracy::testing::RunPython(kPythonTrack3V2, bin), Hex(other[2].arV2) + "\n");
    }
}

// A pressing 600 samples earlier: tracks 1 and 3 match it; its entry for
// track 2 is wrong although its offset-finding sum agrees, and a third
// pressing matches nothing at all.
TEST_F(CliAccurate, AShiftedPressingConfirmsOnlyTheTracksItsChecksumsMatch) {
    const std::vector<accuracy::TrackSums> other = PressingSums(bin, -600);
    server.Set(ArPath(), PressingResponse({{5, other[0].arV2, other[0].arOffsetFinding},
                                           {5, other[1].arV2 ^ 1, other[1].arOffsetFinding},
                                           {5, other[2].arV1, other[2].arOffsetFinding}}) +
                             PressingResponse({{2, 0x0BAD0001, 0x0BAD0101},
                                               {2, 0x0BAD0002, 0x0BAD0102},
                                               {2, 0x0BAD0003, 0x0BAD0103}}));
    const Result result = Rip({"--accurate"});
    EXPECT_EQ(result.status, 1) << result.out;
    const std::vector<std::string> want = {
        "Track 01: accurate (AccurateRip v2, confidence 5 of 7, pressing shifted by -600 samples) [" +
            Hex(other[0].arV2) + "]",
        "Track 01: not in database (CTDB) [" + Hex(expected[0].ctdbCrc) + "]",
        "Track 02: not accurate (AccurateRip: 2 pressings, none matches) [" + Hex(expected[1].arV2) + "]",
        "Track 02: not in database (CTDB) [" + Hex(expected[1].ctdbCrc) + "]",
        "Track 03: accurate (AccurateRip v1, confidence 5 of 7, pressing shifted by -600 samples) [" +
            Hex(other[2].arV1) + "]",
        "Track 03: not in database (CTDB) [" + Hex(expected[2].ctdbCrc) + "]",
        "Accuracy: 2 of 3 track(s) accurate, 1 not accurate, 0 not in database",
    };
    EXPECT_EQ(Added(result.out), want);

    // Only the pressing that matches nothing: every track is not accurate.
    server.Set(ArPath(), PressingResponse({{2, 0x0BAD0001, 0x0BAD0101},
                                           {2, 0x0BAD0002, 0x0BAD0102},
                                           {2, 0x0BAD0003, 0x0BAD0103}}));
    ::setenv("XDG_CACHE_HOME", (cache + "2").c_str(), 1);
    const Result none = Rip({"--accurate", "--prefix", "None"});
    EXPECT_EQ(none.status, 1);
    const auto lines = Added(none.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Accuracy: 0 of 3 track(s) accurate, 3 not accurate, 0 not in database");
}

// Some tracks ripped: a track is checked against the shifted pressing when
// the tracks the shift reaches into were ripped too.
TEST_F(CliAccurate, AShiftedPressingNeedsOnlyTheNeighboursTheShiftReaches) {
    const std::vector<accuracy::TrackSums> earlier = PressingSums(bin, -600);
    server.Set(ArPath(), PressingResponse({{4, earlier[0].arV2, earlier[0].arOffsetFinding},
                                           {4, earlier[1].arV2, earlier[1].arOffsetFinding},
                                           {4, earlier[2].arV2, earlier[2].arOffsetFinding}}));
    const Result result = Rip({"--accurate", "--tracks", "1,2"});
    EXPECT_EQ(result.status, 0) << result.out;
    const auto lines = Lines(result.out);
    const auto has = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("Track 01: accurate (AccurateRip v2, confidence 4 of 4, pressing shifted by -600 samples) [" +
                    Hex(earlier[0].arV2) + "]")) << result.out;
    EXPECT_TRUE(has("Track 02: accurate (AccurateRip v2, confidence 4 of 4, pressing shifted by -600 samples) [" +
                    Hex(earlier[1].arV2) + "]")) << result.out;
    EXPECT_TRUE(has("Accuracy: 2 of 2 track(s) accurate, 0 not accurate, 0 not in database"));

    // Shifted later, track 2 needs the start of track 3, which is not
    // ripped: it cannot be confirmed; track 1 can.
    const std::vector<accuracy::TrackSums> later = PressingSums(bin, 12);
    server.Set(ArPath(), PressingResponse({{4, later[0].arV2, later[0].arOffsetFinding},
                                           {4, later[1].arV2, later[1].arOffsetFinding},
                                           {4, later[2].arV2, later[2].arOffsetFinding}}));
    ::setenv("XDG_CACHE_HOME", (cache + "2").c_str(), 1);
    const Result partial = Rip({"--accurate", "--tracks", "1,2", "--prefix", "P"});
    EXPECT_EQ(partial.status, 1);
    const auto partialLines = Lines(partial.out);
    const auto partialHas = [&partialLines](const std::string& line) {
        return std::find(partialLines.begin(), partialLines.end(), line) != partialLines.end();
    };
    EXPECT_TRUE(partialHas("Track 02: not accurate (AccurateRip: 1 pressing, none matches) [" +
                           Hex(expected[1].arV2) + "]")) << partial.out;
    EXPECT_TRUE(partialHas("Track 01: accurate (AccurateRip v2, confidence 4 of 4, pressing shifted by +12 samples) [" +
                           Hex(later[0].arV2) + "]")) << partial.out;
    EXPECT_TRUE(partialHas("Accuracy: 1 of 2 track(s) accurate, 1 not accurate, 0 not in database"));
}

TEST_F(CliAccurate, TheUrlsMayComeFromTheSettings) {
    ServeConfirmedDisc();
    const std::string config = out.Path() + "config";
    std::filesystem::create_directories(config + "/vindral");
    std::ofstream(config + "/vindral/settings.reg")
        << "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n"
        << "\"accurateRipUrl\"=\"" << server.Url() << "/accuraterip\"\n"
        << "\"ctdbUrl\"=\"" << server.Url() << "\"\n";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const Result result = RunCli({"rip", "--image", cuePath, "--out", out.Path(), "--accurate"});
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(Added(result.out).back(), "Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database");
}

TEST_F(CliAccurate, WithoutTheNewOptionsNothingIsAskedOrAdded) {
    ServeConfirmedDisc();
    const Result result = Rip({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Lines(result.out).back(), "3 track(s) extracted");
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(test::FileExists(out.Path() + "Track.log"));
}

} // namespace
} // namespace vindral

namespace vindral {
namespace {

TEST_F(CliAccurate, ARepairedTrackThatTheDatabasesConfirmIsAccurate) {
    ServeConfirmedDisc();
    // Flaky sectors in the middle of track 2.
    std::ofstream(images.Path() + "damaged.cue")
        << "REM DAMAGE FLAKY 700 4 60\n"
        << "FILE \"disc.bin\" BINARY\n"
        << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
        << "  TRACK 02 AUDIO\n    INDEX 01 00:06:50\n"
        << "  TRACK 03 AUDIO\n    INDEX 01 00:12:60\n";
    cuePath = images.Path() + "damaged.cue";

    const Result plain = Rip({"--accurate", "--prefix", "P"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.out.find("Track 02: not accurate (AccurateRip:"), std::string::npos)
        << plain.out;

    const Result secure = Rip({"--accurate", "--secure", "--cache-sectors", "32"});
    EXPECT_EQ(secure.status, 0) << secure.out << secure.err;
    EXPECT_NE(secure.out.find("  Repaired: 00:02.5"), std::string::npos) << secure.out;
    EXPECT_NE(secure.out.find("Secure reading: 2 exact, 1 repaired, 0 suspicious, 0 failed"),
              std::string::npos);
    EXPECT_NE(secure.out.find("Track 02: accurate (AccurateRip v2, confidence 10 of 12) [" +
                              Hex(expected[1].arV2) + "]"),
              std::string::npos);
    EXPECT_NE(secure.out.find("Accuracy: 3 of 3 track(s) accurate"), std::string::npos);
    // Confirmed tracks are read once; without the databases, twice.
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(secure.out.find("---> Verifying"), std::string::npos) << secure.out;
    EXPECT_EQ(count(secure.out, "  Verification skipped: AccurateRip confirms the copy"), 3)
        << secure.out;
    const std::vector<uint8_t> confirmed = test::ReadWholeFile(out.Path() + "Track02.wav");
    const Result unconfirmed = Rip({"--secure", "--cache-sectors", "32"});
    EXPECT_EQ(unconfirmed.status, 0) << unconfirmed.out;
    EXPECT_EQ(count(unconfirmed.out, "---> Verifying track"), 3) << unconfirmed.out;
    EXPECT_EQ(test::ReadWholeFile(out.Path() + "Track02.wav"), confirmed);
}

TEST_F(CliAccurate, AnUnusableCachedAnswerIsDroppedAndFetchedAgain) {
    ServeConfirmedDisc();
    const std::string host = cache + "/vindral/127.0.0.1_" + std::to_string(server.Port());
    const std::string arFile = host + "/accuraterip/" + id.DatabasePath();
    const std::string ctdbFile = host + "/ctdb/" + accuracy::CtdbTocId(toc) + "-0.xml";
    for (const std::string& file : {arFile, ctdbFile}) {
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file, std::ios::binary) << "cut short";
    }
    const Result result = Rip({"--accurate"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(Added(result.out).back(),
              "Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database");
    EXPECT_EQ(server.Requests().size(), 2u);
    // The fetched answers took the damaged ones' place.
    const auto stored = test::ReadWholeFile(ctdbFile);
    EXPECT_EQ(std::string(stored.begin(), stored.end()),
              CtdbXml(4, {expected[0].ctdbCrc, expected[1].ctdbCrc, expected[2].ctdbCrc}));
    EXPECT_EQ(test::ReadWholeFile(arFile).size(), 2u * (13 + 3 * 9));
}

TEST_F(CliAccurate, LookUpsRunTogetherAndEndAtOnceAtACancel) {
    // Two databases that each take 1.5 s: asked one after the other they
    // would take 3 s.
    test::LocalHttpServer arServer;
    test::LocalHttpServer ctdbServer;
    arServer.Set(ArPath(), test::LocalHttpServer::Answer{
                               200, Response({{2, expected[0].arV2}, {2, 1}, {2, 2}}), 1500});
    ctdbServer.Set(CtdbPath(), test::LocalHttpServer::Answer{200, CtdbXml(1, {1, 2, 3}), 1500});
    accuracy::RipAccuracyOptions options;
    options.accurateRipUrl = arServer.Url() + "/accuraterip";
    options.ctdbUrl = ctdbServer.Url();
    TrackTable table;
    for (int t = 0; t < 3; ++t) {
        table.entries[static_cast<std::size_t>(t)] =
            TrackEntry{0, t + 1, static_cast<SectorAddress>(toc.tracks[static_cast<std::size_t>(t)].start),
                       kLengths[t]};
    }
    table.count = 3;
    accuracy::RipAccuracy checks(table, ExtractJob{}, options);
    auto start = std::chrono::steady_clock::now();
    checks.LookUp();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2700));
    EXPECT_EQ(checks.AccurateRipAnswer().state, accuracy::LookupState::Found);
    EXPECT_EQ(checks.CtdbAnswer().state, accuracy::LookupState::Found);

    // Ctrl+C while both databases keep the rip waiting: it ends at once,
    // before anything is read.
    server.Set(ArPath(), test::LocalHttpServer::Answer{200, "late", 2500});
    server.Set(CtdbPath(), test::LocalHttpServer::Answer{200, "late", 2500});
    std::thread press([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cli::interrupted = true;
    });
    start = std::chrono::steady_clock::now();
    const Result result = Rip({"--accurate"});
    const auto took = std::chrono::steady_clock::now() - start;
    press.join();
    cli::interrupted = false;
    EXPECT_EQ(result.status, 130) << result.out << result.err;
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_FALSE(test::FileExists(out.Path() + "Track01.wav"));
}

TEST_F(CliAccurate, SettingsThatAreNotARegularFileAreNamedAndNotWaitedFor) {
    ServeConfirmedDisc();
    const std::string config = out.Path() + "config";
    std::filesystem::create_directories(config + "/vindral");
    const std::string settings = config + "/vindral/settings.reg";
    ASSERT_EQ(::mkfifo(settings.c_str(), 0600), 0);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const Result result = Rip({"--accurate", "--secure"});
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err,
              "vindral-cli: the settings are not used, " + settings + ": not a regular file\n");
    EXPECT_NE(result.out.find("Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database"),
              std::string::npos);
}

} // namespace
} // namespace vindral
