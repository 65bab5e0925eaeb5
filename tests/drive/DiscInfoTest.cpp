// What the disc says about itself: Q frames, the full table of contents,
// CD-Text packs, and the index search against discs with pregaps, index
// points, a hidden track and the habits of real drives.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "drive/DiscInfo.h"
#include "drive/RecordingBackend.h"
#include "drive/SubChannel.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/emulated/PressedDisc.h"

namespace vindral {
namespace {

using emulated::testing::InstallDrive;
using emulated::testing::SheetDisc;

// Frames written down with their CRC worked out apart from this code.
TEST(SubChannel, QFramesDecodeAndTheirCrcIsChecked) {
    const uint8_t position[12] = {0x01, 0x01, 0x01, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x02, 0x00, 0x5A, 0x28};
    const uint8_t later[12] = {0x41, 0x12, 0x02, 0x03, 0x25, 0x61,
                               0x00, 0x45, 0x02, 0x74, 0x4B, 0xB5};
    const uint8_t mcn[12] = {0x02, 0x07, 0x61, 0x23, 0x45, 0x67,
                             0x89, 0x01, 0x00, 0x12, 0x90, 0xD4};
    const uint8_t isrc[12] = {0x03, 0x96, 0x38, 0x93, 0x04, 0x76,
                              0x07, 0x83, 0x90, 0x33, 0x1F, 0xAC};
    auto first = DecodeQ(position);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->adr, 1);
    EXPECT_EQ(first->track, 1);
    EXPECT_EQ(first->index, 1);
    EXPECT_EQ(first->absolute, 0);
    auto second = DecodeQ(later);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->control, 4);
    EXPECT_EQ(second->track, 12);
    EXPECT_EQ(second->index, 2);
    EXPECT_EQ(second->relative, (3 * 60 + 25) * 75 + 61);
    EXPECT_EQ(second->absolute, (45 * 60 + 2) * 75 + 74 - 150);
    auto catalog = DecodeQ(mcn);
    ASSERT_TRUE(catalog);
    EXPECT_EQ(catalog->adr, 2);
    EXPECT_EQ(catalog->mcn, "0761234567890");
    EXPECT_EQ(catalog->absoluteFrame, 12);
    auto code = DecodeQ(isrc);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->isrc, "USRC17607839");

    // Any flipped bit, in the data or in the CRC, rejects the frame.
    for (int bit = 0; bit < 96; ++bit) {
        uint8_t broken[12];
        std::memcpy(broken, later, 12);
        broken[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        EXPECT_FALSE(DecodeQ(broken)) << "bit " << bit;
    }

    // Raw P-W: Q is bit 6 of each of the 96 bytes; the other bits are noise.
    uint8_t pw[96];
    for (int i = 0; i < 96; ++i) {
        const bool bit = (later[i / 8] >> (7 - i % 8)) & 1;
        pw[i] = static_cast<uint8_t>((bit ? 0x40 : 0) | ((i * 37) & 0xBF));
    }
    const auto q = DeinterleaveQ(pw);
    EXPECT_EQ(std::memcmp(q.data(), later, 12), 0);
}

TEST(SubChannel, CatalogNumbersAndIsrcsThatCountAsAbsent) {
    const struct {
        const char* text;
        bool mcn;
        bool isrc;
    } cases[] = {
        {"0761234567890", true, false}, {"0000000000000", false, false},
        {"076123456789", false, false}, {"07612345678A0", false, false},
        {"USRC17607839", false, true},  {"000000000000", false, false},
        {"U1RC17607839", false, false}, {"USR-17607839", false, false},
        {"USRC1760783A", false, false}, {"usrc17607839", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ValidCatalogNumber(c.text), c.mcn) << c.text;
        EXPECT_EQ(ValidIsrc(c.text), c.isrc) << c.text;
    }
    const TrackFlags flags = FlagsOfControl(0x0B);
    EXPECT_TRUE(flags.preEmphasis && flags.copyPermitted && flags.fourChannel && !flags.data);
}

