// A small pressed disc behind a recording backend, answering as the MMC
// standard has a drive answer: READ TOC formats 0, 1, 2 and 5, READ
// SUB-CHANNEL formats 2 and 3, and READ CD with formatted Q or raw P-W
// sub-channel built the way the disc's own Q channel is (BCD times, ADR 2
// and 3 frames among the ADR 1 frames, CRC). Habits of real drives are
// switches.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "drive/RecordingBackend.h"
#include "drive/SubChannel.h"

namespace vindral::test {

struct PressedTrack {
    int number = 1;
    bool data = false;
    uint8_t control = 0;
    int session = 1;
    SectorAddress pregap = 0; // where index 0 starts (== start: none)
    SectorAddress start = 0;  // index 1
    std::vector<SectorAddress> indexes; // index 2, 3, ...
    std::string isrc;
};

struct PressedDisc {
    std::vector<PressedTrack> tracks;
    SectorAddress leadOut = 0;
    std::vector<SectorAddress> sessionLeadOuts; // per session; the last is leadOut
    std::string mcn;
    std::vector<uint8_t> cdTextPacks;
    // Habits.
    int qShift = 0;              // Q of sector x + qShift is returned for x
    bool refuseFormattedQ = false;
    bool refuseRawPw = false;
    bool refuseFullToc = false;
    bool refuseCdText = false;
    bool reportCodes = true;     // READ SUB-CHANNEL gives the MCN and ISRCs
    int badCrcEvery = 0;         // every n-th Q frame read has a broken CRC
    int qReads = 0;
};

inline uint8_t Bcd(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

inline void PutCrc(uint8_t* q) {
    const uint16_t crc = SubChannelCrc(q, 10);
    q[10] = static_cast<uint8_t>(crc >> 8);
    q[11] = static_cast<uint8_t>(crc & 0xFF);
}

// The 12 Q bytes of sector x.
inline std::array<uint8_t, 12> QOfSector(const PressedDisc& disc, SectorAddress x) {
    std::array<uint8_t, 12> q{};
    const PressedTrack* track = nullptr;
    for (const PressedTrack& t : disc.tracks) {
        if (t.pregap <= x) {
            track = &t;
        }
    }
    int m = 0, s = 0, f = 0;
    AddressToMsf(x, m, s, f);
    if (track == nullptr) {
        return q;
    }
    if (x % 100 == 17 && !disc.mcn.empty()) {
        q[0] = static_cast<uint8_t>((track->control << 4) | 2);
        for (int n = 0; n < 13; ++n) {
            q[1 + n / 2] |= static_cast<uint8_t>((disc.mcn[static_cast<std::size_t>(n)] - '0')
                                                 << (n % 2 == 0 ? 4 : 0));
        }
        q[9] = Bcd(f);
    } else if (x % 100 == 53 && !track->isrc.empty() && x >= track->start) {
        q[0] = static_cast<uint8_t>((track->control << 4) | 3);
        uint32_t bits = 0;
        for (int c = 0; c < 5; ++c) {
            const char ch = track->isrc[static_cast<std::size_t>(c)];
            bits = (bits << 6) | static_cast<uint32_t>(ch <= '9' ? ch - '0' : ch - 'A' + 0x11);
        }
        bits <<= 2;
        for (int b = 0; b < 4; ++b) {
            q[1 + b] = static_cast<uint8_t>(bits >> (24 - 8 * b));
        }
        for (int n = 0; n < 7; ++n) {
            q[5 + n / 2] |= static_cast<uint8_t>((track->isrc[static_cast<std::size_t>(5 + n)] - '0')
                                                 << (n % 2 == 0 ? 4 : 0));
        }
        q[9] = Bcd(f);
    } else {
        int index = x < track->start ? 0 : 1;
        for (const SectorAddress at : track->indexes) {
            index += at <= x ? 1 : 0;
        }
        const int relative = std::abs(x - track->start);
        q[0] = static_cast<uint8_t>((track->control << 4) | 1);
        q[1] = x >= disc.leadOut ? 0xAA : Bcd(track->number);
        q[2] = Bcd(index);
        q[3] = Bcd(relative / 4500);
        q[4] = Bcd((relative / 75) % 60);
        q[5] = Bcd(relative % 75);
        q[7] = Bcd(m);
        q[8] = Bcd(s);
        q[9] = Bcd(f);
    }
    PutCrc(q.data());
    return q;
}

inline void Refuse(SenseResult& sense, uint8_t key, uint8_t asc) {
    sense.data[0] = 0x70;
    sense.data[2] = key;
    sense.data[12] = asc;
}

inline void PutMsf(uint8_t* at, SectorAddress address) {
    int m = 0, s = 0, f = 0;
    AddressToMsf(address, m, s, f);
    at[0] = static_cast<uint8_t>(m);
    at[1] = static_cast<uint8_t>(s);
    at[2] = static_cast<uint8_t>(f);
}

inline void Put32(uint8_t* at, int32_t value) {
    for (int b = 0; b < 4; ++b) {
        at[b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (24 - 8 * b));
    }
}

// Answers one command for the disc; the disc outlives the backend.
inline int32_t AnswerPressedDisc(PressedDisc& disc, const RecordedCommand& command, uint8_t* buffer,
                              SenseResult& sense) {
    std::vector<uint8_t> answer;
    const uint8_t* cdb = command.cdb.data();
    switch (cdb[0]) {
    case 0x00:
        return kStatusOk;
    case 0x12:
        std::memset(buffer, ' ', command.length);
        buffer[0] = 5;
        return kStatusOk;
    case 0x43: {
        const int format = cdb[2] & 0x0F;
        answer = {0, 0, 1, static_cast<uint8_t>(disc.tracks.back().number)};
        if (format == 0) {
            for (const PressedTrack& t : disc.tracks) {
                answer.insert(answer.end(), {0, static_cast<uint8_t>(0x10 | t.control),
                                             static_cast<uint8_t>(t.number), 0});
                answer.resize(answer.size() + 4);
                Put32(&answer[answer.size() - 4], t.start);
            }
            answer.insert(answer.end(), {0, 0x10, 0xAA, 0, 0, 0, 0, 0});
            Put32(&answer[answer.size() - 4], disc.leadOut);
        } else if (format == 1) {
            const PressedTrack& first = *std::find_if(
                disc.tracks.begin(), disc.tracks.end(),
                [&](const PressedTrack& t) { return t.session == disc.tracks.back().session; });
            answer = {0, 10, 1, static_cast<uint8_t>(disc.tracks.back().session), 0,
                      static_cast<uint8_t>(0x10 | first.control), static_cast<uint8_t>(first.number), 0};
            answer.resize(12);
            Put32(&answer[8], first.start);
        } else if (format == 2 && !disc.refuseFullToc) {
            answer[2] = 1;
            answer[3] = static_cast<uint8_t>(disc.tracks.back().session);
            for (int session = 1; session <= answer[3]; ++session) {
                std::vector<const PressedTrack*> in;
                for (const PressedTrack& t : disc.tracks) {
                    if (t.session == session) {
                        in.push_back(&t);
                    }
                }
                auto point = [&](uint8_t control, uint8_t p, int pmin, SectorAddress msf) {
                    std::vector<uint8_t> d = {static_cast<uint8_t>(session),
                                              static_cast<uint8_t>(0x10 | control), 0, p, 0, 0, 0, 0};
                    d.resize(11);
                    if (pmin >= 0) {
                        d[8] = static_cast<uint8_t>(pmin);
                    } else {
                        PutMsf(&d[8], msf);
                    }
                    answer.insert(answer.end(), d.begin(), d.end());
                };
                point(in.front()->control, 0xA0, in.front()->number, 0);
                point(in.back()->control, 0xA1, in.back()->number, 0);
                point(in.back()->control, 0xA2, -1,
                      disc.sessionLeadOuts.empty() ? disc.leadOut
                                                   : disc.sessionLeadOuts[static_cast<std::size_t>(session - 1)]);
                for (const PressedTrack* t : in) {
                    point(t->control, static_cast<uint8_t>(t->number), -1, t->start);
                }
            }
        } else if (format == 5 && !disc.refuseCdText && !disc.cdTextPacks.empty()) {
            answer[2] = answer[3] = 0;
            answer.insert(answer.end(), disc.cdTextPacks.begin(), disc.cdTextPacks.end());
        } else {
            Refuse(sense, 0x05, 0x24);
            return 2;
        }
        const std::size_t length = answer.size() - 2;
        answer[0] = static_cast<uint8_t>(length >> 8);
        answer[1] = static_cast<uint8_t>(length & 0xFF);
        break;
    }
    case 0x42: {
        answer.assign(24, 0);
        answer[4] = cdb[3];
        if (disc.reportCodes && cdb[3] == 2 && !disc.mcn.empty()) {
            answer[8] = 0x80;
            std::memcpy(&answer[9], disc.mcn.data(), 13);
        } else if (disc.reportCodes && cdb[3] == 3) {
            for (const PressedTrack& t : disc.tracks) {
                if (t.number == cdb[6] && !t.isrc.empty()) {
                    answer[8] = 0x80;
                    std::memcpy(&answer[9], t.isrc.data(), 12);
                }
            }
        }
        break;
    }
    case 0xBE: {
        const SectorAddress address = static_cast<SectorAddress>(
            (uint32_t{cdb[2]} << 24) | (uint32_t{cdb[3]} << 16) | (uint32_t{cdb[4]} << 8) | cdb[5]);
        const bool raw = cdb[10] == 1;
        if ((raw && disc.refuseRawPw) || (cdb[10] == 2 && disc.refuseFormattedQ) ||
            cdb[10] > 2) {
            Refuse(sense, 0x05, 0x24);
            return 2;
        }
        const int count = (cdb[6] << 16) | (cdb[7] << 8) | cdb[8];
        if (address < 0 || address + count > disc.leadOut) {
            Refuse(sense, 0x05, 0x21);
            return 2;
        }
        for (SectorAddress x = address; x < address + count; ++x) {
            answer.resize(answer.size() + kSectorBytes, 0);
            std::array<uint8_t, 12> q = QOfSector(disc, x + disc.qShift);
            ++disc.qReads;
            if (disc.badCrcEvery > 0 && disc.qReads % disc.badCrcEvery == 0) {
                q[11] ^= 0x5A;
            }
            if (raw) {
                for (int i = 0; i < 96; ++i) {
                    const bool bit = (q[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1;
                    answer.push_back(static_cast<uint8_t>((bit ? 0x40 : 0) | ((i * 37) & 0xBF)));
                }
            } else if (cdb[10] == 2) {
                answer.insert(answer.end(), q.begin(), q.end());
                answer.resize(answer.size() + 4);
            }
        }
        break;
    }
    default:
        if (buffer != nullptr && !command.dataOut) {
            std::memset(buffer, 0, command.length);
        }
        return kStatusOk;
    }
    if (buffer != nullptr) {
        std::memset(buffer, 0, command.length);
        std::memcpy(buffer, answer.data(), std::min<std::size_t>(answer.size(), command.length));
    }
    return kStatusOk;
}

// Installs the disc as the process's transport.
inline RecordingBackend* InstallPressedDisc(PressedDisc& disc, std::vector<RecordedCommand>* log,
                                         bool initialise = true) {
    ResetTransportForTesting();
    auto backend = std::make_unique<RecordingBackend>();
    RecordingBackend* raw = backend.get();
    raw->log = log;
    raw->responder = [&disc](const RecordedCommand& c, uint8_t* b, SenseResult& s) {
        return AnswerPressedDisc(disc, c, b, s);
    };
    SelectTransport(std::move(backend));
    if (initialise) {
        InitialiseTransport();
    }
    return raw;
}

// A CD-Text pack with its CRC.
inline std::vector<uint8_t> CdTextPack(uint8_t type, int track, int sequence, int block,
                                       int position, const std::string& text12,
                                       bool doubleByte = false) {
    std::vector<uint8_t> pack(18, 0);
    pack[0] = type;
    pack[1] = static_cast<uint8_t>(track);
    pack[2] = static_cast<uint8_t>(sequence);
    pack[3] = static_cast<uint8_t>((doubleByte ? 0x80 : 0) | (block << 4) | std::min(position, 15));
    std::memcpy(&pack[4], text12.data(), std::min<std::size_t>(text12.size(), 12));
    const uint16_t crc = SubChannelCrc(pack.data(), 16);
    pack[16] = static_cast<uint8_t>(crc >> 8);
    pack[17] = static_cast<uint8_t>(crc & 0xFF);
    return pack;
}

// The packs of a stream of text for one kind: NUL-terminated strings from
// `firstTrack` on, cut into 12-byte payloads, numbered from `sequence`.
inline std::vector<uint8_t> CdTextPacksOf(uint8_t type, const std::vector<std::string>& strings,
                                          int& sequence, int block = 0, bool doubleByte = false) {
    std::string stream;
    std::vector<std::pair<int, int>> owner; // per byte: track and position in its string
    for (std::size_t t = 0; t < strings.size(); ++t) {
        const std::string& s = strings[t];
        for (std::size_t i = 0; i < s.size(); ++i) {
            owner.emplace_back(static_cast<int>(t), static_cast<int>(i / (doubleByte ? 2 : 1)));
        }
        stream += s;
        for (int z = 0; z < (doubleByte ? 2 : 1); ++z) {
            owner.emplace_back(static_cast<int>(t), static_cast<int>(s.size()));
            stream += '\0';
        }
    }
    std::vector<uint8_t> packs;
    for (std::size_t at = 0; at < stream.size(); at += 12) {
        std::string chunk = stream.substr(at, 12);
        chunk.resize(12, '\0');
        const auto [track, position] = owner[at];
        const std::vector<uint8_t> pack =
            CdTextPack(type, track, sequence++, block, position, chunk, doubleByte);
        packs.insert(packs.end(), pack.begin(), pack.end());
    }
    return packs;
}

} // namespace vindral::test
