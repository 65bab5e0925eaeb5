// The seed corpus of the fuzz targets must stay what its names say as the
// parsers change: a seed that no longer parses starts the fuzzer from the
// refusal paths only. CUE seeds are read the way cue_fuzz reads them, the
// network's answers through answer_fuzz's own code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "drive/DriveSearch.h"
#include "drive/emulated/CueSheet.h"
#ifdef VINDRAL_HAVE_METADATA
#include "AnswerFeed.h"
#endif

namespace vindral {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = VINDRAL_FUZZ_CORPUS;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> Seeds(const std::string& target) {
    std::vector<fs::path> seeds;
    for (const auto& entry : fs::directory_iterator(kCorpus / target)) {
        seeds.push_back(entry.path());
    }
    return seeds;
}

// "tracks03-..." -> 3, "rows12-..." -> 12; -1 for any other name.
int CountInName(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < prefix.size() + 3 ||
        name[prefix.size() + 2] != '-') {
        return -1;
    }
    return std::stoi(name.substr(prefix.size(), 2));
}

TEST(FuzzCorpusTest, CueSeedsParseOrFailAsNamed) {
    int valid = 0;
    int broken = 0;
    std::string validSheets;
    for (const fs::path& seed : Seeds("cue")) {
        const std::string name = seed.filename().string();
        SCOPED_TRACE(name);
        const std::string input = ReadAll(seed);
        const std::size_t split = input.find(std::string("\0\0", 2));
        std::string error;
        std::shared_ptr<const emulated::Disc> disc;
        if (split == std::string::npos) {
            disc = emulated::ParseCueSheet(input, "fuzz.cue", "/nonexistent-vindral-fuzz", error);
        } else {
            const std::vector<uint8_t> content(input.begin() + static_cast<std::ptrdiff_t>(split) + 2,
                                               input.end());
            emulated::ImageFileOpener opener = [&](const std::string&, std::string&) {
                return emulated::MakeMemoryImageFile(content);
            };
            disc = emulated::ParseCueSheet(input.substr(0, split), "fuzz.cue", "", error, opener);
        }
        const int tracks = CountInName(name, "tracks");
        if (tracks > 0) {
            ASSERT_NE(disc, nullptr) << error;
            EXPECT_EQ(static_cast<int>(disc->Tracks().size()), tracks);
            validSheets += input.substr(0, split);
            ++valid;
        } else {
            ASSERT_EQ(name.compare(0, 4, "bad-"), 0) << "name neither tracksNN- nor bad-";
            EXPECT_EQ(disc, nullptr);
            EXPECT_NE(error.find("fuzz.cue:"), std::string::npos) << error;
            ++broken;
        }
    }
    EXPECT_GE(valid, 8);
    EXPECT_GE(broken, 8);
    // Every kind of sheet the README promises is among the seeds that parse.
    for (const char* kind :
         {"BINARY", "MOTOROLA", "WAVE", "FLAC", ".flac\" WAVE", "MODE1/2352", "INDEX 00", "INDEX 01", "PREGAP",
          "POSTGAP", "REM DAMAGE UNREADABLE", "REM DAMAGE UNSTABLE", "FILE \"", "FILE d"}) {
        EXPECT_NE(validSheets.find(kind), std::string::npos) << kind;
    }
}

TEST(FuzzCorpusTest, TocSeedsGiveTheRowsTheirNamesSay) {
    int seeds = 0;
    int full = 0;
    for (const fs::path& seed : Seeds("toc")) {
        const std::string name = seed.filename().string();
        SCOPED_TRACE(name);
        const int rows = CountInName(name, "rows");
        ASSERT_GE(rows, 0) << "name is not rowsNN-";
        const std::string input = ReadAll(seed);
        TrackTable table;
        EXPECT_EQ(ParseTocAnswer(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                                 table),
                  rows);
        EXPECT_EQ(table.count, rows);
        full += rows == kMaxTracks;
        ++seeds;
    }
    EXPECT_GE(seeds, 8);
    EXPECT_GE(full, 1);
}

#ifdef VINDRAL_HAVE_METADATA
TEST(FuzzCorpusTest, AnswerSeedsAreReadAsNamed) {
    std::string readers;
    int counts[3] = {};
    for (const fs::path& seed : Seeds("answer")) {
        const std::string name = seed.filename().string();
        SCOPED_TRACE(name);
        const std::string input = ReadAll(seed);
        const fuzz::Fed fed =
            fuzz::FeedAnswer(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        EXPECT_EQ(fed.broken, "");
        const int named = name.rfind("ok-", 0) == 0     ? 0
                          : name.rfind("none-", 0) == 0 ? 1
                          : name.rfind("bad-", 0) == 0  ? 2
                                                        : -1;
        ASSERT_GE(named, 0) << "name neither ok-, none- nor bad-";
        const fuzz::Answer expected[] = {fuzz::Answer::Accepted, fuzz::Answer::NotFound,
                                         fuzz::Answer::Refused};
        EXPECT_EQ(fed.answer, expected[named]);
        ++counts[named];
        readers += input.substr(0, 1);
    }
    // Every reader is fed, and both what it reads and what it refuses.
    for (char reader : std::string("drqgci")) {
        EXPECT_NE(readers.find(reader), std::string::npos) << reader;
    }
    EXPECT_GE(counts[0], 8);
    EXPECT_GE(counts[1], 3);
    EXPECT_GE(counts[2], 8);
}
#endif

} // namespace
} // namespace vindral
