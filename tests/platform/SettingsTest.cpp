#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "platform/Platform.h"
#include "platform/Settings.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vindral::platform {
namespace {

namespace fs = std::filesystem;

void SetVariable(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

void RemoveVariable(const char* name) {
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("vindral-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                   "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        path_ = (folder_ / "vindral" / "settings.reg").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    void WriteFile(const std::string& text) {
        fs::create_directories(fs::path(path_).parent_path());
        std::ofstream(path_, std::ios::binary) << text;
    }
    std::string ReadFile() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::string WithKey(const std::string& values) {
        return "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n" +
               values;
    }

    fs::path folder_;
    std::string path_;
};

TEST_F(SettingsFileTest, MissingFileGivesTheDefaults) {
    const Settings settings = LoadSettings(path_);
    EXPECT_TRUE(settings.verify);
    EXPECT_EQ(settings.verifyMethod, 1);
    EXPECT_EQ(settings.outputFolder, HomeFolder());
}

TEST_F(SettingsFileTest, SavedFileHasTheExportLayout) {
    Settings settings;
    settings.verify = true;
    settings.verifyMethod = 1;
    settings.outputFolder = "/srv/music/";
    ASSERT_TRUE(SaveSettings(path_, settings));
    const std::string text = ReadFile();
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"value0\"=hex:03,00,00,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"value1\"=\"/srv/music/\"\n"), std::string::npos) << text;
    // Nothing but the file itself is left in the folder.
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(path_).parent_path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(SettingsFileTest, WordsRoundTripThroughTheFile) {
    struct Case {
        bool verify;
        uint8_t method;
        const char* hex;
    };
    for (const Case& c : {Case{false, 0, "hex:00,00,00,00"}, Case{false, 1, "hex:02,00,00,00"},
                          Case{true, 0, "hex:01,00,00,00"}, Case{true, 1, "hex:03,00,00,00"}}) {
        Settings settings;
        settings.verify = c.verify;
        settings.verifyMethod = c.method;
        settings.outputFolder = (folder_ / "out").string() + "/";
        ASSERT_TRUE(SaveSettings(path_, settings));
        EXPECT_NE(ReadFile().find(std::string("\"value0\"=") + c.hex), std::string::npos);
        const Settings back = LoadSettings(path_);
        EXPECT_EQ(back.verify, c.verify) << c.hex;
        EXPECT_EQ(back.verifyMethod, c.method) << c.hex;
        EXPECT_EQ(back.outputFolder, settings.outputFolder);
    }
}

TEST_F(SettingsFileTest, ReadOffsetsPerDriveModelRoundTrip) {
    Settings settings;
    settings.outputFolder = "/srv/music/";
    settings.readOffsets["PLEXTOR DVDR   PX-716A"] = 30;
    settings.readOffsets["HL-DT-ST DVDRAM GH22NS50"] = 667;
    settings.readOffsets["Vindral Emulated CD"] = -1164;
    ASSERT_TRUE(SaveSettings(path_, settings));
    const std::string text = ReadFile();
    EXPECT_NE(text.find("\"offset:PLEXTOR DVDR   PX-716A\"=hex:1e,00,00,00\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"offset:Vindral Emulated CD\"=hex:74,fb,ff,ff\n"), std::string::npos)
        << text;
    const Settings back = LoadSettings(path_);
    EXPECT_EQ(back.readOffsets, settings.readOffsets);
    EXPECT_EQ(back.ReadOffsetOf("HL-DT-ST DVDRAM GH22NS50"), 667);
    EXPECT_EQ(back.ReadOffsetOf("an unknown drive"), 0);

    // Saving again keeps the values it does not know, and the offsets.
    Settings later = back;
    later.verify = false;
    ASSERT_TRUE(SaveSettings(path_, later));
    EXPECT_EQ(LoadSettings(path_).readOffsets, settings.readOffsets);
}

TEST_F(SettingsFileTest, BadReadOffsetsCountAsMissing) {
    WriteFile(WithKey("\"offset:A B\"=hex:06,00\n"             // too short
                      "\"offset:C D\"=hex:06,00,00,00,00\n"    // too long
                      "\"offset:E F\"=\"6\"\n"                  // not binary
                      "\"offset:G H\"=hex:b9,0b,00,00\n"       // 3001
                      "\"offset:I J\"=hex:48,f4,ff,ff\n"       // -3000
                      "\"offset:K L\"=hex:06,00,00,00\n"));
    const Settings settings = LoadSettings(path_);
    const std::map<std::string, int32_t> expected = {{"I J", -3000}, {"K L", 6}};
    EXPECT_EQ(settings.readOffsets, expected);
    EXPECT_TRUE(settings.verify); // value0 missing: the default word
}

TEST_F(SettingsFileTest, StoredWordsSetVerifyAndMethod) {
    WriteFile(WithKey("\"value0\"=hex:00,00,00,00\n"));
    Settings zero = LoadSettings(path_);
    EXPECT_FALSE(zero.verify);
    EXPECT_EQ(zero.verifyMethod, 0);

    WriteFile(WithKey("\"value0\"=hex:02,00,00,00\n"));
    Settings two = LoadSettings(path_);
    EXPECT_FALSE(two.verify);
    EXPECT_EQ(two.verifyMethod, 1);

    // The bits above bit 1 carry nothing.
    WriteFile(WithKey("\"value0\"=hex:fd,ff,ff,ff\n"));
    Settings high = LoadSettings(path_);
    EXPECT_TRUE(high.verify);
    EXPECT_EQ(high.verifyMethod, 0);
    EXPECT_FALSE(high.skipConfirmed);
}

TEST_F(SettingsFileTest, SkipConfirmedAndDatabaseUrlsAreKept) {
    EXPECT_FALSE(LoadSettings(path_).skipConfirmed);
    EXPECT_FALSE(LoadSettings(path_).checkAccuracy);
    Settings settings;
    settings.checkAccuracy = true;
    settings.skipConfirmed = true;
    settings.outputFolder = "/srv/music/";
    ASSERT_TRUE(SaveSettings(path_, settings));
    EXPECT_NE(ReadFile().find("\"value0\"=hex:03,00,00,00\n"), std::string::npos) << ReadFile();
    EXPECT_NE(ReadFile().find("\"checkAccuracy\"=hex:01,00,00,00\n"), std::string::npos)
        << ReadFile();
    EXPECT_NE(ReadFile().find("\"skipConfirmed\"=hex:01,00,00,00\n"), std::string::npos)
        << ReadFile();
    EXPECT_TRUE(LoadSettings(path_).skipConfirmed);
    EXPECT_TRUE(LoadSettings(path_).checkAccuracy);
    // The check alone; then neither: each value is there only while chosen,
    // and skipping only with the check it needs.
    struct Choice {
        bool check;
        bool skip;
        bool checkStored;
        bool skipStored;
    };
    for (const Choice choice : {Choice{true, false, true, false}, Choice{false, true, false, false},
                                Choice{false, false, false, false}}) {
        SCOPED_TRACE(std::to_string(choice.check) + std::to_string(choice.skip));
        settings.checkAccuracy = choice.check;
        settings.skipConfirmed = choice.skip;
        ASSERT_TRUE(SaveSettings(path_, settings));
        EXPECT_EQ(ReadFile().find("checkAccuracy") != std::string::npos, choice.checkStored);
        EXPECT_EQ(ReadFile().find("skipConfirmed") != std::string::npos, choice.skipStored);
        EXPECT_EQ(LoadSettings(path_).checkAccuracy, choice.checkStored);
        EXPECT_EQ(LoadSettings(path_).skipConfirmed, choice.skipStored);
    }
    // A file that asked for skipping alone asked for the check with it.
    WriteFile(WithKey("\"value0\"=hex:03,00,00,00\n\"skipConfirmed\"=hex:01,00,00,00\n"));
    EXPECT_TRUE(LoadSettings(path_).checkAccuracy);
    WriteFile(WithKey("\"checkAccuracy\"=hex:02,00,00,00\n"));
    EXPECT_FALSE(LoadSettings(path_).checkAccuracy);

    // The URLs are read from the file and kept when the settings are saved.
    WriteFile(WithKey("\"value0\"=hex:03,00,00,00\n\"skipConfirmed\"=hex:01,00,00,00\n"
                      "\"accurateRipUrl\"=\"http://127.0.0.1:9/accuraterip\"\n"
                      "\"ctdbUrl\"=\"http://127.0.0.1:9\"\n"));
    Settings read = LoadSettings(path_);
    EXPECT_EQ(read.accurateRipUrl, "http://127.0.0.1:9/accuraterip");
    EXPECT_EQ(read.ctdbUrl, "http://127.0.0.1:9");
    read.skipConfirmed = false;
    ASSERT_TRUE(SaveSettings(path_, read));
    Settings again = LoadSettings(path_);
    EXPECT_FALSE(again.skipConfirmed);
    EXPECT_EQ(again.ctdbUrl, "http://127.0.0.1:9");
    // Without them, the public databases.
    WriteFile(WithKey("\"ctdbUrl\"=hex:01,02\n"));
    EXPECT_TRUE(LoadSettings(path_).ctdbUrl.empty());
}

TEST_F(SettingsFileTest, SecureReadingNumbersAreKeptOnlyWhenNotTheDefaults) {
    Settings settings;
    settings.outputFolder = "/srv/music/";
    ASSERT_TRUE(SaveSettings(path_, settings));
    const std::string without = ReadFile();
    settings.secureAgreeing = 3;
    settings.secureMaxReadings = 40;
    settings.driveCacheSectors = 0;
    ASSERT_TRUE(SaveSettings(path_, settings));
    EXPECT_NE(ReadFile().find("\"secureAgreeing\"=hex:03,00,00,00\n"), std::string::npos);
    EXPECT_NE(ReadFile().find("\"secureMaxReadings\"=hex:28,00,00,00\n"), std::string::npos);
    EXPECT_NE(ReadFile().find("\"driveCacheSectors\"=hex:00,00,00,00\n"), std::string::npos);
    const Settings read = LoadSettings(path_);
    EXPECT_EQ(read.secureAgreeing, 3);
    EXPECT_EQ(read.secureMaxReadings, 40);
    EXPECT_EQ(read.driveCacheSectors, 0);
    Settings defaults;
    defaults.outputFolder = "/srv/music/";
    ASSERT_TRUE(SaveSettings(path_, defaults));
    EXPECT_EQ(ReadFile(), without) << "the defaults leave no value behind";

    // Out of range or of the wrong size: the default.
    WriteFile(WithKey("\"secureAgreeing\"=hex:09,00,00,00\n\"secureMaxReadings\"=hex:01,00\n"
                      "\"driveCacheSectors\"=hex:a1,86,01,00\n"));
    const Settings bad = LoadSettings(path_);
    EXPECT_EQ(bad.secureAgreeing, 2);
    EXPECT_EQ(bad.secureMaxReadings, 20);
    EXPECT_EQ(bad.driveCacheSectors, 2048);
}

// Secure reading, FLAC files and the cue sheet: each a value of its own.
TEST_F(SettingsFileTest, ChoicesAreValuesOfTheirOwnPresentOnlyWhenChosen) {
    const std::pair<std::string, bool Settings::*> choices[] = {
        {"secureReading", &Settings::secureReading},
        {"flacFiles", &Settings::flacFiles},
        {"cueSheet", &Settings::cueSheet}};
    for (const auto& [name, field] : choices) {
        SCOPED_TRACE(name);
        Settings settings;
        settings.outputFolder = "/srv/music/";
        ASSERT_TRUE(SaveSettings(path_, settings));
        const std::string without = ReadFile();
        EXPECT_EQ(without.find(name), std::string::npos);
        EXPECT_FALSE(LoadSettings(path_).*field);

        settings.*field = true;
        ASSERT_TRUE(SaveSettings(path_, settings));
        EXPECT_NE(ReadFile().find("\"" + name + "\"=hex:01,00,00,00\n"), std::string::npos)
            << ReadFile();
        EXPECT_NE(ReadFile().find("\"value0\"=hex:03,00,00,00\n"), std::string::npos)
            << "the settings word stays as it was";
        const Settings loaded = LoadSettings(path_);
        EXPECT_TRUE(loaded.*field);
        EXPECT_FALSE(loaded.skipConfirmed);
        EXPECT_EQ(int{loaded.secureReading} + loaded.flacFiles + loaded.cueSheet, 1)
            << "only the one chosen";

        settings.*field = false;
        ASSERT_TRUE(SaveSettings(path_, settings));
        EXPECT_EQ(ReadFile(), without) << "the file is as it was without the choice";
        WriteFile(WithKey("\"" + name + "\"=hex:02,00,00,00\n"));
        EXPECT_FALSE(LoadSettings(path_).*field) << "only the word 1 chooses it";
    }
    // The window's file-name template: a string, kept only while chosen.
    for (const std::string naming : {"%A/%d/%t %n", ""}) {
        Settings settings;
        settings.naming = naming;
        ASSERT_TRUE(SaveSettings(path_, settings));
        EXPECT_EQ(LoadSettings(path_).naming, naming);
        EXPECT_EQ(ReadFile().find("naming") != std::string::npos, !naming.empty()) << ReadFile();
    }
}

TEST_F(SettingsFileTest, ValuesOfTheWrongSizeOrTypeCountAsMissing) {
    for (const char* value0 : {"hex:00,00,00", "hex:00,00,00,00,00", "hex:", "\"0\"",
                               "dword:00000000"}) {
        WriteFile(WithKey(std::string("\"value0\"=") + value0 + "\n\"value1\"=\"/tmp/\"\n"));
        const Settings settings = LoadSettings(path_);
        EXPECT_TRUE(settings.verify) << value0;
        EXPECT_EQ(settings.verifyMethod, 1) << value0;
        EXPECT_EQ(settings.outputFolder, "/tmp/") << value0;
    }
    WriteFile(WithKey("\"value0\"=hex:00,00,00,00\n\"value1\"=hex:2f,00\n"));
    const Settings binaryFolder = LoadSettings(path_);
    EXPECT_FALSE(binaryFolder.verify);
    EXPECT_EQ(binaryFolder.outputFolder, HomeFolder());
}

TEST_F(SettingsFileTest, OverlongFolderCountsAsMissing) {
    const std::string longest = "/" + std::string(kMaxFolderLength - 2, 'a') + "/";
    ASSERT_EQ(longest.size(), kMaxFolderLength);
    WriteFile(WithKey("\"value1\"=\"" + longest + "\"\n"));
    EXPECT_EQ(LoadSettings(path_).outputFolder, longest);

    const std::string tooLong = "/" + std::string(kMaxFolderLength - 1, 'a') + "/";
    WriteFile(WithKey("\"value1\"=\"" + tooLong + "\"\n"));
    EXPECT_EQ(LoadSettings(path_).outputFolder, HomeFolder());
}

TEST_F(SettingsFileTest, CorruptFileCountsAsMissing) {
    const char* broken[] = {
        "garbage\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n\"value0\"=hex:00,0\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n\"value0\"=hex:00,00,00,00\n\"value1\"=\"/tmp/\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Vindral\n\"value0\"=hex:00,00,00,00\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n\"value0\"=hex:00,00,00,00\nvalue1=/tmp/\n",
        // The values under another key belong to someone else.
        "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"value0\"=hex:00,00,00,00\n",
    };
    for (const char* text : broken) {
        WriteFile(text);
        const Settings settings = LoadSettings(path_);
        EXPECT_TRUE(settings.verify) << text;
        EXPECT_EQ(settings.verifyMethod, 1) << text;
        EXPECT_EQ(settings.outputFolder, HomeFolder()) << text;
    }
    // Binary data is no better than text.
    WriteFile(std::string("\0\xff\x01[", 4));
    EXPECT_TRUE(LoadSettings(path_).verify);
}

TEST_F(SettingsFileTest, ExportsFromElsewhereAreRead) {
    // Windows line ends, a wrapped hex line, comments and other values.
    WriteFile("REGEDIT4\r\n\r\n; saved by hand\r\n[HKEY_LOCAL_MACHINE\\Software\\Vindral]\r\n"
              "\"other\"=dword:00000001\r\n"
              "\"value0\"=hex:02,\\\r\n  00,00,00\r\n"
              "\"value1\"=\"/srv/a \\\"quoted\\\" \\\\ name/\"\r\n");
    const Settings settings = LoadSettings(path_);
    EXPECT_FALSE(settings.verify);
    EXPECT_EQ(settings.verifyMethod, 1);
    EXPECT_EQ(settings.outputFolder, "/srv/a \"quoted\" \\ name/");

    // Saving keeps the escapes readable again.
    ASSERT_TRUE(SaveSettings(path_, settings));
    EXPECT_EQ(LoadSettings(path_).outputFolder, settings.outputFolder);
}

TEST_F(SettingsFileTest, SaveReplacesACorruptFileAndReportsAnUnwritableOne) {
    WriteFile("garbage\n");
    Settings settings;
    settings.verify = false;
    settings.outputFolder = "/x/";
    ASSERT_TRUE(SaveSettings(path_, settings));
    EXPECT_FALSE(LoadSettings(path_).verify);

    // A folder where the file should be cannot be replaced by it.
    fs::remove(path_);
    fs::create_directories(fs::path(path_) / "sub");
    EXPECT_FALSE(SaveSettings(path_, settings));
}

#if !defined(_WIN32)
TEST_F(SettingsFileTest, OnlyARegularFileOfASaneSizeIsReadAndNothingWaits) {
    const std::string valid = WithKey("\"value0\"=hex:00,00,00,00\n");
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* reason; // empty: read
    };
    const Case cases[] = {
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
         "not a regular file"},
        {"a link to an endless device",
         [](const std::string& path) { fs::create_symlink("/dev/zero", path); }, "not a regular file"},
        {"a folder", [](const std::string& path) { fs::create_directory(path); },
         "not a regular file"},
        {"a file past the limit",
         [&valid](const std::string& path) {
             std::ofstream(path, std::ios::binary) << valid;
             fs::resize_file(path, kMaxSettingsBytes + 1);
         },
         "larger than 1048576 bytes"},
        {"a file just at the limit",
         [&valid](const std::string& path) {
             std::string text = valid;
             while (text.size() < kMaxSettingsBytes) {
                 text += std::string(std::min<std::size_t>(80, kMaxSettingsBytes - text.size() - 1), ';') + "\n";
             }
             std::ofstream(path, std::ios::binary) << text;
             ASSERT_EQ(fs::file_size(path), kMaxSettingsBytes);
         },
         ""},
        {"no file", [](const std::string&) {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(fs::path(path_).parent_path());
        fs::create_directories(fs::path(path_).parent_path());
        c.make(path_);
        std::string problem;
        auto loading = std::async(std::launch::async, [&] { return LoadSettings(path_, &problem); });
        if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Let a reader blocked on the FIFO go before failing.
            const int writer = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            ::close(writer);
            FAIL() << "still waiting after 5 s";
        }
        const Settings settings = loading.get();
        if (*c.reason == '\0') {
            EXPECT_EQ(problem, "");
            EXPECT_EQ(settings.verify, std::string(c.what) == "no file") << "read when it is there";
        } else {
            EXPECT_EQ(problem, path_ + ": " + c.reason);
            EXPECT_TRUE(settings.verify) << "the defaults stand in";
            EXPECT_EQ(settings.outputFolder, HomeFolder());
        }
    }
}
#endif

TEST(SettingsPathTest, FollowsXdgConfigHome) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string restore = saved != nullptr ? saved : "";
    SetVariable("XDG_CONFIG_HOME", "/cfg/here");
    EXPECT_EQ(DefaultSettingsPath(), "/cfg/here/vindral/settings.reg");
    // A relative value is not a valid base folder.
    SetVariable("XDG_CONFIG_HOME", "relative");
    EXPECT_EQ(DefaultSettingsPath(), HomeFolder() + ".config/vindral/settings.reg");
    RemoveVariable("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultSettingsPath(), HomeFolder() + ".config/vindral/settings.reg");
    if (saved != nullptr) {
        SetVariable("XDG_CONFIG_HOME", restore.c_str());
    }
}

} // namespace
} // namespace vindral::platform
