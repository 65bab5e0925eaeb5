#include "drive/emulated/SubChannel.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace vindral::emulated {

namespace {

uint8_t Bcd(int value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

// Minutes, seconds and frames of a count of sectors, in BCD.
void PutBcdTime(uint8_t* p, int32_t sectors) {
    p[0] = Bcd(sectors / kSectorsPerMinute);
    p[1] = Bcd((sectors / kSectorsPerSecond) % 60);
    p[2] = Bcd(sectors % kSectorsPerSecond);
}

// Writes bits into the 9 data bytes of a Q frame, most significant first.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    void Put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if ((value >> i) & 1) {
                out_[at_ / 8] |= static_cast<uint8_t>(0x80 >> (at_ % 8));
            }
            ++at_;
        }
    }

private:
    uint8_t* out_;
    int at_ = 0;
};

void SealFrame(QFrame& q) {
    const uint16_t crc = SubChannelCrc(q.data(), 10);
    q[10] = static_cast<uint8_t>(crc >> 8);
    q[11] = static_cast<uint8_t>(crc);
}

// The CD-Text genre codes, by their names.
constexpr const char* kGenres[] = {
    "",           "",            "Adult Contemporary", "Alternative Rock", "Childrens Music",
    "Classical",  "Contemporary Christian", "Country", "Dance",     "Easy Listening",
    "Erotic",     "Folk",        "Gospel",             "Hip Hop",          "Jazz",
    "Latin",      "Musical",     "New Age",            "Opera",            "Operetta",
    "Pop Music",  "Rap",         "Reggae",             "Rock Music",       "Rhythm & Blues",
    "Sound Effects", "Spoken Word", "World Music"};

