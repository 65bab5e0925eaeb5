#include "drive/CdText.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "drive/SubChannel.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace vindral {

namespace {

struct Pack {
    uint8_t type;
    int track;
    int sequence;
    int block;
    int position; // characters of the first string before this pack
    bool doubleByte;
    const uint8_t* payload; // 12 bytes
};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string ShiftJisToUtf8(const std::string& bytes) {
#if defined(_WIN32)
    const int wide = MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()),
                                         nullptr, 0);
    if (wide <= 0) {
        return std::string(bytes.size() / 2, '?');
    }
    std::wstring text(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), wide);
    const int narrow =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(narrow, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), narrow, nullptr, nullptr);
    return out;
#else
    iconv_t converter = iconv_open("UTF-8", "SHIFT_JIS");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return std::string(bytes.size() / 2, '?');
    }
    std::string out;
    std::string in = bytes;
    char* from = in.data();
    std::size_t left = in.size();
    char buffer[256];
    while (left > 0) {
        char* to = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t result = iconv(converter, &from, &left, &to, &room);
        out.append(buffer, static_cast<std::size_t>(to - buffer));
        if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A byte pair the converter does not know: one '?' for it.
            out += '?';
            const std::size_t skip = std::min<std::size_t>(left, 2);
            from += skip;
            left -= skip;
        }
    }
    iconv_close(converter);
    return out;
#endif
}

// The strings of one kind in one block: the payloads of its packs in order
// of sequence, cut at each terminator (one NUL, or two in double-byte
// text). After a lost pack the string it touched is dropped.
std::map<int, std::string> SplitStrings(const std::vector<Pack>& packs, bool doubleByte) {
    std::map<int, std::string> strings;
    const std::size_t unit = doubleByte ? 2 : 1;
    std::string current;
    int track = 0;
    bool whole = false;
    int previousSequence = -2;
    for (const Pack& pack : packs) {
        if (pack.sequence != previousSequence + 1) {
            // The start, or a gap: pick up at this pack's track. Its first
            // string is whole only when the pack starts it.
            track = pack.track;
            current.clear();
            whole = pack.position == 0;
        }
        previousSequence = pack.sequence;
        for (std::size_t at = 0; at + unit <= 12; at += unit) {
            const uint8_t* c = pack.payload + at;
            const bool terminator = c[0] == 0 && (unit == 1 || c[1] == 0);
            if (!terminator) {
                current.append(reinterpret_cast<const char*>(c), unit);
                continue;
            }
            if (whole && track <= 99) {
                strings[track] = current;
            }
            ++track;
            current.clear();
            whole = true;
        }
    }
    return strings;
}

bool IsText(uint8_t type) {
    return (type >= kCdTextTitle && type <= kCdTextDiscId) || type == kCdTextUpcIsrc;
}

} // namespace

std::string CdTextToUtf8(const std::string& bytes, uint8_t charset) {
    if (charset == kCdTextMsJis) {
        return ShiftJisToUtf8(bytes);
    }
    std::string out;
    for (const char c : bytes) {
        const auto code = static_cast<uint8_t>(c);
        if (charset == kCdTextAscii && (code < 0x20 || code > 0x7E)) {
            out += '?';
        } else if (code < 0x20 && code != '\t') {
            out += '?';
        } else {
            AppendUtf8(out, code);
        }
    }
    return out;
}

std::string CdTextBlock::Get(CdTextKind kind, int track) const {
    const auto& items = text[static_cast<std::size_t>(kind - 0x80)];
    const auto found = items.find(track);
    return found == items.end() ? std::string() : found->second;
}

bool CdTextBlock::Empty() const {
    return std::all_of(text.begin(), text.end(), [](const auto& items) { return items.empty(); });
}

