// A rip's cue sheet read back as a disc: the sheet vindral-cli writes beside
// the track files, loaded with --image, is the disc it was ripped from.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/CliRun.h"
#include "extract/RunHarness.h"
#ifdef VINDRAL_HAVE_FLAC
#include "output/FlacFiles.h"
#endif

namespace vindral {
namespace {

using test::RunCli;

std::string Text(const std::string& path) {
    const auto bytes = test::ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// The lines of a sheet that are not REM lines.
std::string WithoutRemarks(const std::string& sheet) {
    std::string kept;
    std::istringstream lines(sheet);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("REM ") == std::string::npos) {
            kept += line + "\n";
        }
    }
    return kept;
}

// The files under a folder by their relative paths, with their bytes.
std::map<std::string, std::vector<uint8_t>> Files(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[std::filesystem::relative(entry.path(), folder).string()] =
                test::ReadWholeFile(entry.path().string());
        }
    }
    return files;
}

// The sheet of a pressed disc of 2000 sectors: audio before track 1 (a hidden
// track), pregaps, an index 2, ISRCs, a catalog number, CD-Text and flags.
const std::string kSheet = "CATALOG 0724384260927\n"
                           "TITLE \"Across: Why?\"\n"
                           "PERFORMER \"The \xC3\x89migr\xC3\xA9s\"\n"
                           "FILE \"d.bin\" BINARY\n"
                           "  TRACK 01 AUDIO\n    TITLE \"Hidden Start\"\n"
                           "    ISRC USRC17607839\n    FLAGS PRE\n"
                           "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
                           "    INDEX 02 00:05:00\n"
                           "  TRACK 02 AUDIO\n    TITLE \"Second\"\n"
                           "    SONGWRITER \"Writer\"\n    ISRC GBAYE0601498\n"
                           "    FLAGS DCP 4CH\n"
                           "    INDEX 00 00:09:00\n    INDEX 01 00:11:00\n"
                           "  TRACK 03 AUDIO\n    TITLE \"Third\"\n    FLAGS DCP\n"
                           "    INDEX 01 00:18:00\n";

class CueRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        bin_.resize(2000 * 2352);
        for (std::size_t i = 0; i < bin_.size(); ++i) {
            bin_[i] = static_cast<uint8_t>((i * 131 + i / 2352 * 7 + i / 977) & 0xFF);
        }
        std::ofstream(disc_.Path() + "d.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bin_.data()),
                   static_cast<std::streamsize>(bin_.size()));
        std::ofstream(image_) << kSheet;
    }

    // What vindral-cli reads of a disc image: toc, disc IDs and cue sheet.
    std::vector<std::string> Reading(const std::string& image) {
        std::vector<std::string> outputs;
        for (const char* command : {"toc", "ids", "cue"}) {
            const test::CliResult result = RunCli({command, "--image", image});
            EXPECT_EQ(result.status, 0) << command << ": " << result.err;
            outputs.push_back(result.out);
        }
        return outputs;
    }

    test::CliResult Rip(const std::string& image, const std::string& out,
                        std::vector<std::string> more) {
        std::vector<std::string> args = {"rip", "--image", image, "--out", out, "--cue",
                                         "--emulated-speed", "max"};
        args.insert(args.end(), more.begin(), more.end());
        return RunCli(args);
    }

    test::TempFolder disc_;
    test::TempFolder out_;
    std::vector<uint8_t> bin_; // the disc's audio
    const std::string image_ = disc_.Path() + "d.cue";
};