TEST(SubChannel, FullTocGivesSessionsAndEachTracksControl) {
    // Two sessions: audio tracks 1-2 (track 2 with pre-emphasis), a data track 3.
    auto point = [](int session, int control, int p, int m, int s, int f) {
        return std::vector<uint8_t>{static_cast<uint8_t>(session),
                                    static_cast<uint8_t>(0x10 | control), 0,
                                    static_cast<uint8_t>(p), 0, 0, 0, 0,
                                    static_cast<uint8_t>(m), static_cast<uint8_t>(s),
                                    static_cast<uint8_t>(f)};
    };
    std::vector<uint8_t> answer = {0, 0, 1, 2};
    for (const auto& d : {point(1, 0, 0xA0, 1, 0, 0), point(1, 1, 0xA1, 2, 0, 0),
                          point(1, 1, 0xA2, 10, 0, 0), point(1, 0, 1, 0, 2, 0),
                          point(1, 1, 2, 5, 0, 0), point(2, 4, 0xA0, 3, 0, 0),
                          point(2, 4, 0xA1, 3, 0, 0), point(2, 4, 0xA2, 20, 0, 0),
                          point(2, 4, 3, 12, 32, 0)}) {
        answer.insert(answer.end(), d.begin(), d.end());
    }
    std::vector<uint8_t> withB0 = point(1, 5, 0xB0, 12, 30, 0);
    withB0[1] = 0x55; // ADR 5: not a track
    answer.insert(answer.end(), withB0.begin(), withB0.end());
    answer[1] = static_cast<uint8_t>(answer.size() - 2);
    const auto toc = ParseFullToc(answer.data(), answer.size());
    ASSERT_TRUE(toc);
    ASSERT_EQ(toc->sessions.size(), 2u);
    EXPECT_EQ(toc->sessions[0].lastTrack, 2);
    EXPECT_EQ(toc->sessions[0].leadOut, 10 * 4500 - 150);
    EXPECT_EQ(toc->sessions[1].firstTrack, 3);
    ASSERT_EQ(toc->tracks.size(), 3u);
    EXPECT_EQ(toc->tracks[0].start, 0);
    EXPECT_EQ(toc->tracks[1].control, 1);
    EXPECT_EQ(toc->tracks[2].session, 2);
    EXPECT_EQ(toc->tracks[2].start, (12 * 60 + 32) * 75 - 150);
    // Trusted only as far as its own length: cut before session 2's points,
    // the answer has no track 3; a session without its A2 is refused.
    std::vector<uint8_t> cut = answer;
    cut[1] = static_cast<uint8_t>(2 + 5 * 11);
    const auto shorter = ParseFullToc(cut.data(), cut.size());
    ASSERT_TRUE(shorter);
    EXPECT_EQ(shorter->tracks.size(), 2u);
    cut[1] = static_cast<uint8_t>(2 + 7 * 11);
    EXPECT_FALSE(ParseFullToc(cut.data(), cut.size()));
}

// A CD-Text pack with its CRC.
std::vector<uint8_t> CdTextPack(uint8_t type, int track, int sequence, int block, int position,
                                const std::string& text12, bool doubleByte = false) {
    std::vector<uint8_t> pack(18, 0);
    pack[0] = type;
    pack[1] = static_cast<uint8_t>(track);
    pack[2] = static_cast<uint8_t>(sequence);
    pack[3] = static_cast<uint8_t>((doubleByte ? 0x80 : 0) | (block << 4) | std::min(position, 15));
    std::memcpy(&pack[4], text12.data(), std::min<std::size_t>(text12.size(), 12));
    const uint16_t crc = SubChannelCrc(pack.data(), 16);
    pack[16] = static_cast<uint8_t>(crc >> 8);
    pack[17] = static_cast<uint8_t>(crc & 0xFF);
    return pack;
}

