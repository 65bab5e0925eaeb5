// What a run leaves in the target folder: a track file is complete and right,
// or the folder is as it was before.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "extract/RunHarness.h"
#include "platform/OutputFile.h"

namespace vindral {
namespace {

using test::FileExists;
using test::ReadWholeFile;

namespace fs = std::filesystem;

// Every name in the folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    const auto bytes = ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

class ReasonView : public test::RecordingView {
public:
    std::vector<std::string> reasons;
    void FileProblem(const std::string& reason) override { reasons.push_back(reason); }
};

class FileSafety : public test::RunFixture {};

TEST_F(FileSafety, AFailedOrCancelledReRipKeepsTheEarlierFile) {
    const std::string earlier = "the complete file of an earlier rip";
    const std::string path = folder.Path() + "Track01.wav";
    {
        WriteText(path, earlier);
        disc.unreadable = {40};
        test::RecordingView view;
        RunProtocol protocol(Job({{0, 1, 0, 64}}, false), view, Clock());
        RunToStop(protocol);
        EXPECT_EQ(view.lines.back(), "Read error (code 031100)");
        EXPECT_EQ(ReadText(path), earlier) << "a read error";
        EXPECT_EQ(Names(folder.Path()), std::vector<std::string>{"Track01.wav"});
    }
    {
        disc.unreadable.clear();
        test::RecordingView view;
        RunProtocol protocol(Job({{0, 1, 0, 64}}, false), view, Clock());
        int messages = 0;
        RunToStop(protocol, [&] {
            if (++messages == 3) {
                protocol.Cancel();
            }
        });
        EXPECT_EQ(view.lines.back(), "Canceled by user");
        EXPECT_EQ(ReadText(path), earlier) << "a cancel";
        EXPECT_EQ(Names(folder.Path()), std::vector<std::string>{"Track01.wav"});
    }
    {
        test::RecordingView view;
        RunProtocol protocol(Job({{0, 1, 0, 600}}, false), view, Clock());
        {
            test::FileSizeLimit limit(600000);
            RunToStop(protocol);
        }
        EXPECT_EQ(view.lines.back(), "Error writing file");
        EXPECT_EQ(ReadText(path), earlier) << "a full disk";
        EXPECT_EQ(Names(folder.Path()), std::vector<std::string>{"Track01.wav"});
    }
    {
        // A rip that succeeds replaces it, and leaves nothing else behind.
        test::RecordingView view;
        RunProtocol protocol(Job({{0, 1, 0, 20}}, true), view, Clock());
        RunToStop(protocol);
        EXPECT_EQ(view.lines.back(), "1 track(s) extracted");
        EXPECT_EQ(ReadWholeFile(path).size(), 44u + 20 * 2352);
        EXPECT_EQ(Names(folder.Path()), std::vector<std::string>{"Track01.wav"});
    }
}

TEST_F(FileSafety, ASymbolicLinkAtTheFinalNameIsReplacedNotWrittenThrough) {
    const std::string victim = folder.Path() + "victim.txt";
    WriteText(victim, "not a track");
    const std::string path = folder.Path() + "Track01.wav";
    fs::create_symlink(victim, path);
    test::RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 20}}, false), view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(ReadText(victim), "not a track");
    EXPECT_FALSE(fs::is_symlink(path));
    const auto file = ReadWholeFile(path);
    ASSERT_EQ(file.size(), 44u + 20 * 2352);
    EXPECT_EQ(file[44 + 2352 * 19 + 7], test::DiscByte(19, 7));
}

TEST_F(FileSafety, TheReasonOfAFileFailureReachesTheView) {
    {
        ReasonView view;
        ExtractJob job = Job({{0, 1, 0, 16}}, false);
        job.tracks[0].path = folder.Path() + "gone/Track01.wav";
        RunProtocol protocol(std::move(job), view, Clock());
        RunToStop(protocol);
        EXPECT_EQ(view.lines.back(), "Error opening file");
        EXPECT_EQ(view.reasons,
                  std::vector<std::string>{folder.Path() + "gone/Track01.wav: No such file or directory"});
    }
    {
        ReasonView view;
        RunProtocol protocol(Job({{0, 1, 0, 600}}, false), view, Clock());
        {
            test::FileSizeLimit limit(600000);
            RunToStop(protocol);
        }
        EXPECT_EQ(view.lines.back(), "Error writing file");
        EXPECT_EQ(view.reasons,
                  std::vector<std::string>{folder.Path() + "Track01.wav: File too large"});
    }
    {
        ReasonView view;
        RunProtocol protocol(Job({{0, 1, 0, 16}}, false), view, Clock());
        RunToStop(protocol);
        EXPECT_TRUE(view.reasons.empty()) << "a good run has no file problem";
    }
}

TEST_F(FileSafety, ShortTracksShowNothingRemainingFromAHundredPercentOn) {
    // Tracks of 5 and 20 sectors: after a block the counters stand at 16 of
    // 5 (320 %) and 16 of 20 (80 %).
    test::RecordingView view;
    RunProtocol protocol(Job({{0, 1, 0, 5}, {0, 2, 5, 20}}, false), view, Clock());
    RunToStop(protocol, [&] { now += 400; });
    ASSERT_FALSE(view.shown.empty());
    bool sawPastFull = false;
    for (const DisplayTexts& texts : view.shown) {
        for (const std::string* remaining : {&texts.trackRemaining, &texts.totalRemaining}) {
            ASSERT_LE(remaining->size(), 8u) << *remaining;
        }
        if (texts.trackProgress == "320%") {
            sawPastFull = true;
            EXPECT_EQ(texts.trackRemaining, " 0:00:00");
        }
    }
    EXPECT_TRUE(sawPastFull);
    EXPECT_EQ(view.lines.back(), "2 track(s) extracted");
}

TEST(OutputFile, AppearsUnderItsNameOnlyWhenCommitted) {
    test::TempFolder folder;
    const std::string path = folder.Path() + "status.txt";
    EXPECT_EQ(platform::TemporaryNameFor(path, "AbC123"), folder.Path() + ".status.txt.AbC123.part");
    EXPECT_EQ(platform::TemporaryNameFor("Track01.wav", "x"), ".Track01.wav.x.part");

    platform::OutputFile first;
    platform::OutputFile second;
    ASSERT_TRUE(first.Create(path));
    ASSERT_TRUE(second.Create(path));
    EXPECT_NE(first.TemporaryPath(), second.TemporaryPath()) << "each file is its own";
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(first.Write("one", 3));
    ASSERT_TRUE(second.Write("second", 6));
    second.Discard();
    EXPECT_EQ(Names(folder.Path()).size(), 1u) << "only the discarded file went";
    ASSERT_TRUE(first.Commit());
    EXPECT_EQ(ReadText(path), "one");
    EXPECT_EQ(Names(folder.Path()), std::vector<std::string>{"status.txt"});

    // A new file has the mode any new file gets: the umask applies.
    const mode_t mask = ::umask(022);
    std::string error;
    EXPECT_TRUE(platform::WriteWholeFile(path, "two", error)) << error;
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(ReadText(path), "two");

    EXPECT_FALSE(platform::WriteWholeFile(folder.Path() + "none/x.txt", "x", error));
    EXPECT_EQ(error, folder.Path() + "none/x.txt: No such file or directory");
    {
        platform::OutputFile dropped;
        ASSERT_TRUE(dropped.Create(path));
    }
    EXPECT_EQ(Names(folder.Path()), std::vector<std::string>{"status.txt"})
        << "a file never committed is removed with its owner";
}

} // namespace
} // namespace vindral