TEST_F(CueRoundTrip, TheSheetOfARipIsTheDisc) {
    // Into folders that do not exist yet, named by the disc's CD-Text.
    const std::string out = out_.Path() + "first/rips/";
    const std::string naming = "%A/%d/%t %n";
    const test::CliResult rip = Rip(image_, out, {"--tracks", "0-3", "--naming", naming});
    ASSERT_EQ(rip.status, 0) << rip.err;
    EXPECT_EQ(rip.err, "");
    const std::string album = out + "The \xC3\x89migr\xC3\xA9s/Across_ Why_/";
    const std::string sheet = Text(album + "Across_ Why_.cue");
    EXPECT_EQ(WithoutRemarks(sheet),
              "CATALOG 0724384260927\n"
              "TITLE \"Across: Why?\"\n"
              "PERFORMER \"The \xC3\x89migr\xC3\xA9s\"\n"
              "FILE \"00 Track 00.wav\" WAVE\n"
              "  TRACK 01 AUDIO\n"
              "    TITLE \"Hidden Start\"\n"
              "    ISRC USRC17607839\n"
              "    FLAGS PRE\n"
              "    INDEX 00 00:00:00\n"
              "FILE \"01 Hidden Start.wav\" WAVE\n"
              "    INDEX 01 00:00:00\n"
              "    INDEX 02 00:03:00\n"
              "  TRACK 02 AUDIO\n"
              "    TITLE \"Second\"\n"
              "    SONGWRITER \"Writer\"\n"
              "    ISRC GBAYE0601498\n"
              "    FLAGS DCP 4CH\n"
              "    INDEX 00 00:07:00\n"
              "FILE \"02 Second.wav\" WAVE\n"
              "    INDEX 01 00:00:00\n"
              "FILE \"03 Third.wav\" WAVE\n"
              "  TRACK 03 AUDIO\n"
              "    TITLE \"Third\"\n"
              "    FLAGS DCP\n"
              "    INDEX 01 00:00:00\n")
        << sheet;
    // The REM lines: the program, the day and the four disc IDs.
    const test::CliResult ids = RunCli({"ids", "--image", image_});
    const auto idLines = test::Lines(ids.out);
    ASSERT_EQ(idLines.size(), 4u) << ids.out;
    const auto remarks = test::Lines(sheet.substr(0, sheet.find("CATALOG")));
    ASSERT_EQ(remarks.size(), 6u) << sheet;
    EXPECT_EQ(remarks[0], "REM COMMENT \"Vindral " VINDRAL_VERSION "\"");
    EXPECT_EQ(remarks[1].rfind("REM RIPDATE 20", 0), 0u) << remarks[1];
    EXPECT_EQ(remarks[2], "REM DISCID " + idLines[1].substr(idLines[1].find(' ') + 1));
    EXPECT_EQ(remarks[3], "REM MUSICBRAINZ_DISCID " + idLines[2].substr(13));
    EXPECT_EQ(remarks[4], "REM ACCURATERIP_ID " + idLines[0].substr(13));
    EXPECT_EQ(remarks[5], "REM CTDB_TOCID " + idLines[3].substr(idLines[3].find(' ') + 1));
    EXPECT_EQ(Text(album + "Across_ Why_.m3u"),
              "#EXTM3U\n"
              "#EXTINF:2,The \xC3\x89migr\xC3\xA9s - Track 00\n00 Track 00.wav\n"
              "#EXTINF:9,The \xC3\x89migr\xC3\xA9s - Hidden Start\n01 Hidden Start.wav\n"
              "#EXTINF:7,The \xC3\x89migr\xC3\xA9s - Second\n02 Second.wav\n"
              "#EXTINF:9,The \xC3\x89migr\xC3\xA9s - Third\n03 Third.wav\n");

    // Read back: the same table of contents, disc IDs and cue output.
    const std::string written = album + "Across_ Why_.cue";
    EXPECT_EQ(Reading(written), Reading(image_));
    // And the same audio: a rip of the written sheet gives the same files,
    // the sheet among them (its rip date aside).
    const std::string again = out_.Path() + "again/";
    const test::CliResult second = Rip(written, again, {"--tracks", "0-3", "--naming", naming});
    ASSERT_EQ(second.status, 0) << second.err;
    auto first = Files(out);
    auto copy = Files(again);
    ASSERT_EQ(first.size(), 6u);
    for (auto* files : {&first, &copy}) {
        auto& cue = (*files)["The \xC3\x89migr\xC3\xA9s/Across_ Why_/Across_ Why_.cue"];
        const std::string text = WithoutRemarks(std::string(cue.begin(), cue.end()));
        cue.assign(text.begin(), text.end());
    }
    EXPECT_TRUE(first == copy);
}

