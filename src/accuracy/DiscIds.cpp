#include "accuracy/DiscIds.h"

#include <cstdio>
#include <string_view>

#include <nettle/base64.h>
#include <nettle/sha1.h>

#include "drive/DriveSearch.h"

namespace vindral::accuracy {

namespace {

// One past the last row of the audio session: trailing data tracks are
// dropped when they form a later session (the drive said so, or, when it
// did not, they start far enough after the last audio track to leave the
// gap between sessions).
std::size_t AudioRowsEnd(const DiscToc& toc) {
    std::size_t end = toc.tracks.size();
    while (end > 0 && toc.tracks[end - 1].data) {
        --end;
    }
    if (end == 0 || end == toc.tracks.size()) {
        return toc.tracks.size(); // all data, or ends with audio
    }
    if (toc.lastSessionFirstTrack && *toc.lastSessionFirstTrack > toc.tracks[end].number) {
        return toc.tracks.size(); // the trailing data is in the same session
    }
    if (toc.lastSessionFirstTrack && *toc.lastSessionFirstTrack <= toc.firstTrack) {
        return toc.tracks.size(); // one session only
    }
    if (toc.tracks[end].start - kSessionGapSectors <= toc.tracks[end - 1].start) {
        return toc.tracks.size(); // no room for a session gap: one session
    }
    return end;
}

std::string MusicBrainzBase64(const unsigned char* digest, std::size_t length) {
    std::string text(BASE64_ENCODE_RAW_LENGTH(length), '\0'); // padded with '='
    base64_encode_raw(text.data(), length, digest);
    for (char& c : text) {
        if (c == '+') {
            c = '.';
        } else if (c == '/') {
            c = '_';
        } else if (c == '=') {
            c = '-';
        }
    }
    return text;
}

std::string Sha1Id(std::string_view text) {
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_ctx context;
    sha1_init(&context);
    sha1_update(&context, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
    sha1_digest(&context, sizeof digest, digest);
    return MusicBrainzBase64(digest, sizeof digest);
}

void AppendHex(std::string& text, uint32_t value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, static_cast<unsigned>(value));
    text += buffer;
}

} // namespace

std::string Hex8(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(value));
    return buffer;
}

std::string Upper8(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned>(value));
    return buffer;
}

DiscToc DiscTocFromTable(const TrackTable& table) {
    DiscToc toc;
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        toc.tracks.push_back({entry.number, entry.start, entry.dataTrack != 0});
        toc.leadOut = entry.start + entry.length;
    }
    if (!toc.tracks.empty()) {
        toc.firstTrack = toc.tracks.front().number;
        toc.lastTrack = toc.tracks.back().number;
    }
    return toc;
}

SectorAddress AudioEnd(const DiscToc& toc) {
    const std::size_t end = AudioRowsEnd(toc);
    if (end < toc.tracks.size()) {
        return toc.tracks[end].start - kSessionGapSectors;
    }
    return toc.leadOut;
}

uint32_t CddbId(const DiscToc& toc) {
    uint32_t digits = 0;
    for (const DiscTrack& track : toc.tracks) {
        for (uint32_t seconds = static_cast<uint32_t>((track.start + kLeadInSectors) / 75);
             seconds > 0; seconds /= 10) {
            digits += seconds % 10;
        }
    }
    const SectorAddress first = toc.tracks.empty() ? 0 : toc.tracks.front().start;
    const uint32_t length =
        static_cast<uint32_t>((toc.leadOut + kLeadInSectors) / 75 - (first + kLeadInSectors) / 75);
    return (digits % 255) << 24 | (length & 0xffff) << 8 |
           (static_cast<uint32_t>(toc.tracks.size()) & 0xff);
}

AccurateRipId AccurateRipIdOf(const DiscToc& toc) {
    AccurateRipId id;
    uint32_t index = 0;
    for (const DiscTrack& track : toc.tracks) {
        if (track.data) {
            continue;
        }
        ++index;
        const uint32_t start = static_cast<uint32_t>(track.start);
        id.id1 += start;
        id.id2 += (start > 0 ? start : 1) * index;
    }
    id.audioTracks = static_cast<int>(index);
    const uint32_t leadOut = static_cast<uint32_t>(toc.leadOut);
    id.id1 += leadOut;
    id.id2 += leadOut * (index + 1);
    id.cddb = CddbId(toc);
    return id;
}

std::string AccurateRipId::Text() const {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%03d-%08x-%08x-%08x", audioTracks,
                  static_cast<unsigned>(id1), static_cast<unsigned>(id2),
                  static_cast<unsigned>(cddb));
    return buffer;
}

std::string AccurateRipId::DatabasePath() const {
    const std::string hex = Hex8(id1);
    std::string path;
    path += hex[7];
    path += '/';
    path += hex[6];
    path += '/';
    path += hex[5];
    path += "/dBAR-" + Text() + ".bin";
    return path;
}

std::string MusicBrainzId(const DiscToc& toc) {
    const std::size_t end = AudioRowsEnd(toc);
    std::string text;
    if (end == 0) {
        return Sha1Id(text);
    }
    AppendHex(text, static_cast<uint32_t>(toc.tracks.front().number), 2);
    AppendHex(text, static_cast<uint32_t>(toc.tracks[end - 1].number), 2);
    AppendHex(text, static_cast<uint32_t>(AudioEnd(toc) + kLeadInSectors), 8);
    // 99 slots by track number; those of absent tracks stay 0.
    uint32_t slots[99] = {};
    for (std::size_t k = 0; k < end; ++k) {
        const int number = toc.tracks[k].number;
        if (number >= 1 && number <= 99) {
            slots[number - 1] = static_cast<uint32_t>(toc.tracks[k].start + kLeadInSectors);
        }
    }
    for (uint32_t slot : slots) {
        AppendHex(text, slot, 8);
    }
    return Sha1Id(text);
}

std::string CtdbTocId(const DiscToc& toc) {
    const std::size_t end = AudioRowsEnd(toc);
    std::vector<SectorAddress> audio;
    for (std::size_t k = 0; k < end; ++k) {
        if (!toc.tracks[k].data) {
            audio.push_back(toc.tracks[k].start);
        }
    }
    std::string text;
    if (!audio.empty()) {
        const SectorAddress base = audio.front();
        for (std::size_t k = 1; k < audio.size(); ++k) {
            AppendHex(text, static_cast<uint32_t>(audio[k] - base), 8);
        }
        // The end of the last audio track: the next row's start (a data
        // track in the same session) or the audio end.
        SectorAddress audioEnd = AudioEnd(toc);
        for (std::size_t k = end; k-- > 0;) {
            if (!toc.tracks[k].data) {
                if (k + 1 < end) {
                    audioEnd = toc.tracks[k + 1].start;
                }
                break;
            }
        }
        AppendHex(text, static_cast<uint32_t>(audioEnd - base), 8);
    }
    const std::size_t slots = audio.empty() ? 100 : 100 - audio.size();
    text.append(slots * 8, '0');
    return Sha1Id(text);
}

} // namespace vindral::accuracy
