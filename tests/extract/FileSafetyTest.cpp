// What a run leaves in the target folder: a track file is complete and right,
// or the folder is as it was before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/stat.h>

#include "extract/RunHarness.h"
#include "output/FlacEncoder.h"
#include "output/FlacFiles.h"
#include "platform/FileSysCalls.h"
#include "platform/OutputFile.h"

namespace vindral {
namespace {

using test::FileExists;
using test::ReadWholeFile;

namespace fs = std::filesystem;

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

// WAV files, and FLAC files, whose PCM goes to a second temporary file.
TEST_F(FileSafety, AFailedOrCancelledReRipKeepsTheEarlierFile) {
    for (const std::string format : {"wav", "flac"}) {
        SCOPED_TRACE(format);
        fs::remove_all(folder.Path());
        fs::create_directory(folder.Path());
        const std::string earlier = "the complete file of an earlier rip";
        const std::string name = "Track01." + format;
        const std::string path = folder.Path() + name;
        auto job = [&](std::vector<TrackEntry> tracks, bool verify) {
            ExtractJob job = Job(tracks, verify);
            if (format == "flac") {
                job.tracks.front().path = path;
                job.makeEncoder = output::FlacEncoderFactory({}, {});
            }
            return job;
        };
        {
            WriteText(path, earlier);
            disc.unreadable = {40};
            test::RecordingView view;
            RunProtocol protocol(job({{0, 1, 0, 64}}, false), view, Clock());
            RunToStop(protocol);
            EXPECT_EQ(view.lines.back(), "Read error (code 031100)");
            EXPECT_EQ(ReadText(path), earlier) << "a read error";
            EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{name});
        }
        // A cancel while the track is read; and while it is verified, when
        // the file of the first reading is complete and stays.
        for (const bool verifying : {false, true}) {
            disc.unreadable.clear();
            WriteText(path, earlier);
            test::RecordingView view;
            RunProtocol protocol(job({{0, 1, 0, 64}}, verifying), view, Clock());
            int messages = 0;
            RunToStop(protocol, [&] {
                if (++messages == (verifying ? 12 : 3)) {
                    protocol.Cancel();
                }
            });
            EXPECT_EQ(view.lines.back(), "Canceled by user");
            EXPECT_EQ(ReadText(path) == earlier, !verifying) << "a cancel";
            EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{name});
            if (verifying && format == "flac") {
                EXPECT_EQ(test::DecodeFlac(path).pcm.size(), 64u * 2352);
            }
        }
        {
            WriteText(path, earlier);
            test::RecordingView view;
            RunProtocol protocol(job({{0, 1, 0, 600}}, false), view, Clock());
            {
                test::FileSizeLimit limit(600000);
                RunToStop(protocol);
            }
            EXPECT_EQ(view.lines.back(), "Error writing file");
            EXPECT_EQ(ReadText(path), earlier) << "a full disk";
            EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{name});
        }
        {
            // A rip that succeeds replaces it, and leaves nothing else behind.
            test::RecordingView view;
            RunProtocol protocol(job({{0, 1, 0, 20}}, true), view, Clock());
            RunToStop(protocol);
            EXPECT_EQ(view.lines.back(), "1 track(s) extracted");
            EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{name});
            std::vector<uint8_t> audio(20 * 2352);
            for (std::size_t i = 0; i < audio.size(); ++i) {
                audio[i] = test::DiscByte(static_cast<SectorAddress>(i / 2352),
                                          static_cast<int>(i % 2352));
            }
            if (format == "wav") {
                const auto file = ReadWholeFile(path);
                ASSERT_EQ(file.size(), 44u + 20 * 2352);
                EXPECT_TRUE(std::equal(audio.begin(), audio.end(), file.begin() + 44));
            } else {
                const test::DecodedFlac flac = test::DecodeFlac(path);
                EXPECT_TRUE(flac.decoded);
                EXPECT_TRUE(flac.pcm == audio);
            }
        }
    }
}

