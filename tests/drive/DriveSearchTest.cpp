#include <gtest/gtest.h>

#include <cstring>

#include "drive/DriveSearch.h"
#include "drive/RecordingBackend.h"

namespace vindral {
namespace {

// A READ TOC answer: descriptors of (control, number, start), the last being
// the lead-out; the data length field counts the bytes after itself.
std::vector<uint8_t> TocAnswer(int first, int last,
                               const std::vector<std::tuple<int, int, int32_t>>& descriptors) {
    std::vector<uint8_t> answer(4 + 8 * descriptors.size());
    const std::size_t dataLength = answer.size() - 2;
    answer[0] = static_cast<uint8_t>(dataLength >> 8);
    answer[1] = static_cast<uint8_t>(dataLength & 0xFF);
    answer[2] = static_cast<uint8_t>(first);
    answer[3] = static_cast<uint8_t>(last);
    for (std::size_t k = 0; k < descriptors.size(); ++k) {
        uint8_t* d = answer.data() + 4 + 8 * k;
        const auto [control, number, start] = descriptors[k];
        d[1] = static_cast<uint8_t>(0x10 | control);
        d[2] = static_cast<uint8_t>(number);
        const auto u = static_cast<uint32_t>(start);
        d[4] = static_cast<uint8_t>(u >> 24);
        d[5] = static_cast<uint8_t>(u >> 16);
        d[6] = static_cast<uint8_t>(u >> 8);
        d[7] = static_cast<uint8_t>(u);
    }
    return answer;
}

TEST(TableOfContents, ThreeTracksGiveTheirStartsAndLengths) {
    const auto answer = TocAnswer(1, 3, {{0, 1, 0}, {0, 2, 15000}, {4, 3, 30000}, {0, 0xAA, 45000}});
    TrackTable table;
    ASSERT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 3);
    EXPECT_EQ(table.count, 3);
    EXPECT_EQ(table.entries[0].number, 1);
    EXPECT_EQ(table.entries[1].start, 15000);
    EXPECT_EQ(table.entries[2].length, 15000);
    EXPECT_EQ(table.entries[0].dataTrack, 0);
    EXPECT_EQ(table.entries[2].dataTrack, 1);
    EXPECT_EQ(TrackRowName(table.entries[1]), "  Track 02");
    EXPECT_EQ(TrackSpaceText(15000), "33.6 MB");
    EXPECT_EQ(TrackSpaceText(75), " 0.2 MB");
}

TEST(TableOfContents, FirstTrackNumberTwo) {
    const auto answer =
        TocAnswer(2, 5, {{0, 2, 0}, {0, 3, 100}, {0, 4, 200}, {0, 5, 300}, {0, 0xAA, 450}});
    TrackTable table;
    ASSERT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 4);
    EXPECT_EQ(table.entries[0].number, 2);
    EXPECT_EQ(table.entries[3].start + table.entries[3].length, 450);
}

TEST(TableOfContents, AnswersAreTrustedOnlyAsFarAsTheirLength) {
    TrackTable table;
    // Last below first: no rows.
    auto answer = TocAnswer(5, 3, {{0, 5, 0}, {0, 0xAA, 100}});
    EXPECT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 0);

    // The header claims 10 tracks but its data length covers only two and the
    // lead-out: the rows stop there.
    answer = TocAnswer(1, 10, {{0, 1, 0}, {0, 2, 500}, {0, 0xAA, 900}});
    EXPECT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 2);
    EXPECT_EQ(table.entries[1].length, 400);

    // A data length beyond the buffer is cut to the buffer.
    answer[0] = 0x7F;
    answer[1] = 0xFF;
    EXPECT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 2);

    // Descriptors going backwards would give negative lengths: cut there.
    answer = TocAnswer(1, 3, {{0, 1, 0}, {0, 2, 5000}, {0, 3, 4000}, {0, 0xAA, 9000}});
    EXPECT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 1);
    for (int k = 0; k < table.count; ++k) {
        EXPECT_GE(table.entries[static_cast<std::size_t>(k)].length, 0);
    }

    // Tiny and absent buffers.
    EXPECT_EQ(ParseTocAnswer(answer.data(), 3, table), 0);
    EXPECT_EQ(ParseTocAnswer(nullptr, 804, table), 0);
}