// The packs of a stream of text for one kind: NUL-terminated strings from
// track 0 (the disc) on, cut into 12-byte payloads, numbered from `sequence`.
std::vector<uint8_t> CdTextPacksOf(uint8_t type, const std::vector<std::string>& strings,
                                   int& sequence, int block = 0, bool doubleByte = false) {
    std::string stream;
    std::vector<std::pair<int, int>> owner; // per byte: track and position in its string
    for (std::size_t t = 0; t < strings.size(); ++t) {
        const std::string& s = strings[t];
        for (std::size_t i = 0; i < s.size(); ++i) {
            owner.emplace_back(static_cast<int>(t), static_cast<int>(i / (doubleByte ? 2 : 1)));
        }
        stream += s;
        for (int z = 0; z < (doubleByte ? 2 : 1); ++z) {
            owner.emplace_back(static_cast<int>(t), static_cast<int>(s.size()));
            stream += '\0';
        }
    }
    std::vector<uint8_t> packs;
    for (std::size_t at = 0; at < stream.size(); at += 12) {
        std::string chunk = stream.substr(at, 12);
        chunk.resize(12, '\0');
        const auto [track, position] = owner[at];
        const std::vector<uint8_t> pack =
            CdTextPack(type, track, sequence++, block, position, chunk, doubleByte);
        packs.insert(packs.end(), pack.begin(), pack.end());
    }
    return packs;
}

// The CD-Text decoder over packs this test builds.
TEST(CdText, PacksBecomeTextsPerTrackAndLanguage) {
    int sequence = 0;
    std::vector<uint8_t> packs;
    auto add = [&packs](const std::vector<uint8_t>& more) {
        packs.insert(packs.end(), more.begin(), more.end());
    };
    // Block 0, ISO 8859-1: titles spread over packs, a tab for "as before".
    add(CdTextPacksOf(0x80, {"Sm\xE5 Vindar", "A rather long first title", "Second", "\t"},
                      sequence));
    add(CdTextPacksOf(0x81, {"The Band", "", "Guest"}, sequence));
    const int performerEnd = sequence;
    add(CdTextPacksOf(0x8E, {"0761234567890", "USRC17607839"}, sequence));
    // The size information names the language of each block (0x09 English,
    // 0x69 Japanese) and block 0's character code.
    auto sizeInfo = [&](int block, int charset, int& seq) {
        std::string info(36, '\0');
        info[0] = static_cast<char>(charset);
        info[1] = 1;
        info[2] = 3;
        info[28] = 0x09;
        info[29] = 0x69;
        for (int part = 0; part < 3; ++part) {
            add(CdTextPack(0x8F, part, seq++, block, 0, info.substr(part * 12, 12)));
        }
    };
    sizeInfo(0, 0x00, sequence);
    // Block 1, MS-JIS (double-byte): "ニ" is 0x83 0x6A in Shift JIS.
    int second = 0;
    add(CdTextPacksOf(0x80, {"\x83\x6A\x83\x6A", "\x83\x6A", "\t\t"}, second, 1, true));
    sizeInfo(1, 0x80, second);

    auto blocks = DecodeCdTextPacks(packs.data(), packs.size());
    ASSERT_EQ(blocks.size(), 2u);
    const CdTextBlock& english = blocks[0];
    EXPECT_EQ(english.language, 0x09);
    EXPECT_EQ(english.Get(kCdTextTitle, 0), "Sm\xC3\xA5 Vindar");
    EXPECT_EQ(english.Get(kCdTextTitle, 1), "A rather long first title");
    EXPECT_EQ(english.Get(kCdTextTitle, 3), "Second");
    EXPECT_EQ(english.Get(kCdTextPerformer, 0), "The Band");
    EXPECT_EQ(english.Get(kCdTextPerformer, 1), "");
    EXPECT_EQ(english.Get(kCdTextPerformer, 2), "Guest");
    EXPECT_EQ(english.Get(kCdTextUpcIsrc, 1), "USRC17607839");
    const CdTextBlock& japanese = blocks[1];
    EXPECT_EQ(japanese.number, 1);
    EXPECT_EQ(japanese.language, 0x69);
    EXPECT_EQ(japanese.Get(kCdTextTitle, 0), "\xE3\x83\x8B\xE3\x83\x8B");
    EXPECT_EQ(japanese.Get(kCdTextTitle, 1), "\xE3\x83\x8B");
    EXPECT_EQ(japanese.Get(kCdTextTitle, 2), "\xE3\x83\x8B");

    // A pack whose CRC fails is dropped: the texts it touched are lost
    // (the long first title's second pack), the others stay.
    std::vector<uint8_t> damaged = packs;
    damaged[18 * 2 + 9] ^= 0x01;
    blocks = DecodeCdTextPacks(damaged.data(), damaged.size());
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].Get(kCdTextTitle, 0), "Sm\xC3\xA5 Vindar");
    EXPECT_EQ(blocks[0].Get(kCdTextTitle, 1), "");
    EXPECT_EQ(blocks[0].Get(kCdTextTitle, 2), "Second");
    EXPECT_EQ(blocks[0].Get(kCdTextTitle, 3), "Second");
    EXPECT_EQ(blocks[0].Get(kCdTextPerformer, 2), "Guest");
    // The performer packs out of order still read in sequence order.
    std::vector<uint8_t> shuffled(packs.begin(), packs.begin() + 18 * performerEnd);
    std::reverse(shuffled.begin(), shuffled.end());
    for (std::size_t at = 0; at < shuffled.size(); at += 18) {
        std::reverse(shuffled.begin() + static_cast<long>(at),
                     shuffled.begin() + static_cast<long>(at) + 18);
    }
    blocks = DecodeCdTextPacks(shuffled.data(), shuffled.size());
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Get(kCdTextPerformer, 2), "Guest");
    // A READ TOC answer is read only as far as its length says.
    std::vector<uint8_t> answer = {0, 2, 0, 0};
    answer.insert(answer.end(), packs.begin(), packs.end());
    EXPECT_TRUE(DecodeCdText(answer.data(), answer.size()).empty());
}

