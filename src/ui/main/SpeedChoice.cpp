#include "ui/main/SpeedChoice.h"

#include <cstdio>

#include "drive/CdCommands.h"

namespace vindral::ui {

std::optional<uint16_t> SpeedForChoice(int index) {
    static constexpr std::array<int, 9> multiples = {0, 0, 32, 16, 12, 8, 4, 2, 1};
    if (index == 1) {
        return uint16_t{0xFFFF};
    }
    if (index < 2 || index >= static_cast<int>(multiples.size())) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(multiples[static_cast<std::size_t>(index)] * 177);
}

std::string SpeedIndicatorText(int32_t status, int32_t currentKBps) {
    if (status != 1) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%d X", static_cast<int>(currentKBps / 176));
    return text;
}

void ChooseSpeed(uint8_t hostAdapter, uint8_t target, int index) {
    if (const auto speed = SpeedForChoice(index)) {
        (void)CdCommands::SetReadSpeed(hostAdapter, target, *speed);
    }
}

std::string SenseSpeedIndicator(uint8_t hostAdapter, uint8_t target) {
    int32_t maximum = 0;
    int32_t current = 0;
    const int32_t status = CdCommands::SenseReadSpeeds(hostAdapter, target, &maximum, &current);
    return SpeedIndicatorText(status, current);
}

} // namespace vindral::ui