TEST(TableOfContents, AtMostNinetyNineRows) {
    std::vector<std::tuple<int, int, int32_t>> descriptors;
    for (int k = 0; k < 99; ++k) {
        descriptors.emplace_back(0, k + 1, k * 100);
    }
    descriptors.emplace_back(0, 0xAA, 9900);
    auto answer = TocAnswer(1, 255, descriptors);
    TrackTable table;
    EXPECT_EQ(ParseTocAnswer(answer.data(), answer.size(), table), 99);
    EXPECT_EQ(table.entries[98].length, 100);
}

// A READ TOC format 1 answer: first and last session, the first track of
// the last session and its start.
std::vector<uint8_t> SessionAnswer(int firstSession, int lastSession, int track, int32_t start,
                                   int dataLength = 10) {
    std::vector<uint8_t> answer(12, 0);
    answer[1] = static_cast<uint8_t>(dataLength);
    answer[2] = static_cast<uint8_t>(firstSession);
    answer[3] = static_cast<uint8_t>(lastSession);
    answer[5] = 0x14;
    answer[6] = static_cast<uint8_t>(track);
    const auto u = static_cast<uint32_t>(start);
    answer[8] = static_cast<uint8_t>(u >> 24);
    answer[9] = static_cast<uint8_t>(u >> 16);
    answer[10] = static_cast<uint8_t>(u >> 8);
    answer[11] = static_cast<uint8_t>(u);
    return answer;
}

// An Enhanced CD: audio tracks 1 and 2 in session 1, the data track 3 in
// session 2, 11,400 sectors after the end of track 2.
TEST(TableOfContents, AudioTrackBeforeALaterSessionEndsAtItsLeadOut) {
    const auto toc = TocAnswer(1, 3, {{0, 1, 0}, {0, 2, 15000}, {4, 3, 30000 + 11400},
                                      {4, 0xAA, 50000}});
    TrackTable table;
    ASSERT_EQ(ParseTocAnswer(toc.data(), toc.size(), table), 3);
    EXPECT_EQ(table.entries[1].length, 15000 + 11400) << "next start - start";
    const auto sessions = SessionAnswer(1, 2, 3, 30000 + 11400);
    EXPECT_TRUE(ApplySessionInfo(sessions.data(), sessions.size(), table));
    EXPECT_EQ(table.entries[0].length, 15000);
    EXPECT_EQ(table.entries[1].length, 15000);
    EXPECT_EQ(table.entries[2].length, 50000 - 41400) << "the data track keeps its length";

    // Answers that change nothing: one session, a track the table does not
    // hold at that start, a short or truncated answer, a gap longer than the
    // track.
    const std::vector<std::vector<uint8_t>> unchanged = {
        SessionAnswer(1, 1, 1, 0),
        SessionAnswer(1, 2, 3, 30000),
        SessionAnswer(1, 2, 4, 30000 + 11400),
        SessionAnswer(1, 2, 3, 30000 + 11400, 6),
        SessionAnswer(2, 2, 3, 30000 + 11400),
    };
    for (const auto& answer : unchanged) {
        TrackTable fresh;
        ParseTocAnswer(toc.data(), toc.size(), fresh);
        EXPECT_FALSE(ApplySessionInfo(answer.data(), answer.size(), fresh));
        EXPECT_EQ(fresh.entries[1].length, 15000 + 11400);
    }
    TrackTable fresh;
    ParseTocAnswer(toc.data(), toc.size(), fresh);
    EXPECT_FALSE(ApplySessionInfo(sessions.data(), 11, fresh));
    EXPECT_FALSE(ApplySessionInfo(nullptr, 12, fresh));
    const auto close = TocAnswer(1, 2, {{0, 1, 0}, {4, 2, 11000}, {4, 0xAA, 12000}});
    ParseTocAnswer(close.data(), close.size(), fresh);
    const auto tooClose = SessionAnswer(1, 2, 2, 11000);
    EXPECT_FALSE(ApplySessionInfo(tooClose.data(), tooClose.size(), fresh));
    EXPECT_EQ(fresh.entries[0].length, 11000);
}

