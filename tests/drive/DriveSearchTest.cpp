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
    ResetTransportForTesting();
}

} // namespace
} // namespace vindral
