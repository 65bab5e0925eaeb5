// A disc behind the recording backend, a view that records what the run
// shows, and a temporary folder: everything a run needs in a test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "drive/RecordingBackend.h"
#include "extract/RunProtocol.h"

namespace vindral::test {

// The bytes of a synthetic disc: distinct for every sector and position.
inline uint8_t DiscByte(SectorAddress address, int offset) {
    return static_cast<uint8_t>((address * 7 + offset * 13 + (offset >> 8) + (address >> 4)) & 0xFF);
}

class FakeDisc {
public:
    std::set<SectorAddress> unreadable;
    bool acceptReadCd = true;
    bool acceptReadCdda = true;
    // What MODE SENSE page 0x2A reports, in kB/s.
    int32_t maximumKBps = 7056;
    int32_t currentKBps = 7056;
    bool acceptRead10 = true;
    bool c2Supported = true;
    // Byte offsets (within the sector) whose C2 bit is set.
    std::map<SectorAddress, std::vector<int>> c2Flagged;
    // Byte offsets that read differently from the second read on.
    std::map<SectorAddress, std::vector<int>> unstable;
    // Called on the reading thread before a read is answered.
    std::function<void(SectorAddress)> onRead;
    std::atomic<uint32_t> blockLength{2048};

    int32_t Respond(const RecordedCommand& command, uint8_t* buffer, SenseResult& sense) {
        const uint8_t* cdb = command.cdb.data();
        switch (cdb[0]) {
        case 0x55:
            if (command.dataSent.size() >= 16) {
                blockLength = (command.dataSent[13] << 16) | (command.dataSent[14] << 8) |
                              command.dataSent[15];
            }
            return kStatusOk;
        case 0xBE:
            if (!acceptReadCd || (cdb[9] != 0x10 && !c2Supported)) {
                return Refuse(sense, 0x05, 0x20);
            }
            return Read(Address(cdb), Count24(cdb + 6), buffer, cdb[9] != 0x10, sense);
        case 0x5A: // page 0x2A: the maximum and the current speed
            std::fill(buffer, buffer + command.length, uint8_t{0});
            if (command.length >= 24) {
                buffer[16] = static_cast<uint8_t>(maximumKBps >> 8);
                buffer[17] = static_cast<uint8_t>(maximumKBps);
                buffer[22] = static_cast<uint8_t>(currentKBps >> 8);
                buffer[23] = static_cast<uint8_t>(currentKBps);
            }
            return kStatusOk;
        case 0xD8:
            if (!acceptReadCdda) {
                return Refuse(sense, 0x05, 0x20);
            }
            return Read(Address(cdb), Count24(cdb + 7), buffer, false, sense);
        case 0x28:
            if (!acceptRead10 || blockLength != 2352) {
                return Refuse(sense, 0x05, 0x20);
            }
            return Read(Address(cdb), (cdb[7] << 8) | cdb[8], buffer, false, sense);
        default:
            return kStatusOk;
        }
    }

    int ReadsOf(SectorAddress address) const {
        const auto it = reads_.find(address);
        return it == reads_.end() ? 0 : it->second;
    }

private:
    static SectorAddress Address(const uint8_t* cdb) {
        return (cdb[2] << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
    }
    static int Count24(const uint8_t* at) { return (at[0] << 16) | (at[1] << 8) | at[2]; }
    static int32_t Refuse(SenseResult& sense, uint8_t key, uint8_t asc) {
        sense.data[0] = 0x70;
        sense.data[2] = key;
        sense.data[12] = asc;
        return 2;
    }

    int32_t Read(SectorAddress address, int count, uint8_t* buffer, bool c2, SenseResult& sense) {
        if (onRead) {
            onRead(address);
        }
        for (int s = 0; s < count; ++s) {
            if (unreadable.count(address + s) != 0) {
                return Refuse(sense, 0x03, 0x11);
            }
        }
        const int stride = c2 ? 2352 + 294 : 2352;
        for (int s = 0; s < count; ++s) {
            const SectorAddress a = address + s;
            uint8_t* sector = buffer + s * stride;
            for (int i = 0; i < 2352; ++i) {
                sector[i] = DiscByte(a, i);
            }
            const int reads = ++reads_[a];
            if (reads > 1) {
                for (int offset : unstable[a]) {
                    sector[offset] ^= 0x5A;
                }
            }
            if (c2) {
                uint8_t* bits = sector + 2352;
                std::fill(bits, bits + 294, 0);
                for (int offset : c2Flagged[a]) {
                    bits[offset / 8] |= static_cast<uint8_t>(0x80 >> (offset % 8));
                }
            }
        }
        return kStatusOk;
    }

    std::map<SectorAddress, int> reads_;
};

class RecordingView : public RunView {
public:
    std::vector<std::string> lines;
    std::vector<DisplayTexts> shown;
    // The texts as they stood when each log line was added.
    std::vector<DisplayTexts> textsAtLine;
    DisplayTexts current;
    int draws = 0;
    int lastBar = -1;
    bool ended = false;
    bool playerStarted = false;
    bool playerClosed = false;
    std::string cancelCaption;

