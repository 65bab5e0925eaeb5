#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "drive/emulated/CueSheet.h"
#include "PressedDisc.h"
#include "platform/FlacTestFiles.h"
#include "platform/WaveTestFiles.h"

namespace vindral::emulated {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

uint8_t FileByte(int seed, int64_t sector, int i) {
    return static_cast<uint8_t>(seed * 31 + sector * 7 + i * 3 + (i >> 7));
}

Bytes Sectors(int seed, int64_t count, int64_t extraBytes = 0) {
    Bytes bytes(static_cast<std::size_t>(count * kSectorBytes + extraBytes));
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] = FileByte(seed, static_cast<int64_t>(at / kSectorBytes),
                             static_cast<int>(at % kSectorBytes));
    }
    return bytes;
}

using vindral::testing::Append16;
using vindral::testing::Append32;
using vindral::testing::AppendTag;

struct WaveFormat {
    uint16_t tag = 1;
    uint16_t channels = 2;
    uint32_t rate = 44100;
    uint16_t bits = 16;
};

// A RIFF WAVE file with a LIST chunk of odd length before the samples.
Bytes Wave(const Bytes& samples, WaveFormat format = {}) {
    Bytes b;
    AppendTag(b, "RIFF");
    Append32(b, 0);
    AppendTag(b, "WAVE");
    AppendTag(b, "fmt ");
    Append32(b, 16);
    Append16(b, format.tag);
    Append16(b, format.channels);
    Append32(b, format.rate);
    Append32(b, format.rate * format.channels * format.bits / 8);
    Append16(b, static_cast<uint16_t>(format.channels * format.bits / 8));
    Append16(b, format.bits);
    AppendTag(b, "LIST");
    Append32(b, 3);
    b.insert(b.end(), {'a', 'b', 'c', 0});
    AppendTag(b, "data");
    Append32(b, static_cast<uint32_t>(samples.size()));
    b.insert(b.end(), samples.begin(), samples.end());
    const auto riff = static_cast<uint32_t>(b.size() - 8);
    std::memcpy(&b[4], &riff, 4);
    return b;
}

class CueSheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        dir = fs::temp_directory_path() /
              ("vindral-cue-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void Write(const std::string& name, const Bytes& bytes) {
        fs::create_directories((dir / name).parent_path());
        std::ofstream out(dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    std::shared_ptr<const Disc> Parse(const std::string& text) {
        error.clear();
        auto disc = ParseCueSheet(text, "disc.cue", dir.string(), error);
        EXPECT_EQ(disc == nullptr, !error.empty()) << error;
        return disc;
    }

    Bytes Sector(const Disc& disc, SectorAddress address) {
        Bytes out(kSectorBytes);
        EXPECT_TRUE(disc.ReadSector(address, out.data(), 0)) << address;
        return out;
    }

    Bytes FileSector(int seed, int64_t sector) {
        Bytes out(kSectorBytes);
        for (int i = 0; i < kSectorBytes; ++i) {
            out[i] = FileByte(seed, sector, i);
        }
        return out;
    }

    fs::path dir;
    std::string error;
};

TEST_F(CueSheetTest, BinaryWithIndexZeroAndDataTrack) {
    Write("a.bin", Sectors(1, 200));
    auto disc = Parse("REM GENRE Test\nCATALOG 0000000000000\nPERFORMER \"X\"\n"
                      "FILE \"a.bin\" BINARY\n"
                      "  TRACK 01 AUDIO\n    TITLE \"One\"\n    FLAGS DCP\n    INDEX 01 00:00:00\n"
                      "  TRACK 02 AUDIO\n    ISRC ABCDE1234567\n"
                      "    INDEX 00 00:01:00\n    INDEX 01 00:01:20\n"
                      "  TRACK 03 MODE1/2352\n    INDEX 01 00:02:00\n");
    ASSERT_NE(disc, nullptr);
    ASSERT_EQ(disc->Tracks().size(), 3u);
    const auto& t = disc->Tracks();
    EXPECT_EQ(t[0].start, 0);
    EXPECT_EQ(t[1].start, 95);
    EXPECT_EQ(t[2].start, 150);
    EXPECT_EQ(t[0].length, 95);
    EXPECT_EQ(t[2].length, 50);
    EXPECT_FALSE(t[1].data);
    EXPECT_TRUE(t[2].data);
    EXPECT_EQ(disc->LeadOut(), 200);
    EXPECT_EQ(Sector(*disc, 80), FileSector(1, 80));
    EXPECT_EQ(Sector(*disc, 199), FileSector(1, 199));
    EXPECT_FALSE(disc->IsDataSector(149));
    EXPECT_TRUE(disc->IsDataSector(150));
    Bytes out(kSectorBytes);
    EXPECT_FALSE(disc->ReadSector(200, out.data(), 0)) << "the lead-out";
}

TEST_F(CueSheetTest, DataTrackPregapIsDataAndDataIsNeverSwapped) {
    Write("m.bin", Sectors(11, 30));
    auto disc = Parse("FILE m.bin MOTOROLA\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                      "TRACK 02 MODE1/2352\nPREGAP 00:00:10\nINDEX 01 00:00:20\n");
    ASSERT_NE(disc, nullptr) << error;
    EXPECT_EQ(disc->Tracks()[1].start, 30);
    EXPECT_FALSE(disc->IsDataSector(19));
    EXPECT_TRUE(disc->IsDataSector(20)) << "the pregap has the mode of its track";
    const Bytes gap = Sector(*disc, 25);
    EXPECT_EQ(gap[15], 1);
    EXPECT_EQ(gap[14], 0x25) << "MSF frame of address 25 + 150, in BCD";
    EXPECT_EQ(Bytes(gap.begin() + kMode1UserOffset, gap.begin() + kMode1UserOffset + 2048),
              Bytes(2048, 0));
    EXPECT_EQ(Sector(*disc, 30), FileSector(11, 20));
}

TEST_F(CueSheetTest, MotorolaSwapsEverySample) {
    Write("my image.bin", Sectors(2, 3));
    // An unquoted name with a blank in it.
    auto disc = Parse("FILE my image.bin MOTOROLA\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    ASSERT_NE(disc, nullptr);
    const Bytes sector = Sector(*disc, 1);
    const Bytes file = FileSector(2, 1);
    for (int i = 0; i < kSectorBytes; i += 2) {
        ASSERT_EQ(sector[i], file[i + 1]) << i;
        ASSERT_EQ(sector[i + 1], file[i]) << i;
    }
}

TEST_F(CueSheetTest, WaveFilesAndSeveralFiles) {
    // 10 sectors and half a sector: the last sector is completed with silence.
    Write("one.wav", Wave(Sectors(3, 10, kSectorBytes / 2)));
    Write("sub/two.bin", Sectors(4, 20));
    auto disc = Parse("FILE \"one.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                      "FILE \"sub\\two.bin\" BINARY\r\n  TRACK 02 AUDIO\r\n"
                      "    PREGAP 00:00:05\r\n    INDEX 01 00:00:00\r\n"
                      "  TRACK 03 AUDIO\r\n    INDEX 01 00:00:12\r\n    POSTGAP 00:00:03\r\n");
    ASSERT_NE(disc, nullptr) << error;
    const auto& t = disc->Tracks();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].start, 11 + 5) << "the pregap shifts what follows";
    EXPECT_EQ(t[2].start, 16 + 12);
    EXPECT_EQ(disc->LeadOut(), 16 + 20 + 3);
    EXPECT_EQ(Sector(*disc, 3), FileSector(3, 3));
    const Bytes last = Sector(*disc, 10);
    const Bytes partial = FileSector(3, 10);
    EXPECT_EQ(Bytes(last.begin(), last.begin() + kSectorBytes / 2),
              Bytes(partial.begin(), partial.begin() + kSectorBytes / 2));
    EXPECT_EQ(last[kSectorBytes - 1], 0);
    EXPECT_EQ(Sector(*disc, 12), Bytes(kSectorBytes, 0)) << "pregap silence";
    EXPECT_EQ(Sector(*disc, 16), FileSector(4, 0));
    EXPECT_EQ(Sector(*disc, 35), FileSector(4, 19));
    EXPECT_EQ(Sector(*disc, 37), Bytes(kSectorBytes, 0)) << "postgap silence";
}

TEST_F(CueSheetTest, FlacFilesReadAsTheSameSectorsAsBinaryFiles) {
    // The first file ends 1000 bytes into its last sector.
    const Bytes a = Sectors(11, 30, 1000);
    const Bytes b = Sectors(12, 20);
    Write("a.bin", a);
    Write("b.bin", b);
    Write("a.flac", vindral::testing::FlacOfPcm(a));
    Write("b.flac", vindral::testing::FlacOfPcm(b, {.blockSize = 1152}));
    const std::string tracks[] = {"TRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
                                  "INDEX 00 00:00:10\nINDEX 01 00:00:12\n",
                                  "TRACK 03 AUDIO\nINDEX 01 00:00:00\n"};
    auto binary = Parse("FILE a.bin BINARY\n" + tracks[0] + "FILE b.bin BINARY\n" + tracks[1]);
    ASSERT_NE(binary, nullptr) << error;
    // Sheets name FLAC files as WAVE as often as FLAC.
    auto flac = Parse("FILE \"a.flac\" WAVE\n" + tracks[0] + "FILE b.flac FLAC\n" + tracks[1]);
    ASSERT_NE(flac, nullptr) << error;
    ASSERT_EQ(flac->Tracks().size(), 3u);
    EXPECT_EQ(flac->LeadOut(), 51);
    EXPECT_EQ(flac->LeadOut(), binary->LeadOut());
    for (std::size_t t = 0; t < 3; ++t) {
        EXPECT_EQ(flac->Tracks()[t].start, binary->Tracks()[t].start) << t;
        EXPECT_EQ(flac->Tracks()[t].length, binary->Tracks()[t].length) << t;
    }
    // A run over both files, then single sectors from the end backwards:
    // every one a seek in the FLAC files.
    Bytes run(51 * kSectorBytes);
    Bytes expected(51 * kSectorBytes);
    ASSERT_EQ(flac->ReadSectors(0, 51, run.data(), 0), 51);
    ASSERT_EQ(binary->ReadSectors(0, 51, expected.data(), 0), 51);
    EXPECT_TRUE(run == expected);
    for (SectorAddress s = 50; s >= 0; s -= 3) {
        ASSERT_EQ(Sector(*flac, s), Sector(*binary, s)) << s;
    }
}

TEST_F(CueSheetTest, GapAtTheEndOfThePreviousFile) {
    Write("a.bin", Sectors(5, 100));
    Write("b.bin", Sectors(6, 30));
    auto disc = Parse("FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                      "TRACK 02 AUDIO\nINDEX 00 00:01:00\n"
                      "FILE b.bin BINARY\nINDEX 01 00:00:00\n");
    ASSERT_NE(disc, nullptr) << error;
    EXPECT_EQ(disc->Tracks()[1].start, 100);
    EXPECT_EQ(disc->LeadOut(), 130);
    EXPECT_EQ(Sector(*disc, 99), FileSector(5, 99));
    EXPECT_EQ(Sector(*disc, 100), FileSector(6, 0));
}

// Where each track's pregap begins and its later index points lie: INDEX 00,
// PREGAP and a file's gap before a later session count as pregap; the first
// track's pregap is everything before its INDEX 01.
TEST_F(CueSheetTest, IndexPointsAndPregapsAreKept) {
    Write("a.bin", Sectors(5, 400));
    Write("b.bin", Sectors(6, 30));
    struct Track {
        SectorAddress pregapStart;
        SectorAddress start;
        std::vector<SectorAddress> later;
    };
    struct Case {
        std::string sheet; // empty: the pressed disc of the drive tests
        std::vector<Track> tracks;
    };
    const Case cases[] = {
        {"", {{0, 150, {}}, {300, 375, {450}}, {600, 675, {}}, {12075, 12225, {}}}},
        {"FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
         "TRACK 02 AUDIO\nINDEX 00 00:01:00\nFILE b.bin BINARY\nINDEX 01 00:00:00\n",
         {{0, 0, {}}, {75, 400, {}}}},
        {"FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:10\nINDEX 02 00:00:20\n"
         "INDEX 03 00:01:00\nTRACK 02 AUDIO\nPREGAP 00:00:05\nINDEX 00 00:02:00\n"
         "INDEX 01 00:03:00\n",
         {{0, 10, {20, 75}}, {150, 230, {}}}},
        {"FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nREM SESSION 02\n"
         "TRACK 02 MODE1/2352\nINDEX 01 00:01:00\n",
         {{0, 0, {}}, {0 + 11400 + 75 - 150, 11400 + 75, {}}}},
    };
    for (const Case& c : cases) {
        auto disc = c.sheet.empty() ? testing::LoadPressedDisc() : Parse(c.sheet);
        ASSERT_NE(disc, nullptr) << error;
        ASSERT_EQ(disc->Tracks().size(), c.tracks.size()) << c.sheet;
        for (std::size_t t = 0; t < c.tracks.size(); ++t) {
            const DiscTrack& track = disc->Tracks()[t];
            EXPECT_EQ(track.pregapStart, c.tracks[t].pregapStart) << c.sheet << " track " << t + 1;
            EXPECT_EQ(track.start, c.tracks[t].start) << c.sheet << " track " << t + 1;
            EXPECT_EQ(track.laterIndexes, c.tracks[t].later) << c.sheet << " track " << t + 1;
        }
    }
    // Thirteen zeros are no catalog number; GENRE is CD-Text like REM GENRE.
    auto zeros = Parse("CATALOG 0000000000000\nGENRE \"Rock Music\"\n"
                       "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    ASSERT_NE(zeros, nullptr) << error;
    EXPECT_TRUE(zeros->Fields().catalog.empty());
    EXPECT_EQ(zeros->Fields().genre, "Rock Music");
}

// Address 0 is the first file's first byte; a PREGAP on track 1 is silence
// before it. What lies before track 1's INDEX 01 stays readable.
TEST_F(CueSheetTest, FirstTrackStartsWhereItsIndexOneLies) {
    Write("a.bin", Sectors(7, 400));
    struct Case {
        std::string sheet;
        SectorAddress track1;
        SectorAddress track2;
        SectorAddress leadOut;
        SectorAddress firstFileSector; // where file sector 0 lies
    };
    const Case cases[] = {
        {"TRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:00:32\n"
         "TRACK 02 AUDIO\nINDEX 01 00:04:00\n",
         32, 300, 400, 0},
        {"TRACK 01 AUDIO\nINDEX 01 00:00:32\nTRACK 02 AUDIO\nINDEX 01 00:04:00\n", 32, 300, 400,
         0},
        {"TRACK 01 AUDIO\nPREGAP 03:22:70\nINDEX 01 00:00:00\n"
         "TRACK 02 AUDIO\nINDEX 01 00:04:00\n",
         15220, 15520, 15620, 15220},
        {"TRACK 01 AUDIO\nPREGAP 00:01:00\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n"
         "TRACK 02 AUDIO\nINDEX 01 00:04:00\n",
         225, 375, 475, 75},
    };
    for (const Case& c : cases) {
        auto disc = Parse("FILE a.bin BINARY\n" + c.sheet);
        ASSERT_NE(disc, nullptr) << error;
        EXPECT_EQ(disc->Tracks()[0].start, c.track1) << c.sheet;
        EXPECT_EQ(disc->Tracks()[0].length, c.track2 - c.track1) << c.sheet;
        EXPECT_EQ(disc->Tracks()[1].start, c.track2) << c.sheet;
        EXPECT_EQ(disc->LeadOut(), c.leadOut) << c.sheet;
        EXPECT_EQ(Sector(*disc, c.firstFileSector), FileSector(7, 0)) << c.sheet;
        EXPECT_EQ(Sector(*disc, c.track1), FileSector(7, c.track1 - c.firstFileSector))
            << c.sheet;
        if (c.firstFileSector > 0) {
            EXPECT_EQ(Sector(*disc, 0), Bytes(kSectorBytes, 0)) << "PREGAP silence";
            EXPECT_EQ(Sector(*disc, c.firstFileSector - 1), Bytes(kSectorBytes, 0));
        }
    }
}

TEST_F(CueSheetTest, DamageLinesAndLoadingFromAPath) {
    Write("img/a.bin", Sectors(8, 100));
    Write("img/disc.cue",
          Bytes{}); // replaced below
    const std::string cue = "\xEF\xBB\xBF"
                            "file \"a.bin\" binary\ntrack 01 audio\nindex 01 00:00:00\n"
                            "REM DAMAGE UNREADABLE 10 5\nREM DAMAGE UNSTABLE 90 10\nREM COMMENT x\n"
                            "REM DAMAGE FLAKY 20 2 100\nREM DAMAGE UNREADABLE 30 1 2\n"
                            "REM DAMAGE FLAKY 40 1 100 samples 5\n";
    Write("img/disc.cue", Bytes(cue.begin(), cue.end()));
    auto disc = LoadCueSheet((dir / "img" / "disc.cue").string(), error);
    ASSERT_NE(disc, nullptr) << error;
    Bytes out(kSectorBytes);
    EXPECT_TRUE(disc->ReadSector(9, out.data(), 0));
    EXPECT_FALSE(disc->ReadSector(10, out.data(), 0));
    EXPECT_FALSE(disc->ReadSector(14, out.data(), 0));
    EXPECT_TRUE(disc->ReadSector(15, out.data(), 0));
    EXPECT_FALSE(disc->IsUnstable(89));
    EXPECT_TRUE(disc->IsUnstable(99));
    EXPECT_TRUE(disc->IsFlaky(21));
    EXPECT_FALSE(disc->IsFlaky(22));
    EXPECT_TRUE(disc->FlakyReadingWrong(20, 5)) << "100 %: every reading wrong";
    EXPECT_FALSE(disc->ReadSector(30, out.data(), 0));
    EXPECT_FALSE(disc->ReadSector(30, out.data(), 0));
    EXPECT_TRUE(disc->ReadSector(30, out.data(), 0)) << "the third try succeeds";
    // SAMPLES 5: a wrong reading differs from the pressed sector in 5 samples;
    // FLAKY without it, in every byte.
    for (const auto& [address, differing] : {std::pair{40, 20}, std::pair{20, kSectorBytes}}) {
        Bytes clean(kSectorBytes);
        ASSERT_TRUE(disc->CleanSector(address, clean.data()));
        ASSERT_TRUE(disc->ReadSector(address, out.data(), 7));
        int wrong = 0;
        for (int i = 0; i < kSectorBytes; ++i) {
            wrong += out[static_cast<std::size_t>(i)] != clean[static_cast<std::size_t>(i)] ? 1 : 0;
        }
        EXPECT_EQ(wrong, differing) << address;
    }

    EXPECT_EQ(LoadCueSheet((dir / "none.cue").string(), error), nullptr);
    EXPECT_EQ(error.rfind("none.cue: ", 0), 0u) << error;
}

TEST_F(CueSheetTest, BrokenSheetsNameFileLineAndFault) {
    Write("a.bin", Sectors(9, 100));
    Write("mono.wav", Wave(Sectors(9, 2), WaveFormat{1, 1, 44100, 16}));
    Write("fast.wav", Wave(Sectors(9, 2), WaveFormat{1, 2, 48000, 16}));
    Write("float.wav", Wave(Sectors(9, 2), WaveFormat{3, 2, 44100, 16}));
    Write("junk.wav", Sectors(9, 1));
    Write("empty.bin", {});
    const Bytes flac = vindral::testing::FlacOfPcm(Sectors(9, 4));
    Write("mono.flac", vindral::testing::FlacBytes(std::vector<int32_t>(600, 3), {.channels = 1}));
    Write("cut.flac", Bytes(flac.begin(), flac.begin() + static_cast<std::ptrdiff_t>(flac.size() / 2)));
    Write("data.flac", flac);
    const std::string head = "FILE a.bin BINARY\nTRACK 01 AUDIO\n";
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"FOO bar\n", "disc.cue:1: unknown keyword 'FOO'"},
        {"REM DAMAGE FLAKY 1 2\n",
         "disc.cue:1: REM DAMAGE FLAKY needs a sector, a count and a percentage"},
        {"REM DAMAGE FLAKY 1 2 101\n", "disc.cue:1: bad damage percentage '101'"},
        {"REM DAMAGE FLAKY 1 2 50 SAMPLES 0\n", "disc.cue:1: bad damage samples '0' (1 to 588)"},
        {"REM DAMAGE FLAKY 1 2 50 SAMPLES 589\n", "disc.cue:1: bad damage samples '589' (1 to 588)"},
        {"REM DAMAGE FLAKY 1 2 50 BYTES 3\n",
         "disc.cue:1: unknown FLAKY option 'BYTES' (SAMPLES <n>)"},
        {"REM DAMAGE FLAKY 1 2 50 SAMPLES\n",
         "disc.cue:1: REM DAMAGE FLAKY needs a sector, a count and a percentage"},
        {"REM DAMAGE UNREADABLE 1 2 3 SAMPLES 4\n",
         "disc.cue:1: REM DAMAGE needs a kind, a sector and a count"},
        {"REM DAMAGE UNREADABLE 1 2 0\n", "disc.cue:1: bad damage tries '0'"},
        {"REM DAMAGE UNSTABLE 1 2 3\n", "disc.cue:1: REM DAMAGE needs a kind, a sector and a count"},
        {"FILE missing.bin BINARY\n", "disc.cue:1: cannot open 'missing.bin': "},
        {"FILE empty.bin BINARY\n", "disc.cue:1: 'empty.bin' holds no audio"},
        {"FILE a.bin MP3\n", "disc.cue:1: unsupported file type 'MP3'"},
        {head + "INDEX 01 00:01:25\n", "disc.cue:3: INDEX time 00:01:25 lies beyond the end"},
        {head + "INDEX 01 00:60:00\n", "disc.cue:3: bad time '00:60:00'"},
        {head + "INDEX 01 00:00:75\n", "disc.cue:3: bad time '00:00:75'"},
        {head + "INDEX 01 0:0\n", "disc.cue:3: bad time '0:0'"},
        {head + "INDEX 01 00:00:00\nTRACK 03 AUDIO\n", "disc.cue:4: track 3 follows track 1"},
        {"FILE a.bin BINARY\nTRACK 100 AUDIO\n", "disc.cue:2: track number 100 is above 99"},
        {"FILE a.bin BINARY\nTRACK 1x AUDIO\n", "disc.cue:2: bad track number '1x'"},
        {"FILE a.bin BINARY\nINDEX 01 00:00:00\n", "disc.cue:2: INDEX before TRACK"},
        {"TRACK 01 AUDIO\n", "disc.cue:1: TRACK before FILE"},
        {"FILE a.bin BINARY\nTRACK 01 MODE2/2336\n",
         "disc.cue:2: unsupported track mode 'MODE2/2336'"},
        {"CATALOG 123456789012\n", "disc.cue:1: bad CATALOG '123456789012' (13 digits)"},
        {"CATALOG 12345678901234\n", "disc.cue:1: bad CATALOG '12345678901234' (13 digits)"},
        {"CATALOG 12345678901X3\n", "disc.cue:1: bad CATALOG '12345678901X3' (13 digits)"},
        {head + "ISRC USUM7083987\n",
         "disc.cue:3: bad ISRC 'USUM7083987' (2 letters, 3 letters or digits, 7 digits)"},
        {head + "ISRC U1UM70839873\n", "disc.cue:3: bad ISRC 'U1UM70839873'"},
        {head + "ISRC USU-70839873\n", "disc.cue:3: bad ISRC 'USU-70839873'"},
        {head + "ISRC USUM7083987X\n", "disc.cue:3: bad ISRC 'USUM7083987X'"},
        {head + "ISRC \"\"\n", "disc.cue:3: bad ISRC ''"},
        {head + "FLAGS DCP COPY\n", "disc.cue:3: unknown flag 'COPY'"},
        {head + "TITLE\n", "disc.cue:3: TITLE needs a value"},
        {"REM SESSION 02\n" + head, "disc.cue:1: session 2 before session 1"},
        {head + "INDEX 01 00:00:00\nREM SESSION 03\n", "disc.cue:4: session 3 follows session 1"},
        {head + "INDEX 01 00:00:00\nREM SESSION x\n", "disc.cue:4: bad session number 'x'"},
        {head + "INDEX 00 00:00:00\nTRACK 02 AUDIO\n", "disc.cue:2: track 1 has no INDEX 01"},
        {head + "INDEX 02 00:00:00\n", "disc.cue:3: INDEX 02 out of order"},
        {head + "INDEX 01 00:00:10\nTRACK 02 AUDIO\nINDEX 01 00:00:05\n",
         "disc.cue:5: INDEX time 00:00:05 is not after the previous INDEX"},
        {head + "INDEX 01 00:00:00\nPREGAP 00:02:00\n", "disc.cue:4: PREGAP after INDEX"},
        {"FILE mono.wav WAVE\n", "disc.cue:1: 'mono.wav' is not 44.1 kHz 16-bit stereo PCM"},
        {"FILE fast.wav WAVE\n", "disc.cue:1: 'fast.wav' is not 44.1 kHz 16-bit stereo PCM"},
        {"FILE float.wav WAVE\n", "disc.cue:1: 'float.wav' is not 44.1 kHz 16-bit stereo PCM"},
        {"FILE junk.wav WAVE\n", "disc.cue:1: 'junk.wav' is not a RIFF WAVE file"},
        {"FILE mono.flac WAVE\n",
         "disc.cue:1: 'mono.flac' is not 44.1 kHz 16-bit stereo (it holds 44100 Hz, 1 channel, "
         "16 bits)"},
        {"FILE cut.flac FLAC\n",
         "disc.cue:1: 'cut.flac' is damaged or cut short: it cannot be decoded to the last of its "
         "2352 samples"},
        {"FILE junk.wav FLAC\n", "disc.cue:1: 'junk.wav' is not a FLAC file"},
        {"FILE data.flac WAVE\nTRACK 01 MODE1/2352\n",
         "disc.cue:2: a data track cannot come from a FLAC file"},
        {head + "INDEX 01 00:00:00\nREM DAMAGE UNREADABLE -3 2\n",
         "disc.cue:4: bad damage sector '-3'"},
        {head + "INDEX 01 00:00:00\nREM DAMAGE UNSTABLE 3 0\n", "disc.cue:4: bad damage count '0'"},
        {head + "INDEX 01 00:00:00\nREM DAMAGE SCRATCHED 3 2\n",
         "disc.cue:4: unknown damage kind 'SCRATCHED'"},
        {"REM DAMAGE UNREADABLE 95 10\n" + head + "INDEX 01 00:00:00\n",
         "disc.cue:1: damage 95+10 runs past the lead-out at 100"},
        {"FILE \"a.bin BINARY\n", "disc.cue:1: unterminated quoted text"},
        {"REM nothing\nTITLE \"x\"\n", "disc.cue:2: no TRACK"},
        {"FILE a.bin BINARY\nFILE a.bin BINARY\n", "disc.cue:1: FILE 'a.bin' has no TRACK"},
        // The system would open "a.bin", not the file the sheet names.
        {"FILE \"a.bin" + std::string(1, '\0') + ".x\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
         "disc.cue:1: FILE name holds a NUL byte"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.text), nullptr) << c.text;
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
    }
}

