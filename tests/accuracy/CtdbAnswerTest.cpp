// The CTDB lookup answer: entries, confidences and track CRCs read from a
// stored answer; malformed answers refused.
#include <gtest/gtest.h>

#include "accuracy/AccuracyTestData.h"
#include "accuracy/CtdbAnswer.h"

namespace vindral::accuracy {
namespace {

std::string Text(const std::string& name) {
    const std::vector<uint8_t> bytes = testing::ReadBytes(testing::DataPath(name));
    return {bytes.begin(), bytes.end()};
}

TEST(CtdbAnswer, EntriesAndTrackCrcs) {
    std::string error;
    const auto entries = ParseCtdbAnswer(Text("ctdb-lookup-sample.xml"), error);
    ASSERT_TRUE(entries) << error;
    ASSERT_EQ(entries->size(), 2u);
    const CtdbEntry& first = (*entries)[0];
    EXPECT_EQ(first.id, "113068");
    EXPECT_EQ(first.confidence, 896);
    EXPECT_EQ(first.crc32, 0x13f525deu);
    EXPECT_EQ(first.toc, "0:24159:127166:278762:309864");
    EXPECT_EQ(first.trackCrcs,
              (std::vector<uint32_t>{0x40c5dc10, 0x65dfcc8a, 0x1ef7b539, 0xd21a8789}));
    EXPECT_EQ((*entries)[1].confidence, 3);
    // The repair fields: the first entry's parity lies on another server.
    EXPECT_TRUE(first.HasParity());
    EXPECT_EQ(first.npar, 16);
    EXPECT_EQ(first.stride, 5880u);
    EXPECT_EQ(first.parityUrl, "http://p.cuetools.net/113068");
    ASSERT_EQ(first.syndrome.size(), 16u);
    EXPECT_EQ(first.syndrome[0], 0x8d1cu); // "HI0I" = 1c 8d 08 f1
    EXPECT_EQ(first.syndrome[1], 0xf108u);
    EXPECT_EQ(first.syndrome[15], 0x9f3bu); // "...O58=" ends 3b 9f
    EXPECT_FALSE((*entries)[1].HasParity()); // npar and stride but nowhere to fetch it

    CtdbMatch m = MatchCtdb(*entries, 0, 0x40c5dc10);
    EXPECT_TRUE(m.accurate);
    EXPECT_EQ(m.confidence, 896); // the best of the two matching entries
    EXPECT_EQ(m.total, 899);
    EXPECT_EQ(m.entries, 2);
    m = MatchCtdb(*entries, 3, 0xc17a4a77);
    EXPECT_TRUE(m.accurate);
    EXPECT_EQ(m.confidence, 3);
    m = MatchCtdb(*entries, 2, 0x40c5dc10); // track 1's CRC is not track 3's
    EXPECT_FALSE(m.accurate);
    EXPECT_EQ(m.confidence, 0);
    EXPECT_EQ(m.total, 899);
    EXPECT_FALSE(MatchCtdb(*entries, 4, 0x40c5dc10).accurate);
}

TEST(CtdbAnswer, NoEntryMeansNotInTheDatabase) {
    std::string error;
    const auto entries = ParseCtdbAnswer(
        R"(<?xml version="1.0"?><ctdb xmlns="http://db.cuetools.net/ns/mmd-1.0#"></ctdb>)", error);
    ASSERT_TRUE(entries) << error;
    EXPECT_TRUE(entries->empty());
    EXPECT_FALSE(MatchCtdb(*entries, 0, 1).accurate);
}

TEST(CtdbAnswer, MalformedAnswersAreRefused) {
    const std::string good = Text("ctdb-lookup-sample.xml");
    const std::pair<std::string, std::string> cases[] = {
        {"", "malformed"},
        {good.substr(0, good.size() / 2), "malformed"},
        {"<html><body>Not Found</body></html>", "root element 'html'"},
        {R"(<ctdb><entry id="1" confidence="many" trackcrcs="1"/></ctdb>)", "confidence"},
        {R"(<ctdb><entry id="1" confidence="2" trackcrcs="12 zz"/></ctdb>)", "'zz'"},
        {R"(<ctdb><entry id="1" confidence="2" trackcrcs="123456789"/></ctdb>)", "track CRC"},
        {R"(<ctdb><entry id="1" confidence="2" crc32="x" trackcrcs="1"/></ctdb>)", "crc32"},
        {R"(<ctdb><entry id="1" confidence="2" npar="8" stride="0"/></ctdb>)", "npar or stride"},
        {R"(<ctdb><entry id="1" confidence="2" npar="8" stride="2000000000"/></ctdb>)", "stride"},
        {R"(<ctdb><entry id="1" confidence="2" npar="2" stride="5880" syndrome="AAAAAAAA"/></ctdb>)",
         "syndrome"},
        {R"(<ctdb><entry id="1" confidence="2" npar="8" stride="5880" syndrome="AA*A"/></ctdb>)",
         "syndrome"},
    };
    for (const auto& [xml, message] : cases) {
        SCOPED_TRACE(xml);
        std::string error;
        EXPECT_FALSE(ParseCtdbAnswer(xml, error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

} // namespace
} // namespace vindral::accuracy
