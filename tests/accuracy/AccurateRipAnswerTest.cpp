// AccurateRip answers: published dBAR files parsed to the values their
// projects assert, malformed ones refused, and the comparison rules.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include "accuracy/AccuracyTestData.h"
#include "accuracy/AccurateRipAnswer.h"

namespace vindral::accuracy {
namespace {

using testing::DataPath;
using testing::ReadBytes;

std::vector<AccurateRipResponse> Parse(const std::string& name, const AccurateRipId* expected) {
    const std::vector<uint8_t> bytes = ReadBytes(DataPath(name));
    std::string error;
    auto responses = ParseAccurateRipAnswer(bytes.data(), bytes.size(), expected, error);
    EXPECT_TRUE(responses) << error;
    return responses ? *responses : std::vector<AccurateRipResponse>{};
}

// The expectation files: track number -> checksum -> (confidence,
// response from 1); checksums of confidence 0 are left out. They are
// written one key per line, so a line reader suffices.
using Expectation = std::map<int, std::map<uint32_t, std::pair<int, int>>>;

Expectation ReadExpectation(const std::string& name) {
    std::ifstream in(DataPath(name));
    Expectation expected;
    const std::regex trackKey(R"re(^ "(\d+)": \{)re");
    const std::regex crcKey(R"re(^  "(\d+)": \{)re");
    const std::regex confidence(R"re("confidence": (\d+))re");
    const std::regex response(R"re("response": (\d+))re");
    int track = 0;
    uint32_t crc = 0;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, trackKey)) {
            track = std::stoi(m[1]);
            expected[track];
        } else if (std::regex_search(line, m, crcKey)) {
            crc = static_cast<uint32_t>(std::stoul(m[1]));
        } else if (std::regex_search(line, m, confidence)) {
            expected[track][crc].first = std::stoi(m[1]);
        } else if (std::regex_search(line, m, response)) {
            expected[track][crc].second = std::stoi(m[1]);
        }
    }
    return expected;
}

TEST(AccurateRipAnswer, PublishedAnswersParseToTheirProjectsExpectations) {
    for (const std::string id :
         {"001-000441fd-000883fb-020e8801", "013-00206791-01486a82-a710de0d",
          "042-00b15696-110290c9-b6115d2b", "099-009fc8d0-224410e4-6308d763"}) {
        SCOPED_TRACE(id);
        const std::vector<AccurateRipResponse> responses = Parse("dBAR-" + id + ".bin", nullptr);
        ASSERT_FALSE(responses.empty());
        EXPECT_EQ(responses.front().id.Text(), id);
        Expectation actual;
        const int tracks = responses.front().id.audioTracks;
        for (int t = 0; t < tracks; ++t) {
            actual[t + 1];
            for (std::size_t r = 0; r < responses.size(); ++r) {
                const AccurateRipEntry& e = responses[r].tracks[static_cast<std::size_t>(t)];
                if (e.confidence != 0) {
                    actual[t + 1][e.checksum] = {e.confidence, static_cast<int>(r) + 1};
                }
            }
        }
        Expectation expected = ReadExpectation("dBAR-" + id + ".json");
        ASSERT_GE(expected.size(), static_cast<std::size_t>(tracks));
        // The files carry one more, always empty, key after the last track.
        for (auto it = expected.begin(); it != expected.end();) {
            if (it->first > tracks) {
                EXPECT_TRUE(it->second.empty());
                it = expected.erase(it);
            } else {
                ++it;
            }
        }
        EXPECT_EQ(actual, expected);
    }
}

TEST(AccurateRipAnswer, WhipperAnswers) {
    const AccurateRipId id2{2, 0x0000f21c, 0x00027ef8, 0x05021002};
    const std::vector<AccurateRipResponse> two =
        Parse("dBAR-002-0000f21c-00027ef8-05021002.bin", &id2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].tracks[0].confidence, 12);
    EXPECT_EQ(two[0].tracks[1].confidence, 20);
    EXPECT_EQ(two[0].tracks[0].checksum, 0x284fc705u);
    EXPECT_EQ(two[0].tracks[1].checksum, 0x9cc1f32eu);
    EXPECT_EQ(two[1].tracks[0].confidence, 7);
    EXPECT_EQ(two[1].tracks[1].confidence, 7);
    EXPECT_EQ(two[1].tracks[0].checksum, 0xdc77f9abu);
    EXPECT_EQ(two[1].tracks[1].checksum, 0xdd97d2c3u);

    const AccurateRipId id11{11, 0x0010e284, 0x009228a3, 0x9809ff0b};
    const std::vector<AccurateRipResponse> eleven =
        Parse("dBAR-011-0010e284-009228a3-9809ff0b.bin", &id11);
    ASSERT_EQ(eleven.size(), 32u);
    EXPECT_EQ(eleven[1].tracks[0].checksum, 0xbeea32c8u);
    EXPECT_EQ(eleven[1].tracks[10].checksum, 0xacee98cau);
    for (const AccurateRipResponse& r : eleven) {
        EXPECT_EQ(r.tracks.size(), 11u);
    }
    const std::vector<AccurateRipResponse> twenty =
        Parse("dBAR-020-002e5023-029d8e49-040eaa14.bin", nullptr);
    ASSERT_EQ(twenty.size(), 1u);
    EXPECT_EQ(twenty[0].id.Text(), "020-002e5023-029d8e49-040eaa14");
}

