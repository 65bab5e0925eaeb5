// Folders form layers: a file includes only from its own layer or below.
// Every quoted include under src/ that names a folder is checked here, so an
// include that runs up a layer fails the build's tests instead of waiting for
// a reader to notice it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

namespace vindral {
namespace {

namespace fs = std::filesystem;

int LayerOf(const std::string& folder) {
    static const std::map<std::string, int> kLayers = {
        {"drive", 0},    {"platform", 0}, {"net", 0},    {"extract", 1},
        {"accuracy", 1}, {"output", 1},   {"metadata", 1}, {"player", 1},
        {"cli", 2},      {"ui", 2},
    };
    const auto found = kLayers.find(folder);
    return found == kLayers.end() ? -1 : found->second;
}

TEST(LayersTest, NoSourceIncludesFromALayerAboveItsOwn) {
    const fs::path src = VINDRAL_SOURCE_TREE;
    const std::regex include(R"re(^\s*#\s*include\s*"([a-z]+)/)re");
    int checked = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        const auto ext = entry.path().extension();
        if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
        const std::string folder = fs::relative(entry.path(), src).begin()->string();
        const int own = LayerOf(folder);
        ASSERT_GE(own, 0) << "a folder with no layer: " << folder;
        std::ifstream in(entry.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            std::smatch match;
            if (!std::regex_search(line, match, include)) continue;
            const int theirs = LayerOf(match[1]);
            if (theirs < 0) continue; // a Qt or moc include, not a folder of ours
            ++checked;
            EXPECT_LE(theirs, own) << entry.path().string() << ':' << number << ": " << line;
        }
    }
    EXPECT_GT(checked, 100); // the walk found the sources
}

} // namespace
} // namespace vindral