TEST_F(CueSheetTest, KeywordsAtDiscAndTrackLevelAreKept) {
    Write("a.bin", Sectors(12, 300));
    auto disc = Parse("REM GENRE \"Hip Hop\"\nREM DATE 2008\nREM DISCID A90D2E0D\n"
                      "REM COMMENT \"whipper 0.5.1\"\nCATALOG 0602517931596\n"
                      "CDTEXTFILE \"disc.cdt\"\nTITLE \"808s & Heartbreak\"\n"
                      "PERFORMER Kanye West\nSONGWRITER \"S\"\nCOMPOSER \"C\"\nARRANGER \"A\"\n"
                      "MESSAGE \"M\"\nUPC_EAN 0602517931596\nDISC_ID \"XY12\"\n"
                      "FILE a.bin BINARY\n  TRACK 01 AUDIO\n    TITLE \"Say You Will\"\n"
                      "    ISRC USUM70846386\n    FLAGS DCP PRE\n    REM COMMENT first\n"
                      "    SONGWRITER \"W\"\n    COMPOSER \"K\"\n    ARRANGER \"R\"\n"
                      "    MESSAGE \"Hi\"\n    UPC_EAN 1\n    DISC_ID 2\n    REM GENRE Soul\n"
                      "    REM DATE 2009\n    PERFORMER \"Kid Cudi\"\n    INDEX 01 00:00:00\n"
                      "  TRACK 02 AUDIO\n    FLAGS 4CH SCMS\n    isrc gbafl0700213\n"
                      "    REM REPLAYGAIN_TRACK_GAIN -6.5 dB\n    INDEX 01 00:02:00\n"
                      "  TRACK 03 AUDIO\n    ISRC 000000000000\n    INDEX 01 00:03:00\n");
    ASSERT_NE(disc, nullptr) << error;
    const DiscFields& d = disc->Fields();
    EXPECT_EQ(d.genre, "Hip Hop");
    EXPECT_EQ(d.date, "2008");
    EXPECT_EQ(d.comment, "whipper 0.5.1");
    EXPECT_EQ(d.catalog, "0602517931596");
    EXPECT_EQ(d.cdTextFile, "disc.cdt");
    EXPECT_EQ(d.title, "808s & Heartbreak");
    EXPECT_EQ(d.performer, "Kanye West") << "unquoted words make one value";
    EXPECT_EQ(d.songwriter + d.composer + d.arranger + d.message, "SCAM");
    EXPECT_EQ(d.upcEan, "0602517931596");
    EXPECT_EQ(d.discId, "XY12");
    EXPECT_TRUE(d.isrc.empty());
    ASSERT_EQ(disc->TrackFields().size(), 3u);
    const DiscFields& one = disc->TrackFields()[0];
    EXPECT_EQ(one.title, "Say You Will");
    EXPECT_EQ(one.performer, "Kid Cudi");
    EXPECT_EQ(one.isrc, "USUM70846386");
    EXPECT_EQ(one.comment, "first");
    EXPECT_EQ(one.genre + one.date, "Soul2009");
    EXPECT_EQ(one.songwriter + one.composer + one.arranger + one.message, "WKRHi");
    EXPECT_EQ(one.upcEan + one.discId, "12");
    EXPECT_TRUE(one.digitalCopyPermitted);
    EXPECT_TRUE(one.preEmphasis);
    EXPECT_FALSE(one.fourChannels);
    EXPECT_FALSE(one.serialCopyManagement);
    const DiscFields& two = disc->TrackFields()[1];
    EXPECT_EQ(two.isrc, "gbafl0700213");
    EXPECT_TRUE(two.fourChannels);
    EXPECT_TRUE(two.serialCopyManagement);
    EXPECT_FALSE(two.digitalCopyPermitted);
    EXPECT_TRUE(two.title.empty()) << "track fields do not leak into the next track";
    EXPECT_TRUE(disc->TrackFields()[2].isrc.empty()) << "twelve zeros: no ISRC";
    // The control field a drive reports: PRE 0x01, DCP 0x02, 4CH 0x08.
    EXPECT_EQ(disc->Tracks()[0].controlFlags, 0x03);
    EXPECT_EQ(disc->Tracks()[1].controlFlags, 0x08);
    EXPECT_TRUE(disc->Notes().empty());
}