// ReadTrackTable asks for the sessions after the table of contents; a drive
// that refuses format 1 keeps the lengths of format 0.
TEST(TableOfContents, ReadTrackTableLearnsTheSessionsWhereTheDriveAnswers) {
    std::vector<test::RecordedCommand> log;
    test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
    bool answerSessions = true;
    backend->responder = [&](const test::RecordedCommand& command, uint8_t* buffer,
                             SenseResult& sense) {
        const auto toc = TocAnswer(1, 3, {{0, 1, 0}, {0, 2, 15000}, {4, 3, 41400},
                                          {4, 0xAA, 50000}});
        const auto sessions = SessionAnswer(1, 2, 3, 41400);
        if (command.cdb[2] == 0) {
            std::memcpy(buffer, toc.data(), std::min<std::size_t>(toc.size(), command.length));
            return kStatusOk;
        }
        if (!answerSessions) {
            sense.data[0] = 0x70;
            sense.data[2] = 5;
            sense.data[12] = 0x24;
            return 2;
        }
        std::memcpy(buffer, sessions.data(), std::min<std::size_t>(12, command.length));
        return kStatusOk;
    };
    TrackTable table;
    ASSERT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].cdb, (std::vector<uint8_t>{0x43, 0, 0x01, 0, 0, 0, 0, 0, 12, 0}));
    EXPECT_EQ(log[1].length, 12u);
    EXPECT_EQ(table.entries[1].length, 15000);
    answerSessions = false;
    EXPECT_EQ(ReadTrackTable(0, 0, table), kStatusOk) << "the status of format 0";
    EXPECT_EQ(table.count, 3);
    EXPECT_EQ(table.entries[1].length, 26400);
    ResetTransportForTesting();
}

TEST(TableOfContents, HiddenTrackIsTheAudioBeforeTrackOne) {
    TrackEntry hidden{9, 9, 9, 9};
    const auto pregap = TocAnswer(1, 2, {{0, 1, 15220}, {0, 2, 34869}, {0, 0xAA, 40000}});
    TrackTable table;
    ParseTocAnswer(pregap.data(), pregap.size(), table);
    ASSERT_TRUE(HiddenTrackEntry(table, hidden));
    EXPECT_EQ(hidden.dataTrack, 0);
    EXPECT_EQ(hidden.number, 0);
    EXPECT_EQ(hidden.start, 0);
    EXPECT_EQ(hidden.length, 15220);
    const auto none = TocAnswer(1, 2, {{0, 1, 0}, {0, 2, 34869}, {0, 0xAA, 40000}});
    ParseTocAnswer(none.data(), none.size(), table);
    EXPECT_FALSE(HiddenTrackEntry(table, hidden));
    const auto data = TocAnswer(1, 2, {{4, 1, 150}, {0, 2, 34869}, {0, 0xAA, 40000}});
    ParseTocAnswer(data.data(), data.size(), table);
    EXPECT_FALSE(HiddenTrackEntry(table, hidden)) << "a data track's pregap is no audio";
    table.count = 0;
    EXPECT_FALSE(HiddenTrackEntry(table, hidden));
}

TEST(DriveSearch, AllPairsAreAskedAndLinesAreTrimmed) {
    std::vector<test::RecordedCommand> log;
    test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
    backend->responder = [](const test::RecordedCommand& command, uint8_t* buffer,
                            SenseResult& sense) {
        if (command.cdb[0] != 0x12) {
            return kStatusOk;
        }
        const bool present = (command.hostAdapter == 0 && command.target == 1) ||
                             (command.hostAdapter == 1 && command.target == 0);
        if (!present) {
            sense.taken = false;
            return kStatusNoDrive;
        }
        std::memset(buffer, ' ', command.length);
        buffer[0] = 5;
        std::memcpy(buffer + 8, "ABC", 3);
        std::memcpy(buffer + 16, "CD-ROM DRIVE", 12);
        return kStatusOk;
    };
    const auto drives = FindDrives();
    EXPECT_EQ(log.size(), 128u);
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].text, " [0:1]  ABC CD-ROM DRIVE");
    EXPECT_EQ(drives[1].text, " [1:0]  ABC CD-ROM DRIVE");
    EXPECT_EQ(drives[1].device.hostAdapter, 1);
    // The model (which keeps the drive's read offset) is vendor and product.
    EXPECT_EQ(drives[0].model, "ABC CD-ROM DRIVE");
    ResetTransportForTesting();
}

} // namespace
} // namespace vindral
