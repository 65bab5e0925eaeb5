// The media command strings: the player speaks them, the interpreter in this
// folder parses them. And the seam that carries them to a device.
#pragma once

#include <cstdint>
#include <string>

namespace vindral {

// Sends one media command string. Returns 0 on success, with the device's
// answer in `reply`; any other value is an error code and leaves `reply` as
// it was.
class MediaCommands {
public:
    virtual ~MediaCommands() = default;
    virtual int Send(const std::string& command, std::string& reply) = 0;
};

// The command strings, all with the fixed alias.
namespace media {
inline constexpr const char* kAlias = "vindralwave";
inline constexpr const char* kClose = "close vindralwave";
inline constexpr const char* kTimeFormat = "set vindralwave time format milliseconds";
inline constexpr const char* kPause = "pause vindralwave";
inline constexpr const char* kStop = "stop vindralwave";
inline constexpr const char* kStatusPosition = "status vindralwave position";
std::string OpenCommand(const std::string& path);   // "open waveaudio!%s alias vindralwave"
std::string PlayFromCommand(uint32_t milliseconds); // "play vindralwave from %lu"
} // namespace media

} // namespace vindral