TEST_F(CueSheetTest, FileOfPartSectorsIsPaddedAndNoted) {
    Write("odd.bin", Sectors(13, 20, 1000));
    Write("even.bin", Sectors(14, 5));
    auto disc = Parse("FILE odd.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                      "FILE even.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    ASSERT_NE(disc, nullptr) << error;
    EXPECT_EQ(disc->Tracks()[1].start, 21);
    EXPECT_EQ(disc->LeadOut(), 26);
    ASSERT_EQ(disc->Notes().size(), 1u);
    EXPECT_EQ(disc->Notes()[0],
              "disc.cue:1: 'odd.bin' ends 1352 bytes short of a whole sector; its last sector "
              "is padded with zeros");
    const Bytes last = Sector(*disc, 20);
    const Bytes file = FileSector(13, 20);
    EXPECT_EQ(Bytes(last.begin(), last.begin() + 1000), Bytes(file.begin(), file.begin() + 1000));
    EXPECT_EQ(Bytes(last.begin() + 1000, last.end()), Bytes(kSectorBytes - 1000, 0));
    EXPECT_EQ(Sector(*disc, 21), FileSector(14, 0));
}

// REM SESSION 02 as ripping programs write it: the track that follows starts
// 11,400 sectors after the first session's last track ends.
TEST_F(CueSheetTest, SecondSessionStartsAfterLeadOutAndLeadIn) {
    Write("t1.bin", Sectors(15, 300));
    Write("t2.bin", Sectors(16, 200));
    Write("d.bin", Sectors(17, 400));
    const std::string audio = "REM SESSION 01\nFILE t1.bin BINARY\n  TRACK 01 AUDIO\n"
                              "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n"
                              "FILE t2.bin BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n";
    struct Case {
        std::string second;
        int32_t filePregap; // pregap sectors the file holds
    };
    const Case cases[] = {
        {"REM SESSION 02\nFILE d.bin BINARY\n  TRACK 04 MODE2/2352\n    INDEX 01 00:00:00\n", 0},
        {"REM SESSION 02\nFILE d.bin BINARY\n  TRACK 04 MODE1/2352\n    INDEX 00 00:00:00\n"
         "    INDEX 01 00:02:00\n",
         150},
        {"REM SESSION 02\nFILE d.bin BINARY\n  TRACK 04 MODE1/2352\n    INDEX 00 00:00:00\n"
         "    INDEX 01 00:01:00\n",
         75},
    };
    for (const Case& c : cases) {
        auto disc = Parse(audio + c.second);
        ASSERT_NE(disc, nullptr) << error;
        const auto& t = disc->Tracks();
        ASSERT_EQ(t.size(), 4u);
        EXPECT_EQ(t[2].start, 300);
        EXPECT_EQ(t[2].session, 1);
        EXPECT_EQ(t[3].session, 2);
        EXPECT_EQ(disc->LastSession(), 2);
        ASSERT_NE(disc->FirstTrackOfLastSession(), nullptr);
        EXPECT_EQ(disc->FirstTrackOfLastSession()->number, 4);
        EXPECT_EQ(t[3].start, 500 + 11400) << c.second;
        EXPECT_TRUE(t[3].data);
        EXPECT_EQ(disc->LeadOut(), 500 + 11400 + 400 - c.filePregap);
        // Lead-out and lead-in: no sector there.
        EXPECT_FALSE(disc->IsBetweenSessions(499));
        EXPECT_TRUE(disc->IsBetweenSessions(500));
        EXPECT_TRUE(disc->IsBetweenSessions(500 + 11249));
        EXPECT_FALSE(disc->IsBetweenSessions(500 + 11250)) << "the pregap is readable";
        Bytes out(kSectorBytes);
        EXPECT_FALSE(disc->ReadSector(500, out.data(), 0));
        EXPECT_FALSE(disc->ReadSector(500 + 6750, out.data(), 0));
        EXPECT_EQ(disc->ReadSectors(490, 16, std::vector<uint8_t>(16 * kSectorBytes).data(), 0),
                  10);
        EXPECT_EQ(Sector(*disc, 499), FileSector(16, 199));
        EXPECT_EQ(Sector(*disc, t[3].start), FileSector(17, c.filePregap)) << c.second;
        if (c.filePregap > 0) {
            EXPECT_EQ(Sector(*disc, t[3].start - c.filePregap), FileSector(17, 0));
        }
    }
    // The first session alone: one session, nothing between sessions.
    auto single = Parse(audio);
    ASSERT_NE(single, nullptr) << error;
    EXPECT_EQ(single->LastSession(), 1);
    EXPECT_EQ(single->FirstTrackOfLastSession()->number, 1);
    EXPECT_FALSE(single->IsBetweenSessions(0, single->LeadOut()));
}

// One file for the whole disc holds the space between the sessions itself;
// a file that cannot (the next session's track less than 11,400 sectors after
// the last one's start) is laid out as two files would be, and says so.
TEST_F(CueSheetTest, SecondSessionInTheSameFileKeepsItsPlace) {
    Write("all.bin", Sectors(18, 12000));
    struct Case {
        const char* index;  // of track 2 in the file
        int64_t inFile;     // that index in sectors
        int64_t start;      // where track 2 begins on the disc
        bool placedApart;
    };
    const Case cases[] = {
        {"02:36:00", 11700, 11700, false},
        {"02:32:01", 11401, 11401, false},
        {"02:32:00", 11400, 11400 + 11400, true},
        {"00:04:00", 300, 300 + 11400, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        auto disc = Parse(std::string("FILE all.bin BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                      "REM SESSION 02\n  TRACK 02 MODE1/2352\n    INDEX 01 ") +
                          c.index + "\n");
        ASSERT_NE(disc, nullptr) << error;
        EXPECT_EQ(disc->Tracks()[1].start, c.start);
        EXPECT_EQ(disc->Tracks()[1].session, 2);
        EXPECT_EQ(disc->LeadOut(), c.start + 12000 - c.inFile);
        // Track 1 ends where the file reaches track 2; lead-out and lead-in
        // follow, then 150 readable sectors of pregap.
        const int64_t end = c.start - 11400;
        EXPECT_FALSE(disc->IsBetweenSessions(static_cast<SectorAddress>(end - 1)));
        EXPECT_TRUE(disc->IsBetweenSessions(static_cast<SectorAddress>(end)));
        EXPECT_TRUE(disc->IsBetweenSessions(static_cast<SectorAddress>(end + 11249)));
        EXPECT_FALSE(disc->IsBetweenSessions(static_cast<SectorAddress>(end + 11250)));
        EXPECT_EQ(Sector(*disc, static_cast<SectorAddress>(end - 1)), FileSector(18, end - 1));
        EXPECT_EQ(Sector(*disc, static_cast<SectorAddress>(c.start)), FileSector(18, c.inFile));
        if (c.placedApart) {
            ASSERT_EQ(disc->Notes().size(), 1u);
            EXPECT_EQ(disc->Notes()[0],
                      "disc.cue:5: track 2 begins session 2 less than 11400 sectors after track 1 "
                      "starts, too close for the lead-out and lead-in between; it is placed as if "
                      "in a file of its own, 11400 sectors after track 1 ends");
        } else {
            EXPECT_TRUE(disc->Notes().empty());
        }
    }
}

TEST_F(CueSheetTest, InMemoryFilesThroughAnOpener) {
    std::vector<std::string> asked;
    ImageFileOpener opener = [&](const std::string& path, std::string& reason) {
        asked.push_back(path);
        if (path != "base/x.bin") {
            reason = "not there";
            return std::shared_ptr<const ImageFile>();
        }
        return MakeMemoryImageFile(Sectors(10, 4));
    };
    auto disc = ParseCueSheet("FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
                              "d.cue", "base", error, opener);
    ASSERT_NE(disc, nullptr) << error;
    EXPECT_EQ(disc->LeadOut(), 4);
    EXPECT_EQ(asked, std::vector<std::string>{"base/x.bin"});
    EXPECT_EQ(ParseCueSheet("FILE /abs/y.bin BINARY\n", "d.cue", "base", error, opener),
              nullptr);
    EXPECT_EQ(error, "d.cue:1: cannot open '/abs/y.bin': not there");
}

} // namespace
} // namespace vindral::emulated

namespace vindral::emulated {
namespace {

// Runs of sectors fetched at once equal the same sectors read one by one,
// across file boundaries, byte-swapped files, pregaps and damage.
TEST(DiscRuns, RunsEqualSingleSectors) {
    ImageFileOpener opener = [](const std::string& path, std::string&) {
        return MakeMemoryImageFile(Sectors(path == "a.bin" ? 1 : 2, 40));
    };
    std::string error;
    auto disc = ParseCueSheet("REM DAMAGE UNSTABLE 20 2\nREM DAMAGE UNREADABLE 70 1\n"
                              "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                              "FILE b.bin MOTOROLA\nTRACK 02 AUDIO\nPREGAP 00:00:05\n"
                              "INDEX 01 00:00:00\n",
                              "d.cue", "", error, opener);
    ASSERT_NE(disc, nullptr) << error;
    const int32_t count = 68; // up to the unreadable sector
    std::vector<uint8_t> run(static_cast<std::size_t>(count + 10) * kSectorBytes);
    std::vector<uint8_t> single(kSectorBytes);
    EXPECT_EQ(disc->ReadSectors(0, count + 10, run.data(), 100), 70);
    for (int32_t s = 0; s < count; ++s) {
        ASSERT_TRUE(disc->ReadSector(s, single.data(), 100 + static_cast<uint64_t>(s)));
        ASSERT_EQ(std::memcmp(run.data() + static_cast<std::size_t>(s) * kSectorBytes,
                              single.data(), kSectorBytes),
                  0)
            << "sector " << s;
    }
    EXPECT_EQ(disc->ReadSectors(disc->LeadOut() - 2, 4, run.data(), 0), 2);
}

} // namespace
} // namespace vindral::emulated