// A one-file job: the tracks one after the other in one file, each read and
// verified on its own; the file appears when the last is done, and a cancel
// in any pass leaves nothing.
TEST_F(FileSafety, AOneFileJobIsCompleteOrAbsent) {
    for (const std::string format : {"wav", "flac"}) {
        SCOPED_TRACE(format);
        const std::string path = folder.Path() + "Disc." + format;
        auto job = [&] {
            ExtractJob job = Job({{0, 0, 0, 40}, {0, 1, 40, 30}, {0, 2, 70, 25}}, true);
            for (JobEntry& entry : job.tracks) {
                entry.path = path;
                entry.fileStart = entry.track.start;
            }
            job.oneFile = true;
            if (format == "flac") {
                job.makeEncoder = output::FlacEncoderFactory({}, {});
            }
            return job;
        };
        // Cancelled in the verification of the first and the second track,
        // and in the extraction of the last.
        for (const auto& [track, verifying] : {std::pair{0, true}, {1, true}, {2, false}}) {
            SCOPED_TRACE(track);
            test::RecordingView view;
            RunProtocol protocol(job(), view, Clock());
            bool sent = false;
            RunToStop(protocol, [&] {
                if (!sent && protocol.TrackIndex() == track &&
                    protocol.Run().verificationPass == verifying) {
                    sent = true;
                    protocol.Cancel();
                }
            });
            EXPECT_TRUE(sent);
            EXPECT_EQ(view.lines.back(), "Canceled by user");
            EXPECT_TRUE(test::FolderNames(folder.Path()).empty());
        }
        test::RecordingView view;
        RunProtocol protocol(job(), view, Clock());
        RunToStop(protocol);
        EXPECT_EQ(view.lines.back(), "3 track(s) extracted");
        EXPECT_EQ(std::count(view.lines.begin(), view.lines.end(), "  Errors: 0 (0.00%)"), 3);
        EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"Disc." + format});
        std::vector<uint8_t> audio(95 * 2352);
        for (std::size_t i = 0; i < audio.size(); ++i) {
            audio[i] = test::DiscByte(static_cast<SectorAddress>(i / 2352),
                                      static_cast<int>(i % 2352));
        }
        if (format == "wav") {
            const auto file = ReadWholeFile(path);
            ASSERT_EQ(file.size(), 44u + audio.size());
            EXPECT_TRUE(std::equal(file.begin(), file.begin() + 44, MakeWavHeader(95).begin()));
            EXPECT_TRUE(std::equal(audio.begin(), audio.end(), file.begin() + 44));
        } else {
            const test::DecodedFlac flac = test::DecodeFlac(path);
            EXPECT_TRUE(flac.decoded);
            EXPECT_TRUE(flac.pcm == audio);
        }
        fs::remove(path);
    }
}

// Track 1's file cannot take its name (a folder holds it) once its encoding,
// which may go on while the next tracks are read, has ended: the run ends
// with the reason, and no file of a later track, no PCM file and no
// temporary file stays.
TEST_F(FileSafety, AnEncodedFileThatFailsEndsTheRunAndTakesTheLaterTracksWithIt) {
    fs::create_directories(folder.Path() + "Track01.wav/inside");
    ReasonView view;
    ExtractJob job = Job({{0, 1, 0, 400}, {0, 2, 400, 400}, {0, 3, 800, 400}}, false);
    job.makeEncoder = output::FlacEncoderFactory({}, {});
    RunProtocol protocol(std::move(job), view, Clock());
    RunToStop(protocol);
    EXPECT_TRUE(protocol.Failed());
    ASSERT_GE(view.lines.size(), 2u);
    EXPECT_EQ(view.lines.back(), "Error writing file");
    ASSERT_EQ(view.reasons.size(), 1u);
    EXPECT_NE(view.reasons.front().find("Track01.wav"), std::string::npos) << view.reasons.front();
    EXPECT_EQ(view.lines[view.lines.size() - 2], view.reasons.front());
    EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"Track01.wav"});
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
        // The saved log says why too, just before the line that reports it.
        ASSERT_GE(view.lines.size(), 2u);
        EXPECT_EQ(view.lines[view.lines.size() - 2], view.reasons.front());
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
        ASSERT_GE(view.lines.size(), 2u);
        EXPECT_EQ(view.lines[view.lines.size() - 2], view.reasons.front());
    }
    {
        ReasonView view;
        RunProtocol protocol(Job({{0, 1, 0, 16}}, false), view, Clock());
        RunToStop(protocol);
        EXPECT_TRUE(view.reasons.empty()) << "a good run has no file problem";
    }
}