// A disc of four audio tracks: a hidden track before track 1, a 2-second
// pregap before track 2, a longer one and two more indexes in track 3; the
// drive's habit first.
std::shared_ptr<const emulated::Disc> IndexedDisc(const std::string& habit) {
    return SheetDisc(habit +
                         "CATALOG 0761234567890\nTITLE \"Album\"\nFILE \"a.bin\" BINARY\n"
                         "  TRACK 01 AUDIO\n    TITLE \"One\"\n    ISRC USRC17607839\n"
                         "    INDEX 00 00:00:00\n    INDEX 01 00:40:00\n"       // 0, 3000
                         "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    FLAGS PRE\n"
                         "    INDEX 00 03:58:00\n    INDEX 01 04:00:00\n"       // 17850, 18000
                         "  TRACK 03 AUDIO\n    TITLE \"Three\"\n    FLAGS DCP\n"
                         "    ISRC GBAYE0000351\n    INDEX 00 06:34:13\n"       // 29563
                         "    INDEX 01 06:40:00\n    INDEX 02 06:53:25\n"       // 30000, 31000
                         "    INDEX 03 08:54:73\n"                              // 40123
                         "  TRACK 04 AUDIO\n    TITLE \"Four\"\n    FLAGS 4CH\n"
                         "    INDEX 01 11:06:50\n",                             // 50000
                     {{"a.bin", 60000}});
}

