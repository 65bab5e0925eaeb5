// vindral-cli as a process: signals from outside and two runs into one folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "extract/RunHarness.h"
#include "output/FlacFiles.h"

extern char** environ;

namespace vindral {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kTracks = 6;
constexpr int kTrackSectors = 300;

uint8_t ImageByte(std::size_t i) { return static_cast<uint8_t>((i * 7 + i / 2352 * 13) & 0xFF); }

// An image of six tracks of 300 sectors (4 s each).
std::string WriteImage(const std::string& folder) {
    std::vector<uint8_t> bin(static_cast<std::size_t>(kTracks) * kTrackSectors * 2352);
    for (std::size_t i = 0; i < bin.size(); ++i) {
        bin[i] = ImageByte(i);
    }
    std::ofstream(folder + "disc.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    std::ofstream cue(folder + "disc.cue");
    cue << "FILE \"disc.bin\" BINARY\n";
    for (int t = 0; t < kTracks; ++t) {
        const int start = t * kTrackSectors;
        char line[96];
        std::snprintf(line, sizeof line, "  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:%02d\n", t + 1,
                      start / 75 / 60, start / 75 % 60, start % 75);
        cue << line;
    }
    return folder + "disc.cue";
}

// A vindral-cli process whose standard output is read line by line.
class CliProcess {
public:
    explicit CliProcess(std::vector<std::string> args) {
        args.insert(args.begin(), VINDRAL_CLI_PATH);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        EXPECT_EQ(posix_spawn(&pid_, VINDRAL_CLI_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = ::fdopen(fds[0], "r");
    }
    ~CliProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ != nullptr) {
            std::fclose(out_);
        }
    }

    // Reads the output until a line starts with `text`; false at its end.
    bool WaitForLine(const std::string& text) {
        char line[512];
        while (std::fgets(line, sizeof line, out_) != nullptr) {
            output_ += line;
            if (std::strncmp(line, text.c_str(), text.size()) == 0) {
                return true;
            }
        }
        return false;
    }

    void Signal(int number) { ::kill(pid_, number); }

    // The exit status, or -1 for a process that did not exit by itself.
    int Wait() {
        WaitForLine("\x01"); // the rest of the output
        int status = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    std::FILE* out_ = nullptr;
    std::string output_;
};

// Every file in the folder is a complete, right track file of the image, and
// nothing else is there.
void ExpectOnlyWholeTracks(const std::string& folder, int atLeast) {
    int tracks = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name == "disc.bin" || name == "disc.cue") {
            continue;
        }
        const bool flac = name.size() == 12 && name.substr(7) == ".flac";
        ASSERT_TRUE(flac || (name.size() == 11 && name.substr(7) == ".wav"))
            << "left behind: " << name;
        ASSERT_EQ(name.substr(0, 5), "Track") << name;
        const int number = std::stoi(name.substr(5, 2));
        auto samples = test::ReadWholeFile(entry.path().string());
        if (flac) {
            const test::DecodedFlac decoded = test::DecodeFlac(entry.path().string());
            EXPECT_TRUE(decoded.decoded) << name;
            samples = decoded.pcm;
        } else {
            EXPECT_EQ(std::memcmp(samples.data(), "RIFF", 4), 0) << name;
            samples.erase(samples.begin(), samples.begin() + std::min<std::size_t>(44, samples.size()));
        }
        ASSERT_EQ(samples.size(), std::size_t{kTrackSectors} * 2352) << name;
        const std::size_t base = static_cast<std::size_t>(number - 1) * kTrackSectors * 2352;
        for (std::size_t i = 0; i < samples.size(); i += 1009) {
            ASSERT_EQ(samples[i], ImageByte(base + i)) << name << " byte " << i;
        }
        ++tracks;
    }
    EXPECT_GE(tracks, atLeast);
}

// FLAC files too, whose encoding may still be going on for the tracks
// before the one cancelled.
TEST(CliProcess, SignalsCancelTheRunAndLeaveOnlyWholeFiles) {
    for (const auto& [number, format] : std::vector<std::pair<int, std::string>>{
             {SIGINT, "wav"}, {SIGTERM, "wav"}, {SIGHUP, "wav"}, {SIGINT, "flac"}}) {
        SCOPED_TRACE(strsignal(number) + (" " + format));
        test::TempFolder folder;
        const std::string image = WriteImage(folder.Path());
        CliProcess rip({"rip", "--image", image, "--emulated-speed", "20", "--out",
                        folder.Path(), "--format", format});
        ASSERT_TRUE(rip.WaitForLine("---> Extracting track 03"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rip.Signal(number);
        EXPECT_EQ(rip.Wait(), 130) << rip.Output();
        EXPECT_NE(rip.Output().find("Canceled by user"), std::string::npos) << rip.Output();
        ExpectOnlyWholeTracks(folder.Path(), 2);
    }
}

TEST(CliProcess, TwoRipsIntoOneFolderWhereOneIsCancelled) {
    test::TempFolder folder;
    const std::string image = WriteImage(folder.Path());
    // The fast run writes every track while the slow one is still inside
    // one; the slow one is then cancelled there.
    CliProcess slow({"rip", "--image", image, "--emulated-speed", "6", "--out", folder.Path()});
    CliProcess fast({"rip", "--image", image, "--emulated-speed", "60", "--out", folder.Path()});
    ASSERT_TRUE(fast.WaitForLine("6 track(s) extracted")) << fast.Output();
    EXPECT_EQ(fast.Wait(), 0);
    slow.Signal(SIGINT);
    EXPECT_EQ(slow.Wait(), 130) << slow.Output();
    ExpectOnlyWholeTracks(folder.Path(), kTracks);
}

TEST(CliProcess, AFailedReRipKeepsTheEarlierFiles) {
    test::TempFolder folder;
    const std::string image = WriteImage(folder.Path());
    CliProcess first({"rip", "--image", image, "--out", folder.Path()});
    EXPECT_EQ(first.Wait(), 0) << first.Output();
    ExpectOnlyWholeTracks(folder.Path(), kTracks);

    // The same disc again, now with a sector in track 2 that cannot be read.
    std::string sheet;
    {
        std::ifstream in(image);
        sheet.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::ofstream(image) << "REM DAMAGE UNREADABLE 400 1\n" << sheet;
    CliProcess again({"rip", "--image", image, "--out", folder.Path()});
    EXPECT_EQ(again.Wait(), 1) << again.Output();
    EXPECT_NE(again.Output().find("Read error (code 031100)"), std::string::npos);
    ExpectOnlyWholeTracks(folder.Path(), kTracks);
}

} // namespace
} // namespace vindral