std::vector<CdTextBlock> DecodeCdTextPacks(const uint8_t* data, std::size_t size) {
    std::array<std::vector<Pack>, 8> byBlock;
    for (std::size_t at = 0; at + kCdTextPackBytes <= size; at += kCdTextPackBytes) {
        const uint8_t* p = data + at;
        const uint16_t stored = static_cast<uint16_t>((p[16] << 8) | p[17]);
        if (p[0] < 0x80 || p[0] > 0x8F || SubChannelCrc(p, 16) != stored) {
            continue;
        }
        Pack pack{p[0],          p[1] & 0x7F,  p[2], (p[3] >> 4) & 0x07,
                  p[3] & 0x0F,   (p[3] & 0x80) != 0, p + 4};
        byBlock[static_cast<std::size_t>(pack.block)].push_back(pack);
    }
    std::vector<CdTextBlock> blocks;
    for (int number = 0; number < 8; ++number) {
        std::vector<Pack>& packs = byBlock[static_cast<std::size_t>(number)];
        if (packs.empty()) {
            continue;
        }
        std::stable_sort(packs.begin(), packs.end(),
                         [](const Pack& a, const Pack& b) { return a.sequence < b.sequence; });
        CdTextBlock block;
        block.number = number;
        auto ofType = [&packs](uint8_t type) {
            std::vector<Pack> chosen;
            std::copy_if(packs.begin(), packs.end(), std::back_inserter(chosen),
                         [type](const Pack& p) { return p.type == type; });
            return chosen;
        };
        bool doubleByte = std::any_of(packs.begin(), packs.end(),
                                      [](const Pack& p) { return p.doubleByte; });
        block.charset = doubleByte ? kCdTextMsJis : kCdTextIso8859_1;
        // The size information: three packs, 36 bytes.
        const std::vector<Pack> sizeInfo = ofType(kCdTextSizeInfo);
        for (const Pack& pack : sizeInfo) {
            const int part = pack.track; // 0, 1, 2: which 12 bytes of the 36
            if (part == 0) {
                block.charset = pack.payload[0];
                doubleByte = block.charset == kCdTextMsJis;
            } else if (part == 2) {
                block.language = pack.payload[4 + number];
            }
        }
        for (uint8_t type = kCdTextTitle; type <= kCdTextUpcIsrc; ++type) {
            if (!IsText(type)) {
                continue;
            }
            // The UPC/EAN and the ISRCs are always single-byte ASCII.
            const bool wide = doubleByte && type != kCdTextUpcIsrc && type != kCdTextDiscId;
            uint8_t charset = block.charset;
            if (wide) {
                charset = kCdTextMsJis;
            } else if (type == kCdTextUpcIsrc || block.charset == kCdTextMsJis) {
                charset = kCdTextAscii;
            }
            std::map<int, std::string> strings = SplitStrings(ofType(type), wide);
            auto& items = block.text[static_cast<std::size_t>(type - 0x80)];
            const std::string tab = wide ? std::string("\t\t") : std::string("\t");
            std::string previous;
            int previousTrack = -2;
            for (const auto& [track, raw] : strings) {
                std::string text;
                if (raw == tab) {
                    // The same as the track before (which must have come through).
                    if (previousTrack != track - 1) {
                        continue;
                    }
                    text = previous;
                } else {
                    text = CdTextToUtf8(raw, charset);
                }
                previous = text;
                previousTrack = track;
                if (!text.empty()) {
                    items[track] = text;
                }
            }
        }
        // Genre: two bytes of genre code, then a text, for the disc.
        std::string genre;
        int expected = -1;
        bool whole = true;
        for (const Pack& pack : ofType(kCdTextGenre)) {
            whole = whole && (expected < 0 || pack.sequence == expected);
            expected = pack.sequence + 1;
            genre.append(reinterpret_cast<const char*>(pack.payload), 12);
        }
        if (whole && genre.size() >= 2) {
            block.genreCode = (static_cast<uint8_t>(genre[0]) << 8) | static_cast<uint8_t>(genre[1]);
            const std::string text = genre.substr(2, genre.find('\0', 2) - 2);
            if (!text.empty()) {
                block.text[kCdTextGenre - 0x80][0] =
                    CdTextToUtf8(text, block.charset == kCdTextMsJis ? uint8_t{kCdTextAscii}
                                                                     : block.charset);
            }
        }
        if (!block.Empty() || !sizeInfo.empty()) {
            blocks.push_back(std::move(block));
        }
    }
    return blocks;
}

std::vector<CdTextBlock> DecodeCdText(const uint8_t* answer, std::size_t size) {
    if (answer == nullptr || size < 4) {
        return {};
    }
    const std::size_t valid =
        std::min(size, 2 + ((static_cast<std::size_t>(answer[0]) << 8) | answer[1]));
    if (valid <= 4) {
        return {};
    }
    return DecodeCdTextPacks(answer + 4, valid - 4);
}

} // namespace vindral
