// Safe names and file-name templates.
#include <gtest/gtest.h>

#include "output/Naming.h"

namespace vindral::output {
namespace {

TEST(Naming, SafeNamesOnLinuxAndWindows) {
    const std::string kanji = "\xE6\x97\xA5"; // one character, three bytes
    std::string kanjiLine;
    for (int i = 0; i < 100; ++i) {
        kanjiLine += kanji;
    }
    struct Case {
        std::string name;
        std::size_t maxBytes;
        std::string safe;
    };
    const Case cases[] = {
        {"AC/DC", 255, "AC-DC"},
        {"Left\\Right", 255, "Left-Right"},
        {"What? Why: \"Now\" <x>|*", 255, "What_ Why_ _Now_ _x___"},
        {"tab\there\x7F", 255, "tab_here_"},
        {"  Name. . ", 255, "Name"},
        {"...", 255, "_"},
        {"", 255, "_"},
        {"CON", 255, "CON_"},
        {"con.txt", 255, "con_.txt"},
        {"NUL .x", 255, "NUL_ .x"},
        {"Com1", 255, "Com1_"},
        {"LPT9.wav", 255, "LPT9_.wav"},
        {"COM0", 255, "COM0"},
        {"CONSOLE", 255, "CONSOLE"},
        {"Caf\xC3\xA9", 255, "Caf\xC3\xA9"},
        // Cut to the byte limit between characters, never inside one.
        {std::string(254, 'a') + "\xC3\xA9", 255, std::string(254, 'a')},
        {kanjiLine, 255, kanjiLine.substr(0, 255)},
        {kanjiLine, 254, kanjiLine.substr(0, 252)},
        {"abc def", 4, "abc"}, // the cut leaves no trailing space
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SafeName(c.name, c.maxBytes), c.safe);
    }
}

TEST(Naming, TemplatesNameEveryTrackOnce) {
    DiscNames names;
    names.albumArtist = "The Band";
    names.album = "Live: Here/There";
    names.tracks[1] = {"Intro", "", ""};
    names.tracks[2] = {"intro", "Guest", ""};
    names.tracks[3] = {"INTRO", "", ""};
    names.tracks[4] = {std::string(300, 'x'), "", ""};
    names.tracks[5] = {std::string(300, 'x'), "", ""};
    DiscNames none;
    struct Case {
        std::string naming;
        const DiscNames* names;
        std::vector<int> numbers;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {"%A/%d/%t %n", &names, {0, 1, 6},
         {"The Band/Live_ Here-There/00 Track 00.wav", "The Band/Live_ Here-There/01 Intro.wav",
          "The Band/Live_ Here-There/06 Track 06.wav"}},
        {"%A/%d/%t", &none, {1}, {"Unknown Artist/Unknown Album/01.wav"}},
        {"%a - %n", &names, {1, 2}, {"The Band - Intro.wav", "Guest - intro.wav"}},
        {"%a - %n", &none, {7}, {"Unknown Artist - Track 07.wav"}},
        // Names that differ in letter case only are one name on Windows.
        {"%n", &names, {1, 2, 3}, {"Intro.wav", "intro (2).wav", "INTRO (3).wav"}},
        {"%P%t 100%%", &names, {9}, {"Disc09 100%.wav"}},
        {"%y%D", &names, {1}, {"_.wav"}},
        {"%n", &names, {4, 5},
         {std::string(251, 'x') + ".wav", std::string(247, 'x') + " (2).wav"}},
        {"con", &names, {1, 2}, {"con_.wav", "con_ (2).wav"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.naming);
        std::string error;
        ASSERT_TRUE(CheckNamingTemplate(c.naming, error)) << error;
        EXPECT_EQ(TrackPaths(c.naming, *c.names, "Disc", c.numbers, ".wav"), c.paths);
    }
}

} // namespace
} // namespace vindral::output
