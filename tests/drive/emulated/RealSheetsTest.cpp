// CUE sheets that ripping programs wrote for real discs (tests/data), read
// over stand-in audio files of the right length: the table of contents must
// be the one a drive reports for the pressed disc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "drive/emulated/CueSheet.h"
#include "drive/emulated/EmulatedTransport.h"

namespace vindral::emulated {
namespace {

const std::string kData = VINDRAL_TEST_DATA "/whipper/";

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

uint8_t AudioByte(uint64_t offset) { return static_cast<uint8_t>(offset * 5 + offset / 2352); }

// A WAVE file of `sectors` sectors of 44.1 kHz 16-bit stereo PCM, made up as
// it is read: a 74-minute image needs no 780 MB on the disk.
class StandInWave : public ImageFile {
public:
    explicit StandInWave(int64_t sectors) : bytes_(static_cast<uint64_t>(sectors) * 2352) {
        auto put = [&](std::size_t at, uint32_t value, int size) {
            for (int i = 0; i < size; ++i) {
                header_[at + i] = static_cast<uint8_t>(value >> (8 * i));
            }
        };
        std::memcpy(header_, "RIFF....WAVEfmt ", 16);
        put(4, static_cast<uint32_t>(36 + bytes_), 4);
        put(16, 16, 4);
        put(20, 1, 2);
        put(22, 2, 2);
        put(24, 44100, 4);
        put(28, 44100 * 4, 4);
        put(32, 4, 2);
        put(34, 16, 2);
        std::memcpy(header_ + 36, "data", 4);
        put(40, static_cast<uint32_t>(bytes_), 4);
    }
    uint64_t Size() const override { return 44 + bytes_; }
    bool ReadAt(uint64_t offset, void* out, std::size_t length) const override {
        if (offset + length > Size()) {
            return false;
        }
        auto* bytes = static_cast<uint8_t*>(out);
        for (std::size_t i = 0; i < length; ++i) {
            const uint64_t at = offset + i;
            bytes[i] = at < 44 ? header_[at] : AudioByte(at - 44);
        }
        return true;
    }

private:
    uint64_t bytes_;
    uint8_t header_[44] = {};
};

// The freedb disc ID: the digit sums of every track's start in seconds
// (with the 150 sectors before address 0), the playing time in seconds and
// the track count.
uint32_t CddbDiscId(const Disc& disc) {
    uint32_t sum = 0;
    for (const DiscTrack& track : disc.Tracks()) {
        for (int seconds = (track.start + 150) / 75; seconds > 0; seconds /= 10) {
            sum += static_cast<uint32_t>(seconds % 10);
        }
    }
    const int seconds =
        (disc.LeadOut() + 150) / 75 - (disc.Tracks().front().start + 150) / 75;
    return ((sum % 255) << 24) | (static_cast<uint32_t>(seconds) << 8) |
           static_cast<uint32_t>(disc.Tracks().size());
}

// The two AccurateRip disc IDs: the sum of the track starts and the
// lead-out, and the sum of every start (at least 1) times its track number
// and the lead-out times the track count + 1.
std::pair<uint32_t, uint32_t> AccurateRipIds(const Disc& disc) {
    uint32_t one = 0;
    uint32_t two = 0;
    for (const DiscTrack& track : disc.Tracks()) {
        one += static_cast<uint32_t>(track.start);
        two += static_cast<uint32_t>(std::max(track.start, 1) * track.number);
    }
    const auto leadOut = static_cast<uint32_t>(disc.LeadOut());
    return {one + leadOut, two + leadOut * static_cast<uint32_t>(disc.Tracks().size() + 1)};
}

// The "REM DISCID" that the ripping program wrote into the sheet.
uint32_t SheetDiscId(const std::string& text) {
    const std::size_t at = text.find("REM DISCID ");
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(text.substr(at + 11, 8), nullptr, 16));
}

// Parses a sheet of tests/data whose every file is a stand-in of the length
// `sectorsOf` gives for its path.
std::shared_ptr<const Disc> Load(const std::string& name,
                                 const std::function<int64_t(const std::string&)>& sectorsOf,
                                 std::string& text) {
    text = ReadText(kData + name);
    EXPECT_FALSE(text.empty()) << kData + name;
    ImageFileOpener opener = [&](const std::string& path, std::string& reason) {
        const int64_t sectors = sectorsOf(path);
        if (sectors <= 0) {
            reason = "no stand-in for " + path;
            return std::shared_ptr<const ImageFile>();
        }
        return std::shared_ptr<const ImageFile>(std::make_shared<StandInWave>(sectors));
    };
    std::string error;
    auto disc = ParseCueSheet(text, name, kData, error, opener);
    EXPECT_NE(disc, nullptr) << error;
    return disc;
}

std::vector<SectorAddress> Starts(const Disc& disc) {
    std::vector<SectorAddress> starts;
    for (const DiscTrack& track : disc.Tracks()) {
        starts.push_back(track.start);
    }
    return starts;
}

// Bloc Party, Silent Alarm: track 1 has 03:22:70 of hidden audio before it,
// which the rip left out (PREGAP). A real drive's table of contents of this
// disc, as cd-discid printed it (addresses + 150), is kept with the sheet:
// 15370 35019 51532 69190 84292 96826 112527 132448 148595 168072 185539
// 203331 222103, lead-out 243216; its AccurateRip IDs 001af2de and 0105994e.
TEST(RealSheets, BlocPartyTrackOneAfterItsPregap) {
    std::string text;
    auto disc = Load("bloc.cue", [](const std::string&) { return 243216 - 15220; }, text);
    ASSERT_NE(disc, nullptr);
    const std::vector<SectorAddress> drive = {15370, 35019, 51532, 69190, 84292, 96826, 112527,
                                              132448, 148595, 168072, 185539, 203331, 222103};
    std::vector<SectorAddress> expected;
    for (SectorAddress a : drive) {
        expected.push_back(a - 150);
    }
    EXPECT_EQ(Starts(*disc), expected);
    EXPECT_EQ(disc->LeadOut(), 243216);
    EXPECT_EQ(CddbDiscId(*disc), 0xAD0BE00Du);
    EXPECT_EQ(SheetDiscId(text), 0xAD0BE00Du);
    EXPECT_EQ(AccurateRipIds(*disc), std::make_pair(0x001AF2DEu, 0x0105994Eu));
    EXPECT_EQ(disc->Fields().comment, "whipper 0.5.1");

    // Through the emulated drive: the track table, and the hidden audio
    // (silence here) readable before track 1.
    ResetTransportForTesting();
    auto transport = std::make_unique<EmulatedTransport>();
    transport->AddDrive(disc);
    SelectTransport(std::move(transport));
    ASSERT_EQ(InitialiseTransport(), 1);
    TrackTable table;
    ASSERT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
    ASSERT_EQ(table.count, 13);
    EXPECT_EQ(table.entries[0].start, 15220);
    EXPECT_EQ(table.entries[0].length, 34869 - 15220);
    EXPECT_EQ(table.entries[12].length, 243216 - 221953);
    TrackEntry hidden;
    ASSERT_TRUE(HiddenTrackEntry(table, hidden));
    EXPECT_EQ(hidden.length, 15220);
    ASSERT_EQ(CdCommands::SelectBlockMode(0, 0, 0), kStatusOk);
    for (int32_t method : {kReadCd, kReadCdda, kRead10}) {
        std::vector<uint8_t> sectors(2 * 2352, 0xEE);
        ASSERT_EQ(CdCommands::ReadAudio(0, 0, 15219, 2, sectors.data(), method), kStatusOk)
            << method;
        EXPECT_EQ(std::vector<uint8_t>(sectors.begin(), sectors.begin() + 2352),
                  std::vector<uint8_t>(2352, 0))
            << method;
        for (int i = 0; i < 2352; ++i) {
            ASSERT_EQ(sectors[2352 + i], AudioByte(static_cast<uint64_t>(i))) << i;
        }
        ASSERT_EQ(CdCommands::ReadAudio(0, 0, 0, 1, sectors.data(), method), kStatusOk);
    }
    ResetTransportForTesting();
}

// whipper's own sheets: CATALOG, ISRC, CD-Text and REM lines, INDEX 00 gaps.
// The Cure disc's lead-out (238034) follows from its AccurateRip IDs
// 0019d4c3 and 00fe8924, kept in whipper's tests; the Breeders' from the
// playing time in its disc ID.
TEST(RealSheets, CureAndBreedersKeepTheirFieldsAndTheirDiscIds) {
    struct Case {
        const char* name;
        SectorAddress leadOut; // from the playing time in the disc ID
        uint32_t discId;
    };
    for (const Case& c : {Case{"cure.cue", 238034, 0xB90C650D}, Case{"breeders.cue", 165075, 0xBE08990D}}) {
        std::string text;
        auto disc = Load(c.name, [&](const std::string&) { return c.leadOut; }, text);
        ASSERT_NE(disc, nullptr) << c.name;
        EXPECT_EQ(disc->Tracks().size(), 13u);
        EXPECT_EQ(disc->Tracks()[0].start, 0);
        EXPECT_EQ(CddbDiscId(*disc), c.discId) << c.name;
        EXPECT_EQ(SheetDiscId(text), c.discId) << c.name;
        EXPECT_EQ(disc->Fields().comment, "whipper 0.5.1");
    }
    std::string text;
    auto cure = Load("cure.cue", [](const std::string&) { return 238034; }, text);
    ASSERT_NE(cure, nullptr);
    EXPECT_EQ(AccurateRipIds(*cure), std::make_pair(0x0019D4C3u, 0x00FE8924u));
    EXPECT_EQ(cure->Fields().catalog, "0602517642256");
    EXPECT_EQ(cure->TrackFields()[12].isrc, "USUM70839885");
    EXPECT_EQ(cure->Tracks()[1].start, 6 * 4500 + 17 * 75 + 49);
    auto breeders = Load("breeders.cue", [](const std::string&) { return 165075; }, text);
    ASSERT_NE(breeders, nullptr);
    EXPECT_EQ(breeders->Fields().title, "MOUNTAIN BATTLES");
    EXPECT_EQ(breeders->Fields().performer, "THE BREEDERS");
    EXPECT_EQ(breeders->TrackFields()[3].title, "WE'RE GONNA RISE");
    EXPECT_EQ(breeders->TrackFields()[3].isrc, "GBAFL0700216");
}

// whipper's sheets over its own FLAC file of ten sectors, named WAVE as
// such sheets often name them: all four tracks in one file, or each track a
// whole copy of it. The audio is what the flac program decodes.
TEST(RealSheets, WhipperFlacSheetsLoadWithTheirTrackLayout) {
    const std::string command = "flac -d -s -c --force-raw-format --endian=little "
                                "--sign=signed '" + kData + "track.flac'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<uint8_t> pcm(11 * 2352);
    pcm.resize(std::fread(pcm.data(), 1, pcm.size(), pipe));
    ASSERT_EQ(::pclose(pipe), 0) << command;
    ASSERT_EQ(pcm.size(), 10u * 2352);

    struct Case {
        const char* name;
        std::vector<SectorAddress> starts;
        SectorAddress leadOut;
    };
    for (const Case& c : {Case{"track-single.cue", {0, 2, 4, 6}, 10},
                          Case{"track-separate.cue", {0, 10, 20, 30}, 40}}) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto disc = LoadCueSheet(kData + c.name, error);
        ASSERT_NE(disc, nullptr) << error;
        EXPECT_EQ(Starts(*disc), c.starts);
        EXPECT_EQ(disc->LeadOut(), c.leadOut);
        std::vector<uint8_t> sector(2352);
        for (SectorAddress a = 0; a < c.leadOut; ++a) {
            ASSERT_TRUE(disc->ReadSector(a, sector.data(), 0)) << a;
            const auto at = static_cast<std::ptrdiff_t>(a % 10) * 2352;
            ASSERT_TRUE(std::equal(sector.begin(), sector.end(), pcm.begin() + at)) << a;
        }
    }
}

} // namespace
} // namespace vindral::emulated