TEST_F(CueRoundTrip, WithoutTheHiddenTrackOrAllTracks) {
    // Track 1's pregap becomes silence, noted: the disc's layout stays.
    const test::CliResult rip = Rip(image_, out_.Path(), {"--tracks", "1-3"});
    ASSERT_EQ(rip.status, 0) << rip.err;
    // The album's title names the sheet, made safe.
    const std::string written = out_.Path() + "Across_ Why_.cue";
    const std::string sheet = Text(written);
    EXPECT_NE(sheet.find("FILE \"Track01.wav\" WAVE\n  TRACK 01 AUDIO\n"), std::string::npos)
        << sheet;
    EXPECT_NE(sheet.find("    REM COMMENT \"The 00:02:00 before track 01 were not ripped "
                         "(track 00): silence here\"\n    PREGAP 00:02:00\n"
                         "    INDEX 01 00:00:00\n"),
              std::string::npos)
        << sheet;
    const auto original = Reading(image_);
    const auto read = Reading(written);
    EXPECT_EQ(read, original);
#ifdef VINDRAL_HAVE_FLAC
    // FLAC files named by the sheet read back as the same disc, with the
    // same audio: a WAV rip of the FLAC sheet gives the first rip's files.
    test::TempFolder flac;
    const test::CliResult flacRip =
        Rip(image_, flac.Path(), {"--tracks", "1-3", "--format", "flac"});
    ASSERT_EQ(flacRip.status, 0) << flacRip.err;
    const std::string flacSheet = flac.Path() + "Across_ Why_.cue";
    EXPECT_NE(Text(flacSheet).find("FILE \"Track01.flac\" WAVE\n"), std::string::npos);
    EXPECT_EQ(Reading(flacSheet), original);
    test::TempFolder back;
    ASSERT_EQ(Rip(flacSheet, back.Path(), {"--tracks", "1-3"}).status, 0);
    for (const char* name : {"Track01.wav", "Track02.wav", "Track03.wav"}) {
        EXPECT_TRUE(Text(back.Path() + name) == Text(out_.Path() + name)) << name;
    }
#endif

    // A rip of some tracks writes no sheet and says why.
    test::TempFolder some;
    const test::CliResult part = Rip(image_, some.Path(), {"--tracks", "1,3", "--prefix", "p"});
    ASSERT_EQ(part.status, 0) << part.err;
    EXPECT_EQ(part.err, "No cue sheet was written: not every audio track was ripped (not "
                        "ripped: 02)\n");
    EXPECT_FALSE(test::FileExists(some.Path() + "p.cue"));
    EXPECT_FALSE(test::FileExists(some.Path() + "Across_ Why_.cue"));
}