// The same answer however the drive hands over Q; the search stays a
// search (a few dozen sectors a track, not a scan). A drive without
// sub-channel leaves the index points unknown, one without CD-Text the texts.
TEST(DiscInfo, IndexPointsAreFoundByBisectionWhateverTheDriveHabit) {
    const struct {
        const char* habit;
        int maxSectorsPerTrack;
    } habits[] = {
        {"", 50},
        {"REM DRIVE QSHIFT 1\n", 70},
        {"REM DRIVE QSHIFT -2\n", 70},
        {"REM DRIVE RAWONLY\n", 50},
        {"REM DRIVE BADQCRC 7\n", 70},
        {"REM DRIVE NOSUBCHANNELISRC\n", 150},
        {"REM DRIVE NOSUBCHANNELALONE\nREM DRIVE NOSUBCHANNELISRC\n", 150},
        {"REM DRIVE NOFULLTOC\n", 50},
        {"REM DRIVE NOSUBCHANNEL\nREM DRIVE NOCDTEXT\n", 0},
    };
    const std::vector<std::vector<SectorAddress>> indexes = {{}, {}, {31000, 40123}, {}};
    const char* isrcs[] = {"USRC17607839", "", "GBAYE0000351", ""};
    for (const auto& habit : habits) {
        SCOPED_TRACE(habit.habit);
        const std::string line = habit.habit;
        const bool q = line.find("NOSUBCHANNEL\n") == std::string::npos;
        InstallDrive(IndexedDisc(line));
        TrackTable table;
        ASSERT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
        const DiscDetails details = ReadDiscDetails(0, 0, table);
        ASSERT_EQ(details.tracks.size(), 4u);
        const std::vector<SectorAddress> pregaps = {0, 18000 - 150, 30000 - 437, 50000};
        for (std::size_t k = 0; k < 4; ++k) {
            SCOPED_TRACE(k);
            const TrackDetails& track = details.tracks[k];
            EXPECT_EQ(track.indexesRead, q);
            EXPECT_EQ(track.pregapStart, q ? pregaps[k] : track.start);
            EXPECT_EQ(track.indexes, q ? indexes[k] : std::vector<SectorAddress>{});
            EXPECT_EQ(track.isrc, isrcs[k]); // without Q, from READ SUB-CHANNEL alone
            EXPECT_LE(track.sectorsRead, habit.maxSectorsPerTrack);
            EXPECT_EQ(track.sectorsRead > 0, q);
        }
        EXPECT_EQ(details.tracks[1].end, q ? 30000 - 437 : 30000);
        if (q) {
            EXPECT_EQ(details.tracks[2].indexNumbers, (std::vector<int>{2, 3}));
        }
        EXPECT_TRUE(details.tracks[1].flags.preEmphasis);
        EXPECT_TRUE(details.tracks[2].flags.copyPermitted);
        EXPECT_TRUE(details.tracks[3].flags.fourChannel);
        EXPECT_EQ(details.catalog, "0761234567890");
        EXPECT_EQ(details.subChannel, !q                                        ? SubChannelForm::None
                                      : line.find("RAWONLY") != std::string::npos ? SubChannelForm::RawPw
                                                                                : SubChannelForm::FormattedQ);
        EXPECT_EQ(details.qFramesRejected > 0, line.find("BADQCRC") != std::string::npos);
        EXPECT_EQ(details.notes.size(), q ? 0u : 1u)
            << (details.notes.empty() ? "" : details.notes.front());
        const bool text = line.find("NOCDTEXT") == std::string::npos;
        EXPECT_EQ(details.Text(kCdTextTitle, 0), text ? "Album" : "");
        EXPECT_EQ(details.Text(kCdTextTitle, 4), text ? "Four" : "");
    }
}

// A disc address as a cue sheet's MM:SS:FF.
std::string TimeText(SectorAddress sectors) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", sectors / 4500, sectors / 75 % 60,
                  sectors % 75);
    return text;
}