TEST_F(FileSafety, TemporaryFilesAKilledRipLeftAreRemovedOnceAndNothingElse) {
    const std::string dir = folder.Path();
    const std::vector<std::string> leftovers = {".Track01.wav.Ab12Cd.part", ".Track02.wav.zz0099.part"};
    const std::vector<std::string> others = {
        ".Track01.wav.Ab12C.part",  // a tag of another length
        ".Track01.wav.Ab-2Cd.part", // a character no tag holds
        ".Track03.wav.Ab12Cd.part", // a track this job does not rip
        "Track01.wav.Ab12Cd.part",  // no leading dot
        ".Track01.wav.Ab12Cd.partx",
        "notes.txt",
    };
    for (const std::string& name : leftovers) {
        WriteText(dir + name, "half a track");
    }
    for (const std::string& name : others) {
        WriteText(dir + name, "someone else's");
    }
    fs::create_directory(dir + ".Track01.wav.Qq77Qq.part"); // not a file
    EXPECT_EQ(platform::LeftoverTemporaryNames(dir, "Track01.wav"),
              std::vector<std::string>{".Track01.wav.Ab12Cd.part"});
    // Another rip writing into the same folder this moment: its file is in
    // use, not left over.
    platform::OutputFile live;
    ASSERT_TRUE(live.Create(dir + "Track02.wav"));
    const std::string liveName = live.TemporaryPath().substr(dir.size());

    for (int run = 0; run < 2; ++run) {
        test::RecordingView view;
        RunProtocol protocol(Job({{0, 1, 0, 10}, {0, 2, 10, 10}}, false), view, Clock());
        RunToStop(protocol);
        ASSERT_GE(view.lines.size(), 2u);
        EXPECT_EQ(view.lines[0], "2 track(s) selected");
        if (run == 0) {
            EXPECT_EQ(view.lines[1], "Removed 2 temporary file(s) an interrupted rip left in " + dir);
        } else {
            EXPECT_EQ(std::count_if(view.lines.begin(), view.lines.end(),
                                    [](const std::string& line) {
                                        return line.rfind("Removed ", 0) == 0;
                                    }),
                      0)
                << "said once, when there was something to remove";
        }
        EXPECT_EQ(view.lines.back(), "2 track(s) extracted");
    }
    std::vector<std::string> kept = others;
    kept.insert(kept.end(), {".Track01.wav.Qq77Qq.part", "Track01.wav", "Track02.wav", liveName});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(test::FolderNames(dir), kept);
    live.Discard();
}

// The file code's system calls, passed on to the machine's own and recorded;
// one kind of call can be made to fail, and the first temporary name tried
// can be taken by a symbolic link just before it is opened.
class RecordingFileCalls : public platform::FileSysCalls {
public:
    std::string calls; // "open write sync close rename", in order
    std::string failing;
    int failure = 0;
    std::string linkTarget; // when set, the first name opened is made a link to it
    std::string linkedAt;

    int Open(const std::string& path, int flags, int mode) override {
        if (!linkTarget.empty() && linkedAt.empty()) {
            fs::create_symlink(linkTarget, path);
            linkedAt = path;
        }
        return Pass("open", [&] { return real_->Open(path, flags, mode); });
    }
    long Write(int fd, const void* data, std::size_t size) override {
        return Pass("write", [&] { return real_->Write(fd, data, size); });
    }
    int SeekTo(int fd, uint64_t offset) override {
        return Pass("seek", [&] { return real_->SeekTo(fd, offset); });
    }
    int Sync(int fd) override { return Pass("sync", [&] { return real_->Sync(fd); }); }
    int Close(int fd) override { return Pass("close", [&] { return real_->Close(fd); }); }
    int Rename(const std::string& from, const std::string& to) override {
        return Pass("rename", [&] { return real_->Rename(from, to); });
    }
    int Unlink(const std::string& path) override {
        return Pass("unlink", [&] { return real_->Unlink(path); });
    }

private:
    template <typename Call>
    auto Pass(const char* name, Call call) -> decltype(call()) {
        calls += (calls.empty() ? "" : " ") + std::string(name);
        if (failing == name) {
            if (std::string(name) == "close") {
                call(); // the descriptor is gone all the same
            }
            return -failure;
        }
        return call();
    }
    std::shared_ptr<platform::FileSysCalls> real_ = platform::RealFileSysCalls();
};

