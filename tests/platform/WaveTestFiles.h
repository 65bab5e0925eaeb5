// WAV files for the media tests, written to a private temporary folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace vindral::testing {

// Frame i holds i in its two samples: left the low 16 bits, right the high
// ones, so that every frame of a test file is recognisable.
inline void AppendFrame(std::vector<uint8_t>& out, uint32_t i) {
    out.push_back(static_cast<uint8_t>(i));
    out.push_back(static_cast<uint8_t>(i >> 8));
    out.push_back(static_cast<uint8_t>(i >> 16));
    out.push_back(static_cast<uint8_t>(i >> 24));
}

inline void Append32(std::vector<uint8_t>& out, uint32_t v) { AppendFrame(out, v); }

inline void Append16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Byte by byte: GCC 12 at -O2 takes a range insert into a fresh vector for
// an overflow (-Wstringop-overflow) and the build treats warnings as errors.
inline void AppendTag(std::vector<uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

struct WaveLayout {
    uint16_t formatTag = 1;
    uint16_t channels = 2;
    uint32_t rate = 44100;
    uint16_t bits = 16;
    uint32_t frames = 0;
    // An odd-sized chunk before the format chunk, as some writers add.
    bool listChunkFirst = false;
    // The data chunk's size field claims this many more bytes than follow.
    uint32_t claimExtra = 0;
};

inline std::vector<uint8_t> WaveBytes(const WaveLayout& layout) {
    const uint16_t blockAlign = static_cast<uint16_t>(layout.channels * layout.bits / 8);
    std::vector<uint8_t> body;
    AppendTag(body, "WAVE");
    if (layout.listChunkFirst) {
        AppendTag(body, "LIST");
        Append32(body, 5);
        body.insert(body.end(), {'I', 'N', 'F', 'O', 'x', 0}); // 5 bytes and a pad byte
    }
    AppendTag(body, "fmt ");
    Append32(body, 16);
    Append16(body, layout.formatTag);
    Append16(body, layout.channels);
    Append32(body, layout.rate);
    Append32(body, layout.rate * blockAlign);
    Append16(body, blockAlign);
    Append16(body, layout.bits);
    AppendTag(body, "data");
    Append32(body, layout.frames * 4 + layout.claimExtra);
    for (uint32_t i = 0; i < layout.frames; ++i) {
        AppendFrame(body, i);
    }
    std::vector<uint8_t> file;
    AppendTag(file, "RIFF");
    Append32(file, static_cast<uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// A folder of its own under the system's temporary folder, removed with it.
class TempFolder {
public:
    TempFolder() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("vindral-media-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }
    std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

} // namespace vindral::testing
