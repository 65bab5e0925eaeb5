#include "platform/media/MediaCommands.h"

#include <cstdio>

namespace vindral::media {

std::string OpenCommand(const std::string& path) {
    return "open waveaudio!" + path + " alias vindralwave";
}

std::string PlayFromCommand(uint32_t milliseconds) {
    char text[64];
    std::snprintf(text, sizeof text, "play vindralwave from %lu",
                  static_cast<unsigned long>(milliseconds));
    return text;
}

} // namespace vindral::media