// --single: the disc's whole audio in one file, from address 0, with the
// sheet of the cue command beside it.
TEST_F(CueRoundTrip, TheOneFileOfTheWholeDiscIsTheDisc) {
    const std::string stem = "Across_ Why_";
    auto single = [&](const std::string& image, const std::string& out,
                      std::vector<std::string> more) {
        std::vector<std::string> args = {"rip",    "--image",          image, "--out",
                                         out,      "--emulated-speed", "max", "--single"};
        args.insert(args.end(), more.begin(), more.end());
        return RunCli(args);
    };
    // The file's audio: a WAV file's after its header, else the FLAC's.
    auto audio = [](const std::string& path) {
        std::vector<uint8_t> bytes = test::ReadWholeFile(path);
        bytes.erase(bytes.begin(), bytes.begin() + std::min<std::size_t>(bytes.size(), 44));
        return bytes;
    };
    const test::CliResult cue = RunCli({"cue", "--image", image_, "--prefix", stem});
    ASSERT_EQ(cue.status, 0) << cue.err;
    const auto original = Reading(image_);
#ifdef VINDRAL_HAVE_FLAC
    {
        const test::CliResult rip = single(image_, out_.Path(), {"--format", "flac"});
        ASSERT_EQ(rip.status, 0) << rip.err;
        EXPECT_EQ(test::FolderNames(out_.Path()),
                  (std::vector<std::string>{stem + ".cue", stem + ".flac"}));
        // The sheet is the cue command's, naming the FLAC file; read back, it
        // is the disc, with its audio sample for sample.
        std::string expected = cue.out;
        expected.replace(expected.find(".wav\" WAVE"), 4, ".flac");
        const std::string sheet = out_.Path() + stem + ".cue";
        EXPECT_EQ(Text(sheet), expected);
        EXPECT_EQ(Reading(sheet), original);
        const test::DecodedFlac flac = test::DecodeFlac(out_.Path() + stem + ".flac");
        EXPECT_TRUE(flac.decoded);
        EXPECT_TRUE(flac.pcm == bin_);
        EXPECT_TRUE(flac.HasComment("ALBUM=Across: Why?"));
        EXPECT_TRUE(flac.HasComment("TITLE=Across: Why?"));
        for (const std::string& comment : flac.comments) {
            EXPECT_NE(comment.rfind("TRACKNUMBER=", 0), 0u) << comment;
            EXPECT_NE(comment.rfind("PRE_EMPHASIS=", 0), 0u) << "only track 1 has it";
        }
        const std::string check = "flac -t -s '" + out_.Path() + stem + ".flac'";
        EXPECT_EQ(std::system(check.c_str()), 0);
        // A rip of the written sheet gives the disc's audio again.
        test::TempFolder back;
        ASSERT_EQ(single(sheet, back.Path(), {}).status, 0);
        EXPECT_TRUE(audio(back.Path() + stem + ".wav") == bin_);
    }
#endif
    {
        // Flaky sectors across the edges of tracks 00 to 02, on a drive
        // without C2 pointers: the verification of each track finds them and
        // corrects them at the track's place in the file.
        const std::string flaky = disc_.Path() + "flaky.cue";
        std::ofstream(flaky) << "REM DRIVE C2 NONE\n"
                                "REM DAMAGE FLAKY 148 4 60\nREM DAMAGE FLAKY 822 6 60\n"
                             << kSheet;
        std::vector<std::string> formats = {"wav"};
#ifdef VINDRAL_HAVE_FLAC
        formats.push_back("flac"); // made again from the corrected samples
#endif
        for (const std::string& format : formats) {
            SCOPED_TRACE(format);
            test::TempFolder out;
            const test::CliResult rip =
                single(flaky, out.Path(),
                       {"--secure", "--verify", "--cache-sectors", "32", "--max-reads", "40",
                        "--format", format});
            EXPECT_EQ(rip.status, 0) << rip.out << rip.err;
            EXPECT_NE(rip.out.find("---> Extracting track 00"), std::string::npos) << rip.out;
            // (Track 03 is clean.)
            const std::string clean = "  Corrected in the file: 0 of 0 differing sector(s)\n";
            ASSERT_NE(rip.out.find(clean), std::string::npos) << rip.out;
            EXPECT_EQ(rip.out.find(clean), rip.out.rfind(clean)) << rip.out;
            EXPECT_GT(rip.out.find(clean), rip.out.find("---> Verifying track 03")) << rip.out;
            const std::string file = out.Path() + stem + "." + format;
            EXPECT_EQ(test::FolderNames(out.Path()),
                      (std::vector<std::string>{stem + ".cue", stem + "." + format}));
#ifdef VINDRAL_HAVE_FLAC
            EXPECT_TRUE((format == "wav" ? audio(file) : test::DecodeFlac(file).pcm) == bin_);
#else
            EXPECT_TRUE(audio(file) == bin_);
#endif
        }
    }
    {
        // A track that fails leaves nothing; choices that do not fit the
        // whole disc are refused.
        const std::string broken = disc_.Path() + "broken.cue";
        std::ofstream(broken) << "REM DAMAGE UNREADABLE 1500 1\n" << kSheet;
        test::TempFolder out;
        const test::CliResult rip = single(broken, out.Path(), {"--verify"});
        EXPECT_EQ(rip.status, 1);
        EXPECT_NE(rip.err.find("No cue sheet was written: the rip did not complete"),
                  std::string::npos)
            << rip.err;
        EXPECT_TRUE(test::FolderNames(out.Path()).empty());
        EXPECT_EQ(single(image_, out.Path(), {"--tracks", "1-3"}).status, 2);
        EXPECT_EQ(single(image_, out.Path(), {"--naming", "%t"}).status, 2);
        EXPECT_TRUE(test::FolderNames(out.Path()).empty());
    }
}

} // namespace
} // namespace vindral