TEST_F(FileSafety, OutputFileSyncsRenamesLastAndLeavesNoTemporaryFile) {
    struct Case {
        const char* what;
        const char* failing;
        int failure;
        bool nameTaken;
        bool committed;
        const char* calls;
        const char* reason; // with a failure
    };
    const Case cases[] = {
        {"a good file", "", 0, false, true, "open write sync close rename", ""},
        {"the rename fails", "rename", EXDEV, false, false, "open write sync close rename unlink",
         "Invalid cross-device link"},
        {"the flush to the disk fails", "sync", EIO, false, false, "open write sync close unlink",
         "Input/output error"},
        {"the disk is full", "write", ENOSPC, false, false, "open write close unlink",
         "No space left on device"},
        {"a link stands at the first temporary name", "", 0, true, true,
         "open open write sync close rename", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempFolder dir;
        const std::string path = dir.Path() + "Track01.wav";
        const std::string victim = dir.Path() + "victim";
        WriteText(victim, "not a track");
        auto calls = std::make_shared<RecordingFileCalls>();
        calls->failing = c.failing;
        calls->failure = c.failure;
        if (c.nameTaken) {
            calls->linkTarget = victim;
        }
        std::string temporary;
        bool committed = false;
        {
            platform::OutputFile file(calls);
            ASSERT_TRUE(file.Create(path));
            temporary = file.TemporaryPath();
            committed = file.Write("data", 4) && file.Commit();
            EXPECT_EQ(file.Error(), c.committed ? "" : path + ": " + c.reason);
        }
        EXPECT_EQ(committed, c.committed);
        EXPECT_EQ(calls->calls, c.calls);
        EXPECT_EQ(ReadText(victim), "not a track") << "nothing is written through a name in the way";
        EXPECT_FALSE(FileExists(temporary));
        std::vector<std::string> names = {"victim"};
        if (c.committed) {
            names.insert(names.begin(), "Track01.wav");
            EXPECT_EQ(ReadText(path), "data");
        }
        if (c.nameTaken) {
            EXPECT_NE(calls->linkedAt, temporary);
            names.push_back(fs::path(calls->linkedAt).filename().string()); // not ours to remove
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(test::FolderNames(dir.Path()), names);
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
    // A long title keeps its temporary name within the file systems' 255
    // bytes, cut between characters: "." 240 bytes "." tag ".part".
    std::string title = "04 ";
    std::string kept = "04 ";
    for (int k = 0; k < 100; ++k) {
        title += "\u9577"; // 3 bytes
        kept += k < 79 ? "\u9577" : "";
    }
    EXPECT_EQ(platform::TemporaryNameFor("d/" + title + ".flac", "AbC123"),
              "d/." + kept + ".AbC123.part");

    platform::OutputFile first;
    platform::OutputFile second;
    ASSERT_TRUE(first.Create(path));
    ASSERT_TRUE(second.Create(path));
    EXPECT_NE(first.TemporaryPath(), second.TemporaryPath()) << "each file is its own";
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(first.Write("one", 3));
    ASSERT_TRUE(second.Write("second", 6));
    second.Discard();
    EXPECT_EQ(test::FolderNames(folder.Path()).size(), 1u) << "only the discarded file went";
    ASSERT_TRUE(first.Commit());
    EXPECT_EQ(ReadText(path), "one");
    EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"status.txt"});

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
    EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"status.txt"})
        << "a file never committed is removed with its owner";
}

} // namespace
} // namespace vindral
