// The rip log: its contents, its checksum line, and that any change shows.
#include <gtest/gtest.h>

#include "accuracy/RipLog.h"

namespace vindral::accuracy {
namespace {

RipLogData Sample() {
    RipLogData data;
    data.version = "0.2";
    data.date = "2026-12-07 14:39:31 UTC";
    data.drive = "EMULATED DEMO DISC      1.0";
    data.readOffset = 6;
    data.readMethod = "READ CD";
    data.speed = "8 X";
    data.accurateRipId = "011-0010e284-009228a3-9809ff0b";
    data.cddbId = "9809ff0b";
    data.musicBrainzId = "49HHV7Eb8UKF3aQiNmu1GR8vKTY-";
    data.ctdbTocId = "VukMWWItblELRM.CEFpXxw0FlME-";
    RipLogTrack one;
    one.number = 1;
    one.file = "/music/Track01.wav";
    one.copyCrc = 0x8ce80129;
    one.testCrc = 0x8ce80129;
    one.arV1 = 0xf43f9174;
    one.arV2 = 0x0ae7c6f9;
    one.ctdbCrc = 0x1234abcd;
    one.results = {"accurate (AccurateRip v2, confidence 12 of 15)"};
    RipLogTrack two;
    two.number = 2;
    two.file = "/music/Track02 é.wav";
    two.copyCrc = 0xdeadbeef;
    two.errors = {"sector 1234 unreadable"};
    data.tracks = {one, two};
    return data;
}

TEST(RipLog, HoldsTheRunAndEachTrack) {
    const std::string log = RenderRipLog(Sample());
    for (const char* line : {"Vindral rip log, version 0.2\n",
                             "Date: 2026-12-07 14:39:31 UTC\n",
                             "Drive: EMULATED DEMO DISC      1.0\n",
                             "Read offset: +6 samples\n",
                             "Read method: READ CD\n",
                             "Speed: 8 X\n",
                             "AccurateRip ID: 011-0010e284-009228a3-9809ff0b\n",
                             "CDDB ID: 9809ff0b\n",
                             "MusicBrainz disc ID: 49HHV7Eb8UKF3aQiNmu1GR8vKTY-\n",
                             "CTDB TOC ID: VukMWWItblELRM.CEFpXxw0FlME-\n",
                             "\nTrack 01\n",
                             "  File: /music/Track01.wav\n",
                             "  Copy CRC: 8CE80129\n",
                             "  Test CRC: 8CE80129\n",
                             "  AccurateRip v1: F43F9174\n",
                             "  AccurateRip v2: 0AE7C6F9\n",
                             "  CTDB CRC: 1234ABCD\n",
                             "  Result: accurate (AccurateRip v2, confidence 12 of 15)\n",
                             "  Errors: none\n",
                             "\nTrack 02\n",
                             "  File: /music/Track02 é.wav\n",
                             "  Test CRC: not read\n",
                             "  Error: sector 1234 unreadable\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    RipLogData negative = Sample();
    negative.readOffset = -30;
    EXPECT_NE(RenderRipLog(negative).find("Read offset: -30 samples\n"), std::string::npos);
    // Names looked up for the disc: one line after the IDs; none without.
    EXPECT_EQ(log.find("Names: "), std::string::npos);
    negative.names = "MusicBrainz, release 5eed0001-0000-4000-8000-000000000001";
    EXPECT_NE(RenderRipLog(negative).find("\nNames: MusicBrainz, release "
                                          "5eed0001-0000-4000-8000-000000000001\n\nTrack 01\n"),
              std::string::npos);
    // The last line is the checksum of everything above it, and says what
    // it is good for.
    const std::size_t lastLine = log.rfind('\n', log.size() - 2) + 1;
    EXPECT_EQ(log.substr(lastLine), ChecksumLine(log.substr(0, lastLine)));
    const std::string prefix = "Checksum SHA-256 (shows accidental change): ";
    EXPECT_EQ(log.substr(lastLine, prefix.size()), prefix);
    EXPECT_EQ(log.size() - lastLine, prefix.size() + 64u + 1u);
}

TEST(RipLog, VerifyFindsEveryChange) {
    const std::string log = RenderRipLog(Sample());
    EXPECT_EQ(VerifyRipLog(log), RipLogState::Matches);
    // Without its final newline it is still the same log.
    EXPECT_EQ(VerifyRipLog(log.substr(0, log.size() - 1)), RipLogState::Matches);

    // One changed byte anywhere (text or checksum) is found.
    for (std::size_t at = 0; at < log.size() - 1; at += 7) {
        std::string changed = log;
        changed[at] = changed[at] == 'x' ? 'y' : 'x';
        const RipLogState state = VerifyRipLog(changed);
        EXPECT_NE(state, RipLogState::Matches) << at;
    }
    // A changed CRC, an added line, a removed line.
    std::string edited = log;
    edited.replace(edited.find("8CE80129"), 8, "8CE8012A");
    EXPECT_EQ(VerifyRipLog(edited), RipLogState::Differs);
    edited = log;
    edited.insert(0, "Note\n");
    EXPECT_EQ(VerifyRipLog(edited), RipLogState::Differs);
    edited = log;
    edited.erase(0, edited.find('\n') + 1);
    EXPECT_EQ(VerifyRipLog(edited), RipLogState::Differs);

    // Without a checksum line, or with it removed.
    EXPECT_EQ(VerifyRipLog("Track 01\n  Copy CRC: 8CE80129\n"), RipLogState::NoChecksum);
    EXPECT_EQ(VerifyRipLog(""), RipLogState::NoChecksum);
    const std::size_t lastLine = log.rfind('\n', log.size() - 2) + 1;
    EXPECT_EQ(VerifyRipLog(log.substr(0, lastLine)), RipLogState::NoChecksum);
    // A text edited and given a new checksum matches again: the checksum
    // shows accidental change only.
    std::string rewritten = log.substr(0, lastLine);
    rewritten.replace(rewritten.find("8CE80129"), 8, "00000000");
    rewritten += ChecksumLine(rewritten);
    EXPECT_EQ(VerifyRipLog(rewritten), RipLogState::Matches);
    // Logs of earlier versions named the same line differently.
    const std::string body = log.substr(0, lastLine);
    const std::string digest = log.substr(log.size() - 65, 64);
    EXPECT_EQ(VerifyRipLog(body + "Seal SHA-256: " + digest + "\n"), RipLogState::Matches);
    EXPECT_EQ(VerifyRipLog(body + "Seal SHA-256: " + std::string(64, '0') + "\n"),
              RipLogState::Differs);
}

} // namespace
} // namespace vindral::accuracy