// The commands the reading sends for six tracks with a pregap of 2 s before
// each but the first: one READ CD of a few sectors around each expected
// boundary, one for the last track's end, and a hundred sectors where the
// disc's codes must be looked for in Q; READ SUB-CHANNEL for an ISRC only
// where no Q frame showed it (a drive that reports no code is asked once).
TEST(DiscInfo, OneRunOfQAroundEachUsualPregapAndNoQuestionTheFramesAnswered) {
    const struct {
        const char* habit;
        bool codes;
        int isrcQuestions;
        int runs;
        int scans; // runs of 100 sectors
    } cases[] = {
        {"", false, 6, 7, 1}, // no code anywhere: only the first track's Q tells
        {"REM DRIVE NOSUBCHANNELISRC\n", true, 1, 11, 6}, // every track's Q is searched
        {"REM DRIVE NOSUBCHANNELALONE\n", false, 6, 8, 1}, // one READ CD refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.habit);
        std::string sheet = std::string(c.habit) + (c.codes ? "CATALOG 0761234567890\n" : "") +
                            "FILE \"a.bin\" BINARY\n";
        SectorAddress at = 0;
        for (int track = 1; track <= 6; ++track) {
            sheet += "  TRACK 0" + std::to_string(track) + " AUDIO\n";
            if (c.codes) {
                sheet += "    ISRC USRC1760783" + std::to_string(track) + "\n";
            }
            if (track > 1) {
                sheet += "    INDEX 00 " + TimeText(at) + "\n";
                at += 150;
            }
            sheet += "    INDEX 01 " + TimeText(at) + "\n";
            at += 300 + 37 * track;
        }
        std::vector<test::RecordedCommand> log;
        test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
        emulated::EmulatedDrive drive(SheetDisc(sheet, {{"a.bin", static_cast<uint64_t>(at)}}));
        backend->responder = [&drive](const test::RecordedCommand& command, uint8_t* buffer,
                                      SenseResult& sense) {
            return drive.Execute(command.cdb.data(), static_cast<int>(command.cdb.size()),
                                 false, buffer, command.length, sense);
        };
        TrackTable table;
        ASSERT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
        log.clear();
        const DiscDetails details = ReadDiscDetails(0, 0, table);

        int isrcQuestions = 0;
        int runs = 0;
        int scans = 0;
        for (const test::RecordedCommand& command : log) {
            isrcQuestions += command.cdb[0] == 0x42 && command.cdb[3] == 3;
            if (command.cdb[0] == 0xBE) {
                const int sectors = command.cdb[8];
                ++runs;
                scans += sectors == 100;
                EXPECT_TRUE(sectors == 100 || sectors <= 4) << sectors;
            }
        }
        EXPECT_EQ(isrcQuestions, c.isrcQuestions);
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(scans, c.scans);
        EXPECT_EQ(details.commands, static_cast<int>(log.size()));
        ASSERT_EQ(details.tracks.size(), 6u);
        for (std::size_t k = 0; k < 6; ++k) {
            EXPECT_EQ(details.PregapLength(k), k == 0 ? 0 : 150) << k;
            EXPECT_EQ(details.tracks[k].isrc,
                      c.codes ? "USRC1760783" + std::to_string(k + 1) : std::string());
        }
        EXPECT_EQ(details.catalog, c.codes ? "0761234567890" : "");
    }
}

TEST(DiscInfo, SessionsComeFromTheFullTocElseTheSessionInformation) {
    for (const bool fullToc : {true, false}) {
        SCOPED_TRACE(fullToc);
        // Session 1 ends at 40000; the data track starts 11,400 sectors later.
        InstallDrive(SheetDisc(std::string(fullToc ? "" : "REM DRIVE NOFULLTOC\n") +
                                   "REM SESSION 01\nFILE \"a.bin\" BINARY\n"
                                   "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                   "  TRACK 02 AUDIO\n    INDEX 00 04:24:00\n" // 19800
                                   "    INDEX 01 04:26:50\n"                   // 20000
                                   "REM SESSION 02\nFILE \"d.bin\" BINARY\n"
                                   "  TRACK 03 MODE1/2352\n    INDEX 01 00:00:00\n",
                               {{"a.bin", 40000}, {"d.bin", 8600}}));
        TrackTable table;
        ASSERT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
        const DiscDetails details = ReadDiscDetails(0, 0, table);
        EXPECT_EQ(details.sessionSource,
                  fullToc ? SessionSource::FullToc : SessionSource::SessionInfo);
        ASSERT_EQ(details.sessions.size(), 2u);
        EXPECT_EQ(details.sessions[0].lastTrack, 2);
        EXPECT_EQ(details.sessions[0].leadOut, 40000);
        EXPECT_EQ(details.sessions[1].firstTrack, 3);
        EXPECT_EQ(details.tracks[2].session, 2);
        EXPECT_EQ(details.tracks[2].start, 51400);
        EXPECT_TRUE(details.tracks[2].flags.data);
        EXPECT_EQ(details.tracks[1].pregapStart, 20000 - 200);
        EXPECT_EQ(details.tracks[1].end, 40000);
        EXPECT_EQ(details.tracks[2].pregapStart, details.tracks[2].start);
    }
}

} // namespace
} // namespace vindral
