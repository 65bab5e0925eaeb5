// rip --secure --repair and repair DIR|CUE end to end: an emulated disc with
// damage that secure reading cannot recover, and a CTDB entry with parity
// (made by the encoder from the pressed audio) served from 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>

#include "accuracy/AccuracyTestData.h"
#include "accuracy/Checksums.h"
#include "accuracy/CtdbParity.h"
#include "accuracy/DatabaseLookup.h"
#include "cli/CliRun.h"
#include "extract/RunHarness.h"
#include "net/LocalHttpServer.h"
#include "output/FlacFiles.h"

namespace vindral {
namespace {

using test::RunCli;
using Bytes = std::vector<uint8_t>;

constexpr int kLengths[] = {400, 360, 440};
constexpr int kSectors = 1200;
constexpr std::size_t kSector = 2352;

Bytes FileAudio(const std::string& path) {
    if (path.size() > 5 && path.substr(path.size() - 5) == ".flac") {
        return test::DecodeFlac(path).pcm;
    }
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.size() >= 44 ? Bytes(bytes.begin() + 44, bytes.end()) : Bytes{};
}

class CliRepair : public ::testing::Test {
protected:
    void SetUp() override {
        pressed.resize(kSectors * kSector);
        uint32_t state = 777;
        for (auto& byte : pressed) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 16);
        }
        std::ofstream(images.Path() + "disc.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(pressed.data()), static_cast<std::streamsize>(pressed.size()));
        TrackTable table;
        for (int t = 0, start = 0; t < 3; start += kLengths[t], ++t) {
            table.entries[static_cast<std::size_t>(t)] = TrackEntry{0, t + 1, start, kLengths[t]};
        }
        table.count = 3;
        toc = accuracy::DiscTocFromTable(table);
        ::setenv("XDG_CACHE_HOME", (images.Path() + "cache").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("XDG_CACHE_HOME"); }

    std::string Cue(const std::string& rem) {
        std::ofstream(images.Path() + "disc.cue")
            << rem << "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
            << "  TRACK 02 AUDIO\n    INDEX 01 00:05:25\n  TRACK 03 AUDIO\n    INDEX 01 00:10:10\n";
        return images.Path() + "disc.cue";
    }

    Bytes Track(const Bytes& disc, int t) const {
        std::size_t start = 0;
        for (int k = 0; k < t; ++k) {
            start += kLengths[k] * kSector;
        }
        return Bytes(disc.begin() + static_cast<long>(start),
                     disc.begin() + static_cast<long>(start + kLengths[t] * kSector));
    }

    // Serves an entry (npar 8) of the pressing whose sample p is this
    // disc's p + shift, its parity (spoilt by `fault`), and, with `ar`, an
    // AccurateRip response of the pressed tracks.
    void Serve(int shift, const std::string& fault, bool ar) {
        Bytes audio(pressed.size(), 0);
        for (std::size_t p = 0; p < audio.size() / 4; ++p) {
            const int64_t from = static_cast<int64_t>(p) + shift;
            if (from >= 0 && static_cast<std::size_t>(from) < audio.size() / 4) {
                std::copy_n(pressed.begin() + from * 4, 4, audio.begin() + static_cast<long>(p) * 4);
            }
        }
        std::string error;
        const auto encoded = accuracy::EncodeCtdbParity(audio.data(), audio.size(), 5880, 8, error);
        ASSERT_TRUE(encoded) << error;
        const std::string parityUrl = server.Url() + "/parity/1.bin";
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", encoded->crc);
        std::string xml = "<?xml version=\"1.0\"?>\n<ctdb xmlns=\"http://db.cuetools.net/ns/mmd-1.0#\">\n"
                          " <entry confidence=\"5\" crc32=\"" + std::string(crc) +
                          "\" id=\"1\" npar=\"8\" stride=\"5880\" hasparity=\"" + parityUrl +
                          "\" syndrome=\"" + accuracy::testing::Base64Of(encoded->columnZero) + "\" toc=\"" +
                          accuracy::CtdbTocString(toc) + "\" trackcrcs=\"";
        std::string arAnswer;
        const accuracy::AccurateRipId id = accuracy::AccurateRipIdOf(toc);
        arAnswer += static_cast<char>(3);
        for (uint32_t v : {id.id1, id.id2, id.cddb}) {
            arAnswer.append(reinterpret_cast<const char*>(&v), 4);
        }
        for (int t = 0; t < 3; ++t) {
            const accuracy::TrackPlace place{t == 0, t == 2};
            for (const Bytes* source : {&audio, &pressed}) {
                accuracy::TrackChecksums sums(kLengths[t] * 588ull, place,
                                              accuracy::CtdbTrimFor(place, kSectors * 588ull));
                const Bytes samples = Track(*source, t);
                sums.Add(samples.data(), samples.size());
                const accuracy::TrackSums result = sums.Result();
                if (source == &audio) {
                    std::snprintf(crc, sizeof crc, "%s%08x", t ? " " : "", result.ctdbCrc);
                    xml += crc;
                } else {
                    arAnswer += static_cast<char>(3);
                    arAnswer.append(reinterpret_cast<const char*>(&result.arV2), 4);
                    arAnswer.append(4, '\0');
                }
            }
        }
        server.Set(accuracy::CtdbLookupUrl("", toc), xml + "\" />\n</ctdb>\n");
        std::string parity = accuracy::CtdbParityBytes(encoded->parity);
        if (fault == "truncated") {
            parity.resize(parity.size() / 2);
        } else if (fault == "damaged") {
            parity[0] = static_cast<char>(parity[0] ^ 0x5A);
        }
        server.Set("/parity/1.bin", parity);
        server.Set("/" + id.DatabasePath(),
                   ar ? test::LocalHttpServer::Answer{200, arAnswer} : test::LocalHttpServer::Answer{404, ""});
    }

    Bytes pressed;
    accuracy::DiscToc toc;
    test::TempFolder images;
    test::LocalHttpServer server;
};

// Each row: the disc's damage, the pressing's shift, the rip's read offset,
// a spoilt parity answer; then the exit status, whether the files end as
// pressed (else as read: the unreadable sectors silent), and a line.
TEST_F(CliRepair, SecureRipRepairsFromCtdbOnlyWhatItProves) {
    const std::string damage = "REM DAMAGE UNREADABLE 101 1\nREM DAMAGE UNSTABLE 523 2\n"
                               "REM DAMAGE UNREADABLE 905 1\n";
    const std::string beyond = "REM DAMAGE UNREADABLE 101 1\nREM DAMAGE UNREADABLE 111 1\n"
                               "REM DAMAGE UNREADABLE 121 1\nREM DAMAGE UNREADABLE 131 1\n"
                               "REM DAMAGE UNREADABLE 141 1\n";
    struct Row {
        const char* name;
        std::string rem;
        int shift;
        int offset;
        const char* fault;
        int status;
        bool mended;
        const char* line;
        const char* place; // track 1's mended place: its position and samples
    } rows[] = {
        {"repairable", damage, 0, 0, "", 0, true,
         "Accuracy: 3 of 3 track(s) accurate, 0 not accurate, 0 not in database; 3 repaired from CTDB",
         "00:01.26 (588 samples"},
        {"past capacity", beyond, 0, 0, "", 1, false, "more damage than the parity can mend", ""},
        {"other pressing", damage, 1234, 0, "", 0, true, "pressing shifted by +1234 samples",
         "00:01.26 (588 samples"},
        {"read offset", "REM DRIVE OFFSET -48\n" + damage, 0, -48, "", 0, true, "3 repaired from CTDB",
         "00:01.25 (1176 samples"}, // the damage straddles two sectors of the corrected files
        {"truncated parity", "REM DAMAGE UNREADABLE 101 1\n", 0, 0, "truncated", 1, false, "unusable parity", ""},
        {"damaged parity", "REM DAMAGE UNREADABLE 101 1\n", 0, 0, "damaged", 1, false, "unusable parity", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempFolder out;
        ::setenv("XDG_CACHE_HOME", (out.Path() + "cache").c_str(), 1);
        Serve(row.shift, row.fault, row.name == std::string("repairable"));
        const test::CliResult rip = RunCli(
            {"rip", "--image", Cue(row.rem), "--out", out.Path(), "--secure", "--repair",
             "--max-reads", "4", "--cache-sectors", "0", "--offset", std::to_string(row.offset),
             "--ctdb-url", server.Url(), "--accuraterip-url", server.Url()});
        EXPECT_EQ(rip.status, row.status) << rip.out << rip.err;
        EXPECT_NE(rip.out.find(row.line), std::string::npos) << rip.out;
        EXPECT_TRUE(std::regex_search(rip.out, std::regex("[1-9] suspicious"))) << "secure reading left damage";
        // As read, the unreadable sectors are silence (and, read with a
        // negative offset, the first samples: the code never covers them).
        Bytes expected = pressed;
        if (!row.mended) {
            for (int sector : {101, 111, 121, 131, 141}) {
                if (row.rem.find(" " + std::to_string(sector) + " 1") != std::string::npos) {
                    std::fill_n(expected.begin() + sector * static_cast<long>(kSector), kSector, 0);
                }
            }
        }
        std::fill_n(expected.begin(), -row.offset * 4, 0);
        for (int t = 0; t < 3; ++t) {
            EXPECT_TRUE(FileAudio(out.Path() + "Track0" + std::to_string(t + 1) + ".wav") ==
                        Track(expected, t))
                << "track " << t + 1;
        }
        if (row.mended) {
            // Every mended place named in its track, the report before.
            EXPECT_NE(rip.out.find(std::string("Track 01:\n  Repaired from CTDB: ") + row.place + ")\n"),
                      std::string::npos);
            const std::regex place(R"(  Repaired from CTDB: \d\d:\d\d\.\d\d \((\d+) samples\))");
            EXPECT_EQ(std::distance(std::sregex_iterator(rip.out.begin(), rip.out.end(), place),
                                    std::sregex_iterator()), 3) << rip.out;
            EXPECT_LT(rip.out.find("in 3 places (track 01, 02, 03), at most "), rip.out.find("  Repaired from CTDB"));
            std::ifstream log(out.Path() + "Track.log");
            const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            const std::string samples = std::strchr(row.place, '(') + 1;
            EXPECT_NE(text.find("  Result: repaired from CTDB: 1 place, " + samples + "\n"), std::string::npos)
                << text;
        } else {
            EXPECT_EQ(rip.out.find("Repaired from CTDB"), std::string::npos);
            EXPECT_NE(rip.out.find("nothing was written"), std::string::npos) << rip.out;
        }
    }
}

// repair mends an earlier rip: FLAC files found through the rip log in DIR
// (their tags kept), WAV files through a cue sheet.
TEST_F(CliRepair, RepairCommandMendsAnEarlierRip) {
    Serve(0, "", true);
    for (const char* format : {"flac", "wav"}) {
        SCOPED_TRACE(format);
        test::TempFolder out;
        std::vector<std::string> args = {"rip", "--image", Cue("REM DAMAGE UNREADABLE 101 1\n"), "--out",
                                         out.Path(), "--secure", "--accurate", "--max-reads", "4",
                                         "--cache-sectors", "0", "--format", format,
                                         "--ctdb-url", server.Url(), "--accuraterip-url", server.Url()};
        const test::CliResult rip = RunCli(args);
        std::string where = out.Path();
        if (format == std::string("wav")) {
            where += "disc.cue";
            std::ofstream(where) << "FILE \"Track01.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                 << "FILE \"Track02.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                 << "FILE \"Track03.wav\" WAVE\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n";
        }
        EXPECT_EQ(rip.status, 1) << rip.out;
        const std::string first = out.Path() + "Track01." + format;
        const std::vector<std::string> tags =
            format == std::string("flac") ? test::DecodeFlac(first).comments : std::vector<std::string>{};
        EXPECT_FALSE(FileAudio(first) == Track(pressed, 0));
        const test::CliResult repair =
            RunCli({"repair", where, "--ctdb-url", server.Url(), "--accuraterip-url", server.Url()});
        EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
        EXPECT_NE(repair.out.find("Track 01:\n  Repaired from CTDB: 00:01.26 (588 samples)\n"),
                  std::string::npos) << repair.out;
        EXPECT_NE(repair.out.find("and AccurateRip (1 track)"), std::string::npos) << repair.out;
        for (int t = 0; t < 3; ++t) {
            EXPECT_TRUE(FileAudio(out.Path() + "Track0" + std::to_string(t + 1) + "." + format) ==
                        Track(pressed, t)) << "track " << t + 1;
        }
        if (format == std::string("flac")) {
            EXPECT_EQ(test::DecodeFlac(first).comments, tags);
        }
        // Once mended, nothing is left to do.
        const test::CliResult again =
            RunCli({"repair", where, "--ctdb-url", server.Url(), "--accuraterip-url", server.Url()});
        EXPECT_EQ(again.status, 0) << again.out << again.err;
        EXPECT_NE(again.out.find("nothing to mend"), std::string::npos) << again.out;
    }
}

} // namespace
} // namespace vindral