bool SameLetters(const std::string& a, const char* b) {
    const std::size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Cuts the strings of one pack type (one per track, the disc's as track 0)
// into packs.
class PackWriter {
public:
    explicit PackWriter(std::vector<uint8_t>& out) : out_(out) {}

    // `items`: (track number, bytes of the string without its terminator).
    void Add(uint8_t type, const std::vector<std::pair<int, std::string>>& items) {
        std::vector<uint8_t> stream;
        std::vector<std::pair<int, std::size_t>> owners; // per byte: track, position in string
        for (const auto& [track, text] : items) {
            for (std::size_t i = 0; i <= text.size(); ++i) {
                stream.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
                owners.emplace_back(track, i);
            }
        }
        for (std::size_t at = 0; at < stream.size(); at += 12) {
            uint8_t pack[18] = {};
            pack[0] = type;
            pack[1] = static_cast<uint8_t>(owners[at].first);
            pack[2] = static_cast<uint8_t>(sequence_++);
            pack[3] = static_cast<uint8_t>(std::min<std::size_t>(owners[at].second, 15));
            const std::size_t n = std::min<std::size_t>(12, stream.size() - at);
            std::memcpy(pack + 4, stream.data() + at, n);
            Seal(pack);
            ++counts_[type & 0x0F];
        }
    }

    // The three size-information packs that close the block.
    void Finish(int firstTrack, int lastTrack) {
        counts_[0x0F] += 3;
        uint8_t info[36] = {};
        info[0] = 0x00; // ISO 8859-1
        info[1] = static_cast<uint8_t>(firstTrack);
        info[2] = static_cast<uint8_t>(lastTrack);
        for (int i = 0; i < 16; ++i) {
            info[4 + i] = static_cast<uint8_t>(counts_[i]);
        }
        info[20] = static_cast<uint8_t>(sequence_ + 2); // the last sequence number of block 0
        info[28] = 0x09;                                // English
        for (int i = 0; i < 3; ++i) {
            uint8_t pack[18] = {};
            pack[0] = 0x8F;
            pack[1] = static_cast<uint8_t>(i);
            pack[2] = static_cast<uint8_t>(sequence_++);
            std::memcpy(pack + 4, info + 12 * i, 12);
            Seal(pack);
        }
    }

    int Count() const { return sequence_; }

private:
    void Seal(uint8_t* pack) {
        const uint16_t crc = SubChannelCrc(pack, 16);
        pack[16] = static_cast<uint8_t>(crc >> 8);
        pack[17] = static_cast<uint8_t>(crc);
        out_.insert(out_.end(), pack, pack + 18);
    }

    std::vector<uint8_t>& out_;
    int sequence_ = 0;
    int counts_[16] = {};
};

} // namespace

QFrame MakeQFrame(const Disc& disc, SectorAddress address) {
    QFrame q{};
    const auto& tracks = disc.Tracks();
    if (tracks.empty()) {
        return q;
    }
    const int32_t absolute = address + 150;
    const auto aframe = Bcd(static_cast<int>(((absolute % kSectorsPerSecond) + kSectorsPerSecond) %
                                             kSectorsPerSecond));
    SectorPosition position;
    const DiscTrack* track = nullptr;
    int number = 0xAA;
    if (disc.Position(address, position)) {
        track = position.track;
        number = track->number;
    } else if (address < 0) {
        track = &tracks.front();
        number = track->number;
        position = SectorPosition{track, 0, address - track->start};
    } else {
        // A lead-out: of the session that ends before the address.
        track = &tracks.front();
        for (const DiscTrack& t : tracks) {
            if (t.start <= address) {
                track = &t;
            }
        }
        const SectorAddress leadOut = disc.SessionLeadOut(track->session);
        position = SectorPosition{track, 1, address - leadOut};
    }
    const uint8_t control =
        static_cast<uint8_t>((track->controlFlags & 0x0B) | (track->data ? 0x04 : 0x00));
    const std::string& catalog = disc.Fields().catalog;
    const auto trackIndex = static_cast<std::size_t>(track - tracks.data());
    const std::string isrc = number != 0xAA ? TrackIsrc(disc, trackIndex) : std::string();
    const int32_t slot = ((address % 100) + 100) % 100;
    if (slot == 17 && catalog.size() == 13) {
        q[0] = static_cast<uint8_t>((control << 4) | 2);
        BitWriter bits(q.data() + 1);
        for (const char c : catalog) {
            bits.Put(static_cast<uint32_t>(c - '0'), 4);
        }
        bits.Put(0, 12);
        bits.Put(aframe, 8);
    } else if (slot == 53 && isrc.size() == 12 && !track->data && position.index > 0 &&
               number != 0xAA) {
        q[0] = static_cast<uint8_t>((control << 4) | 3);
        BitWriter bits(q.data() + 1);
        for (int i = 0; i < 5; ++i) {
            const char c = isrc[static_cast<std::size_t>(i)];
            bits.Put(static_cast<uint32_t>(c >= 'A' ? c - 'A' + 0x11 : c - '0'), 6);
        }
        bits.Put(0, 2);
        for (int i = 5; i < 12; ++i) {
            bits.Put(static_cast<uint32_t>(isrc[static_cast<std::size_t>(i)] - '0'), 4);
        }
        bits.Put(0, 4);
        bits.Put(aframe, 8);
    } else {
        q[0] = static_cast<uint8_t>((control << 4) | 1);
        q[1] = number == 0xAA ? 0xAA : Bcd(number);
        q[2] = Bcd(position.index);
        // In a pregap the time runs down to zero at its last sector.
        PutBcdTime(&q[3], position.relative < 0 ? -position.relative - 1 : position.relative);
        PutBcdTime(&q[7], std::max(0, absolute));
    }
    SealFrame(q);
    return q;
}

void MakeRawSubChannel(const QFrame& q, bool pause, uint8_t* out) {
    for (int i = 0; i < 96; ++i) {
        const bool bit = (q[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1;
        out[i] = static_cast<uint8_t>((pause ? 0x80 : 0x00) | (bit ? 0x40 : 0x00));
    }
}

std::string TrackIsrc(const Disc& disc, std::size_t index) {
    if (index >= disc.TrackFields().size()) {
        return {};
    }
    std::string isrc = disc.TrackFields()[index].isrc;
    for (char& c : isrc) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return isrc;
}

std::string ToLatin1(const std::string& utf8) {
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= utf8.size()) {
            out += '?';
            ++i;
            continue;
        }
        uint32_t code = extra == 0 ? c : c & (0x3Fu >> extra);
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            valid = valid && (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid || code == 0) {
            out += '?';
            ++i;
            continue;
        }
        out += code <= 0xFF ? static_cast<char>(code) : '?';
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::vector<uint8_t> MakeCdTextPacks(const Disc& disc) {
    const auto& tracks = disc.Tracks();
    const DiscFields& own = disc.Fields();
    const auto& trackFields = disc.TrackFields();
    if (tracks.empty() || trackFields.size() != tracks.size()) {
        return {};
    }
    using Member = std::string DiscFields::*;
    constexpr Member kTexts[] = {&DiscFields::title,    &DiscFields::performer,
                                 &DiscFields::songwriter, &DiscFields::composer,
                                 &DiscFields::arranger, &DiscFields::message};
    bool any = !own.discId.empty() || !own.genre.empty();
    for (const Member member : kTexts) {
        any = any || !(own.*member).empty();
        for (const DiscFields& fields : trackFields) {
            any = any || !(fields.*member).empty();
        }
    }
    if (!any) {
        return {};
    }
    // The strings of every pack type, in the order of the types.
    std::vector<std::pair<uint8_t, std::vector<std::pair<int, std::string>>>> types;
    for (std::size_t m = 0; m < std::size(kTexts); ++m) {
        const Member member = kTexts[m];
        bool present = !(own.*member).empty();
        for (const DiscFields& fields : trackFields) {
            present = present || !(fields.*member).empty();
        }
        if (!present) {
            continue;
        }
        std::vector<std::pair<int, std::string>> items{{0, ToLatin1(own.*member)}};
        for (std::size_t t = 0; t < tracks.size(); ++t) {
            const std::string& text = trackFields[t].*member;
            const bool same = t > 0 && !text.empty() && text == trackFields[t - 1].*member;
            items.emplace_back(tracks[t].number, same ? "\t" : ToLatin1(text));
        }
        types.emplace_back(static_cast<uint8_t>(0x80 + m), std::move(items));
    }
    if (!own.discId.empty()) {
        types.push_back({0x86, {{0, ToLatin1(own.discId)}}});
    }
    if (!own.genre.empty()) {
        int code = 1; // not defined: the text says it
        for (int g = 2; g < static_cast<int>(std::size(kGenres)); ++g) {
            if (SameLetters(own.genre, kGenres[g])) {
                code = g;
            }
        }
        std::string bytes{static_cast<char>(code >> 8), static_cast<char>(code)};
        types.push_back({0x87, {{0, bytes + ToLatin1(own.genre)}}});
    }
    const std::string& upc = !own.upcEan.empty() ? own.upcEan : own.catalog;
    bool codes = !upc.empty();
    for (const DiscFields& fields : trackFields) {
        codes = codes || !fields.isrc.empty();
    }
    if (codes) {
        std::vector<std::pair<int, std::string>> items{{0, ToLatin1(upc)}};
        for (std::size_t t = 0; t < tracks.size(); ++t) {
            items.emplace_back(tracks[t].number, TrackIsrc(disc, t));
        }
        types.emplace_back(0x8E, std::move(items));
    }
    // A block holds at most 256 packs: text that does not fit is left out,
    // the last types first.
    for (;;) {
        std::vector<uint8_t> packs;
        PackWriter writer(packs);
        for (const auto& [type, items] : types) {
            writer.Add(type, items);
        }
        if (writer.Count() + 3 <= 256 || types.empty()) {
            writer.Finish(tracks.front().number, tracks.back().number);
            return packs;
        }
        types.pop_back();
    }
}

} // namespace vindral::emulated