    void ShowTexts(const DisplayTexts& texts) override {
        current = texts;
        shown.push_back(texts);
    }
    void LogLineAdded(const std::string& line, int) override {
        lines.push_back(line);
        textsAtLine.push_back(current);
    }
    void SetProgressBar(int percent) override { lastBar = percent; }
    void SetCancelCaption(const std::string& caption) override { cancelCaption = caption; }
    void EndDialog() override { ended = true; }
    void DrawBlockColumn(SectorAddress, int32_t, int32_t) override { ++draws; }
    void StartPlayer() override { playerStarted = true; }
    void ClosePlayer() override { playerClosed = true; }
};

// Sets (or, with nullptr, removes) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
            had_ = true;
        }
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { had_ ? ::setenv(name_.c_str(), old_.c_str(), 1) : ::unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vindral-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        path_ += '/';
    }
    ~TempFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

// Every name in the folder, sorted.
inline std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Files of this process may not grow beyond `bytes` while it lives: writes
// past it fail as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = old_;
        limited.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    struct rlimit old_ {};
    void (*previous_)(int) = nullptr;
};

// The recording backend with a fake disc, and a clock the test moves.
class RunFixture : public ::testing::Test {
protected:
    void SetUp() override {
        backend = InstallRecordingBackend(&commands);
        backend->responder = [this](const RecordedCommand& command, uint8_t* buffer,
                                    SenseResult& sense) { return disc.Respond(command, buffer, sense); };
    }
    void TearDown() override { ResetTransportForTesting(); }

    ExtractJob Job(const std::vector<TrackEntry>& tracks, bool verify, bool readTwice = true,
                   int32_t method = kReadCd) {
        ExtractJob job;
        for (const TrackEntry& track : tracks) {
            char name[32];
            std::snprintf(name, sizeof name, "Track%02d.wav", track.number);
            job.tracks.push_back({folder.Path() + name, track});
            job.totalSectors += track.length;
        }
        job.hostAdapter = 0;
        job.target = 1;
        job.verify = verify;
        job.readTwice = readTwice;
        job.readMethod = method;
        return job;
    }

    platform::TickSource Clock() {
        return [this] { return now.load(); };
    }

    // Runs the window side until no worker runs and the run has stopped, as
    // the command-line front end does, then closes it; `each` runs after
    // every message.
    void RunToStop(RunProtocol& protocol, const std::function<void()>& each = {}) {
        protocol.Open();
        int idle = 0;
        while (protocol.WorkerActive() || !protocol.Run().cancel.load()) {
            if (protocol.WaitAndDispatch(20)) {
                idle = 0;
                if (each) {
                    each();
                }
            } else if (++idle > 500) {
                FAIL() << "the run hangs";
            }
        }
        // The last worker may still be on its way out (deleting its file).
        protocol.Close();
    }

    std::vector<RecordedCommand> commands;
    RecordingBackend* backend = nullptr;
    FakeDisc disc;
    TempFolder folder;
    std::atomic<uint32_t> now{1000};
};

} // namespace vindral::test
