#include "drive/SubChannel.h"

#include <algorithm>
#include <map>

namespace vindral {

uint16_t SubChannelCrc(const uint8_t* data, std::size_t length) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

std::array<uint8_t, 12> DeinterleaveQ(const uint8_t* pw96) {
    std::array<uint8_t, 12> q{};
    for (int i = 0; i < 96; ++i) {
        if (pw96[i] & 0x40) {
            q[static_cast<std::size_t>(i / 8)] |= static_cast<uint8_t>(0x80 >> (i % 8));
        }
    }
    return q;
}

SectorAddress MsfToAddress(int minutes, int seconds, int frames) {
    return (minutes * 60 + seconds) * 75 + frames - 150;
}

void AddressToMsf(SectorAddress address, int& minutes, int& seconds, int& frames) {
    const int32_t absolute = address + 150;
    minutes = absolute / 4500;
    seconds = (absolute / 75) % 60;
    frames = absolute % 75;
}

int FromBcd(uint8_t value) {
    const int high = value >> 4;
    const int low = value & 0x0F;
    return (high > 9 || low > 9) ? -1 : high * 10 + low;
}

namespace {

// The nibble `n` of bytes `at` (the high nibble first).
int Nibble(const uint8_t* at, int n) {
    const uint8_t byte = at[n / 2];
    return (n % 2 == 0) ? byte >> 4 : byte & 0x0F;
}

// Six-bit characters of the ISRC: 0-9 are 0x00-0x09, A-Z 0x11-0x2A.
char IsrcCharacter(int code) {
    if (code <= 9) {
        return static_cast<char>('0' + code);
    }
    if (code >= 0x11 && code <= 0x2A) {
        return static_cast<char>('A' + code - 0x11);
    }
    return '?';
}

bool AllZero(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '0'; });
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

} // namespace

std::optional<QFrame> DecodeQ(const uint8_t* q) {
    const uint16_t stored = static_cast<uint16_t>((q[10] << 8) | q[11]);
    if (SubChannelCrc(q, 10) != stored) {
        return std::nullopt;
    }
    QFrame frame;
    frame.control = q[0] >> 4;
    frame.adr = q[0] & 0x0F;
    switch (frame.adr) {
    case 1: {
        const int track = q[1] == 0xAA ? 0xAA : FromBcd(q[1]);
        const int index = FromBcd(q[2]);
        const int times[6] = {FromBcd(q[3]), FromBcd(q[4]), FromBcd(q[5]),
                              FromBcd(q[7]), FromBcd(q[8]), FromBcd(q[9])};
        if (track < 0 || index < 0 || std::any_of(times, times + 6, [](int v) { return v < 0; })) {
            return std::nullopt;
        }
        frame.track = track;
        frame.index = index;
        frame.relative = (times[0] * 60 + times[1]) * 75 + times[2];
        frame.absolute = MsfToAddress(times[3], times[4], times[5]);
        break;
    }
    case 2: {
        std::string mcn;
        for (int n = 0; n < 13; ++n) {
            const int digit = Nibble(q + 1, n);
            mcn += digit <= 9 ? static_cast<char>('0' + digit) : '?';
        }
        frame.mcn = ValidCatalogNumber(mcn) ? mcn : std::string();
        frame.absoluteFrame = FromBcd(q[9]);
        break;
    }
    case 3: {
        // Five six-bit characters in bytes 1-4, seven BCD digits from byte 5.
        const uint32_t bits = (uint32_t{q[1]} << 24) | (uint32_t{q[2]} << 16) |
                              (uint32_t{q[3]} << 8) | q[4];
        std::string isrc;
        for (int c = 0; c < 5; ++c) {
            isrc += IsrcCharacter(static_cast<int>((bits >> (26 - 6 * c)) & 0x3F));
        }
        for (int n = 0; n < 7; ++n) {
            const int digit = Nibble(q + 5, n);
            isrc += digit <= 9 ? static_cast<char>('0' + digit) : '?';
        }
        frame.isrc = ValidIsrc(isrc) ? isrc : std::string();
        frame.absoluteFrame = FromBcd(q[9]);
        break;
    }
    default:
        break;
    }
    return frame;
}

bool ValidCatalogNumber(const std::string& mcn) {
    return mcn.size() == 13 && std::all_of(mcn.begin(), mcn.end(), IsDigit) && !AllZero(mcn);
}

bool ValidIsrc(const std::string& isrc) {
    if (isrc.size() != 12 || AllZero(isrc)) {
        return false;
    }
    for (std::size_t i = 0; i < 12; ++i) {
        const char c = isrc[i];
        const bool ok = i < 2 ? IsUpper(c) : i < 5 ? (IsUpper(c) || IsDigit(c)) : IsDigit(c);
        if (!ok) {
            return false;
        }
    }
    return true;
}

TrackFlags FlagsOfControl(uint8_t control) {
    TrackFlags flags;
    flags.preEmphasis = (control & 0x01) != 0;
    flags.copyPermitted = (control & 0x02) != 0;
    flags.data = (control & 0x04) != 0;
    flags.fourChannel = (control & 0x08) != 0;
    return flags;
}

std::optional<FullToc> ParseFullToc(const uint8_t* answer, std::size_t size) {
    if (answer == nullptr || size < 4) {
        return std::nullopt;
    }
    std::size_t valid = 2 + ((static_cast<std::size_t>(answer[0]) << 8) | answer[1]);
    valid = std::min(valid, size);
    FullToc toc;
    toc.firstSession = answer[2];
    toc.lastSession = answer[3];
    struct Points {
        std::optional<int> first, last;
        std::optional<SectorAddress> leadOut;
    };
    std::map<int, Points> sessions;
    for (std::size_t at = 4; at + 11 <= valid; at += 11) {
        const uint8_t* d = answer + at;
        FullTocEntry entry;
        entry.session = d[0];
        // Byte 1 holds ADR in the upper nibble and control in the lower.
        entry.adr = static_cast<uint8_t>(d[1] >> 4);
        entry.control = static_cast<uint8_t>(d[1] & 0x0F);
        entry.point = d[3];
        entry.pmin = d[8];
        entry.psec = d[9];
        entry.pframe = d[10];
        if (entry.adr != 1 || entry.session == 0 || entry.pmin > 99 || entry.psec > 59 ||
            entry.pframe > 74) {
            continue; // B0, C0 and the like, or a malformed point
        }
        Points& points = sessions[entry.session];
        if (entry.point >= 1 && entry.point <= 99) {
            toc.tracks.push_back({entry.point, entry.session, entry.control, entry.adr,
                                  MsfToAddress(entry.pmin, entry.psec, entry.pframe)});
        } else if (entry.point == 0xA0) {
            points.first = entry.pmin;
        } else if (entry.point == 0xA1) {
            points.last = entry.pmin;
        } else if (entry.point == 0xA2) {
            points.leadOut = MsfToAddress(entry.pmin, entry.psec, entry.pframe);
        }
    }
    if (toc.tracks.empty()) {
        return std::nullopt;
    }
    for (const auto& [number, points] : sessions) {
        if (!points.first || !points.last || !points.leadOut || *points.last < *points.first) {
            return std::nullopt;
        }
        toc.sessions.push_back({number, *points.first, *points.last, *points.leadOut});
    }
    std::sort(toc.tracks.begin(), toc.tracks.end(),
              [](const FullTocTrack& a, const FullTocTrack& b) { return a.start < b.start; });
    return toc;
}

} // namespace vindral