TEST(AccurateRipAnswer, MalformedAnswersAreRefused) {
    const AccurateRipId id13{13, 0x00206791, 0x01486a82, 0xa710de0d};
    std::string error;
    std::vector<uint8_t> bytes = ReadBytes(DataPath("wrong_header.bin"));
    EXPECT_FALSE(ParseAccurateRipAnswer(bytes.data(), bytes.size(), &id13, error));
    EXPECT_NE(error.find("unexpected AccurateRip answer header"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(ParseAccurateRipAnswer(bytes.data(), bytes.size(), nullptr, error));
    EXPECT_FALSE(error.empty());

    bytes = ReadBytes(DataPath("truncated_response.bin"));
    error.clear();
    EXPECT_FALSE(ParseAccurateRipAnswer(bytes.data(), bytes.size(), &id13, error));
    EXPECT_NE(error.find("truncated"), std::string::npos) << error;

    // Every shorter prefix of a good answer is refused, never misread.
    bytes = ReadBytes(DataPath("dBAR-013-00206791-01486a82-a710de0d.bin"));
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        error.clear();
        EXPECT_FALSE(ParseAccurateRipAnswer(bytes.data(), n, &id13, error)) << n;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(ParseAccurateRipAnswer(bytes.data(), bytes.size(), &id13, error));
    // Another disc's answer is refused when this disc asked.
    const AccurateRipId other{13, 0x00206791, 0x01486a82, 0xa710de0e};
    EXPECT_FALSE(ParseAccurateRipAnswer(bytes.data(), bytes.size(), &other, error));
}

TEST(AccurateRipAnswer, ATrackMatchesAnyPressingWithConfidence) {
    const AccurateRipId id2{2, 0x0000f21c, 0x00027ef8, 0x05021002};
    std::vector<AccurateRipResponse> responses =
        Parse("dBAR-002-0000f21c-00027ef8-05021002.bin", &id2);
    ASSERT_EQ(responses.size(), 2u);

    // v2 in the first pressing.
    AccurateRipMatch m = MatchAccurateRip(responses, 0, 0x11111111, 0x284fc705);
    EXPECT_TRUE(m.accurate);
    EXPECT_TRUE(m.v2);
    EXPECT_EQ(m.response, 0);
    EXPECT_EQ(m.confidence, 12);
    EXPECT_EQ(m.total, 19);
    EXPECT_EQ(m.pressings, 2);
    // v1 in the second pressing.
    m = MatchAccurateRip(responses, 0, 0xdc77f9ab, 0x22222222);
    EXPECT_TRUE(m.accurate);
    EXPECT_FALSE(m.v2);
    EXPECT_EQ(m.response, 1);
    EXPECT_EQ(m.confidence, 7);
    EXPECT_EQ(m.total, 19);
    // Another track's checksum does not count for this one.
    m = MatchAccurateRip(responses, 0, 0x9cc1f32e, 0x9cc1f32e);
    EXPECT_FALSE(m.accurate);
    EXPECT_EQ(m.confidence, 0);
    EXPECT_EQ(m.total, 19);
    EXPECT_EQ(MatchAccurateRip(responses, 1, 0, 0x9cc1f32e).total, 27);
    // Beyond the answer's tracks: nothing.
    m = MatchAccurateRip(responses, 2, 0x284fc705, 0x284fc705);
    EXPECT_FALSE(m.accurate);
    EXPECT_EQ(m.pressings, 0);
    // An entry of confidence 0 never confirms a track.
    responses[0].tracks[0].confidence = 0;
    m = MatchAccurateRip(responses, 0, 0, 0x284fc705);
    EXPECT_FALSE(m.accurate);
    EXPECT_EQ(m.total, 7);
    EXPECT_EQ(m.pressings, 1);
}

TEST(AccurateRipAnswer, ReadOffsetsWhereTheOffsetFindingSumsAgree) {
    // Two tracks; the database knows sums 0xAAAA0001 / 0xBBBB0002 for them.
    AccurateRipResponse response;
    response.id = {2, 1, 2, 3};
    response.tracks = {{5, 0x1111, 0xAAAA0001}, {5, 0x2222, 0xBBBB0002}};
    AccurateRipResponse unknown = response; // a pressing without sums
    unknown.tracks = {{3, 0x3333, 0}, {3, 0x4444, 0}};
    std::vector<std::vector<uint32_t>> sums(2, std::vector<uint32_t>(5881, 7));
    sums[0][2940 + 6] = 0xAAAA0001; // both tracks agree at +6
    sums[1][2940 + 6] = 0xBBBB0002;
    sums[1][2940 - 100] = 0xBBBB0002; // one track also at -100
    sums[0][2940 + 50] = 0xBBBB0002;  // another track's sum does not count
    const std::vector<ReadOffsetCandidate> found = FindReadOffsets({response, unknown}, sums);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].offset, 6);
    EXPECT_EQ(found[0].tracks, 2);
    EXPECT_EQ(found[1].offset, -100);
    EXPECT_EQ(found[1].tracks, 1);
    // Entries of confidence 0 and sums of 0 find nothing.
    response.tracks[0].confidence = 0;
    response.tracks[1].offsetFinding = 0;
    sums[1][0] = 0;
    EXPECT_TRUE(FindReadOffsets({response, unknown}, sums).empty());
    EXPECT_TRUE(FindReadOffsets({}, sums).empty());
}

} // namespace
} // namespace vindral::accuracy
