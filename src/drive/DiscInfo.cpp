#include "drive/DiscInfo.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>

#include "drive/CdCommands.h"
#include "drive/Transport.h"

namespace vindral {

namespace DiscCommands {

int32_t ReadTocFormat(uint8_t hostAdapter, uint8_t target, uint8_t format, uint8_t* answer,
                      uint16_t length) {
    uint8_t cdb[10] = {0x43};
    cdb[1] = format == 2 ? 0x02 : 0x00; // the full TOC in minutes, seconds and frames
    cdb[2] = format & 0x0F;
    cdb[6] = format == 2 ? 1 : 0; // from the first session
    cdb[7] = static_cast<uint8_t>(length >> 8);
    cdb[8] = static_cast<uint8_t>(length & 0xFF);
    return ExecuteCommand(hostAdapter, target, cdb, answer, length);
}

int32_t ReadSubChannel(uint8_t hostAdapter, uint8_t target, uint8_t format, uint8_t track,
                       uint8_t* answer) {
    uint8_t cdb[10] = {0x42, 0x00, 0x40, format, 0, 0, track, 0, 24, 0};
    return ExecuteCommand(hostAdapter, target, cdb, answer, 24);
}

int32_t ReadSectorsWithSubChannel(uint8_t hostAdapter, uint8_t target, SectorAddress address,
                                  int32_t count, uint8_t selection, uint8_t* buffer, bool main) {
    // Any sector type; for an audio sector its 2352 bytes, for a data
    // sector sync, header, user data and EDC/ECC: 2352 bytes either way.
    uint8_t cdb[12] = {0xBE, 0x00};
    cdb[2] = static_cast<uint8_t>((address >> 24) & 0xFF);
    cdb[3] = static_cast<uint8_t>((address >> 16) & 0xFF);
    cdb[4] = static_cast<uint8_t>((address >> 8) & 0xFF);
    cdb[5] = static_cast<uint8_t>(address & 0xFF);
    cdb[6] = static_cast<uint8_t>((count >> 16) & 0xFF);
    cdb[7] = static_cast<uint8_t>((count >> 8) & 0xFF);
    cdb[8] = static_cast<uint8_t>(count & 0xFF);
    cdb[9] = main ? 0xF8 : 0x00;
    cdb[10] = selection;
    const uint32_t each = SectorWithSubChannelBytes(selection) - (main ? 0 : kSectorBytes);
    const uint32_t length = static_cast<uint32_t>(count) * each;
    return ExecuteCommand(hostAdapter, target, cdb, buffer, length);
}

} // namespace DiscCommands

namespace {

constexpr int kFrameAttempts = 6; // readings of one sector whose Q frame fails its CRC
constexpr int kShiftLimit = 10;   // sectors a drive's Q may lie off the sector asked
constexpr int32_t kCodeScanSectors = 100; // at least one ADR 2 or 3 frame in every 100

// Where a probe landed and what Q said there.
struct Probe {
    SectorAddress position = 0;
    int track = 0;
    int index = 0;
};

class QReader {
public:
    QReader(uint8_t hostAdapter, uint8_t target, DiscDetails& details)
        : hostAdapter_(hostAdapter), target_(target), details_(details) {}

    TrackDetails* counting = nullptr; // the track whose search reads now
    std::vector<std::pair<SectorAddress, std::string>> isrcs; // from ADR 3 frames
    std::string mcn;                                          // from ADR 2 frames
    bool broken = false; // the drive gives no Q frame at all

    // The track and index of a sector strictly between lo and hi (bounds of
    // the search): x itself, or where it carries another mode's frame, a
    // neighbour. Nothing when the drive cannot give Q there.
    std::optional<Probe> At(SectorAddress x, SectorAddress lo, SectorAddress hi) {
        const std::optional<QFrame> own = FrameOf(x);
        if (!own) {
            return std::nullopt;
        }
        if (own->adr == 1) {
            // Near the ends of the disc a shifted drive cannot give x's own
            // frame: the neighbour's serves when it is inside the interval.
            if (own->absolute <= lo || own->absolute >= hi) {
                return std::nullopt;
            }
            return Probe{own->absolute, own->track, own->index};
        }
        // An ADR 2 or 3 frame stands in for the sector's position frame: ask
        // a neighbour inside the interval, else take the next sector's value
        // for this one (the frame after it has the same track and index
        // unless an index starts there).
        for (const SectorAddress y : {x + 1, x - 1}) {
            if (y > lo && y < hi) {
                const std::optional<QFrame> next = FrameOf(y);
                if (next && next->adr == 1 && next->absolute == y) {
                    return Probe{y, next->track, next->index};
                }
            }
        }
        const std::optional<QFrame> next = FrameOf(x + 1);
        if (next && next->adr == 1) {
            return Probe{x, next->track, next->index};
        }
        return std::nullopt;
    }

    // Reads the Q of `count` sectors from `from` in one command and keeps
    // the catalog number and ISRCs among them (one frame in every hundred
    // or so carries one).
    void ScanCodes(SectorAddress from, int32_t count) {
        count = std::min(count, details_.leadOut - from);
        if (broken || details_.subChannel == SubChannelForm::None || count <= 0) {
            return;
        }
        const uint8_t selection = form_ == SubChannelForm::RawPw
                                      ? DiscCommands::kSubChannelRawPw
                                      : DiscCommands::kSubChannelFormattedQ;
        // The sub-channel alone where the drive gives it so (a sixth of the
        // bytes of a 100-sector scan), else with the sectors' main data.
        std::vector<uint8_t> buffer;
        uint32_t each = 0;
        bool read = false;
        for (const bool main : {false, true}) {
            if (!main && subChannelNeedsMain_) {
                continue;
            }
            each = DiscCommands::SectorWithSubChannelBytes(selection) - (main ? 0 : kSectorBytes);
            buffer.assign(static_cast<std::size_t>(count) * each, 0);
            read = DiscCommands::ReadSectorsWithSubChannel(hostAdapter_, target_, from, count,
                                                           selection, buffer.data(),
                                                           main) == kStatusOk;
            if (read) {
                break;
            }
            subChannelNeedsMain_ = true;
        }
        if (!read) {
            return;
        }
        const std::size_t skip = each > kSectorBytes ? kSectorBytes : 0;
        for (int32_t i = 0; i < count; ++i) {
            Count();
            const uint8_t* sub = buffer.data() + static_cast<std::size_t>(i) * each + skip;
            const std::array<uint8_t, 12> q =
                form_ == SubChannelForm::RawPw ? DeinterleaveQ(sub) : FirstTwelve(sub);
            std::optional<QFrame> frame = DecodeQ(q.data());
            if (!frame) {
                // One frame in a hundred carries a code: a frame whose CRC
                // failed is read again on its own, lest the code be lost.
                ++details_.qFramesRejected;
                frame = ReadFrame(from + i);
            }
            if (frame && frame->adr != 1) {
                NoteOtherMode(*frame, from + i);
            }
        }
    }

private:
    // The drive refused the sub-channel without the main data once.
    bool subChannelNeedsMain_ = false;

    static std::array<uint8_t, 12> FirstTwelve(const uint8_t* at) {
        std::array<uint8_t, 12> q{};
        std::copy(at, at + 12, q.begin());
        return q;
    }

    // The Q frame of sector x (an ADR 1 frame whose absolute time is x, or
    // any other mode's frame at x), corrected for a drive that answers with
    // a neighbour's Q.
    std::optional<QFrame> FrameOf(SectorAddress x) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const SectorAddress request =
                std::clamp<SectorAddress>(x - shift_, 0, details_.leadOut - 1);
            const std::optional<QFrame> frame = ReadFrame(request);
            if (!frame) {
                return std::nullopt;
            }
            if (frame->adr != 1) {
                NoteOtherMode(*frame, x);
                return frame;
            }
            if (frame->absolute == x || request != x - shift_) {
                return frame;
            }
            const SectorAddress drift = frame->absolute - request;
            if (std::abs(drift) > kShiftLimit) {
                return std::nullopt;
            }
            shift_ = drift;
        }
        return std::nullopt;
    }

    void NoteOtherMode(const QFrame& frame, SectorAddress x) {
        if (frame.adr == 2 && !frame.mcn.empty()) {
            mcn = frame.mcn;
        } else if (frame.adr == 3 && !frame.isrc.empty()) {
            isrcs.emplace_back(x, frame.isrc);
        }
    }

    // One Q frame that passes its CRC, from sector `request` as the drive
    // answers it; read again when the CRC fails.
    std::optional<QFrame> ReadFrame(SectorAddress request) {
        if (broken) {
            return std::nullopt;
        }
        uint8_t buffer[kSectorBytes + 96];
        for (int attempt = 0; attempt < kFrameAttempts;) {
            const uint8_t selection = form_ == SubChannelForm::RawPw
                                          ? DiscCommands::kSubChannelRawPw
                                          : DiscCommands::kSubChannelFormattedQ;
            std::fill(std::begin(buffer), std::end(buffer), uint8_t{0});
            const int32_t status = DiscCommands::ReadSectorsWithSubChannel(
                hostAdapter_, target_, request, 1, selection, buffer);
            if (status != kStatusOk) {
                if (form_ == SubChannelForm::FormattedQ && !formattedWorked_) {
                    form_ = SubChannelForm::RawPw; // a drive that gives raw P-W only
                    continue;
                }
                if (form_ == SubChannelForm::RawPw && !rawWorked_ && !formattedWorked_) {
                    broken = true;
                    details_.subChannel = SubChannelForm::None;
                }
                return std::nullopt;
            }
            ++attempt;
            Count();
            std::array<uint8_t, 12> q{};
            if (form_ == SubChannelForm::RawPw) {
                q = DeinterleaveQ(buffer + kSectorBytes);
                rawWorked_ = true;
            } else {
                std::copy(buffer + kSectorBytes, buffer + kSectorBytes + 12, q.begin());
                formattedWorked_ = true;
            }
            details_.subChannel = form_;
            if (std::optional<QFrame> frame = DecodeQ(q.data())) {
                return frame;
            }
            ++details_.qFramesRejected;
        }
        return std::nullopt;
    }

    void Count() {
        ++details_.sectorsRead;
        if (counting != nullptr) {
            ++counting->sectorsRead;
        }
    }

    uint8_t hostAdapter_;
    uint8_t target_;
    DiscDetails& details_;
    SectorAddress shift_ = 0;
    SubChannelForm form_ = SubChannelForm::FormattedQ;
    bool formattedWorked_ = false;
    bool rawWorked_ = false;
};

// The first position in (lo, hi] where `after` holds, given that it does not
// hold at lo and holds at hi, by bisection; `hints` are probed first (the
// usual places of the answer). The probe where it first holds, or nothing
// when a sector cannot be read.
template <typename Predicate>
std::optional<Probe> FindFirst(QReader& reader, SectorAddress lo, Probe hi, Predicate after,
                               std::vector<SectorAddress> hints = {}) {
    while (hi.position - lo > 1) {
        SectorAddress mid = lo + (hi.position - lo) / 2;
        while (!hints.empty()) {
            const SectorAddress hint = hints.front();
            hints.erase(hints.begin());
            if (hint > lo && hint < hi.position) {
                mid = hint;
                break;
            }
        }
        const std::optional<Probe> probe = reader.At(mid, lo, hi.position);
        if (!probe) {
            return std::nullopt;
        }
        if (after(*probe)) {
            hi = *probe;
        } else {
            lo = probe->position;
        }
    }
    return hi;
}

int32_t Be32(const uint8_t* at) {
    return static_cast<int32_t>((uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) |
                                (uint32_t{at[2]} << 8) | at[3]);
}

// READ TOC of a format whose answer's length is in its first two bytes:
// the header first, then the whole answer. Empty when refused.
std::vector<uint8_t> ReadWholeToc(uint8_t hostAdapter, uint8_t target, uint8_t format) {
    uint8_t header[4] = {};
    if (DiscCommands::ReadTocFormat(hostAdapter, target, format, header, sizeof header) !=
        kStatusOk) {
        return {};
    }
    const std::size_t length = 2 + ((std::size_t{header[0]} << 8) | header[1]);
    if (length <= 4) {
        return {};
    }
    std::vector<uint8_t> answer(std::min<std::size_t>(length, 0xFFFE), 0);
    if (DiscCommands::ReadTocFormat(hostAdapter, target, format, answer.data(),
                                    static_cast<uint16_t>(answer.size())) != kStatusOk) {
        return {};
    }
    return answer;
}

// Sessions and each track's session and control from the full TOC.
bool ApplyFullToc(const FullToc& toc, DiscDetails& details) {
    for (TrackDetails& track : details.tracks) {
        const auto found = std::find_if(toc.tracks.begin(), toc.tracks.end(),
                                        [&](const FullTocTrack& t) { return t.number == track.number; });
        if (found == toc.tracks.end()) {
            return false;
        }
        track.session = found->session;
        track.control = found->control;
    }
    details.sessions = toc.sessions;
    details.sessionSource = SessionSource::FullToc;
    return true;
}

// Without the full TOC: each track's control from READ TOC format 0, the
// sessions from format 1 (the first track of the last session), else one.
void ApplyShortToc(uint8_t hostAdapter, uint8_t target, const TrackTable& table,
                   DiscDetails& details) {
    uint8_t answer[kTocAllocationLength] = {};
    if (CdCommands::ReadToc(hostAdapter, target, kTocAllocationLength, answer) == kStatusOk) {
        const std::size_t valid = std::min<std::size_t>(
            sizeof answer, 2 + ((std::size_t{answer[0]} << 8) | answer[1]));
        for (std::size_t at = 4; at + 8 <= valid; at += 8) {
            for (TrackDetails& track : details.tracks) {
                if (track.number == answer[at + 2]) {
                    track.control = answer[at + 1] & 0x0F;
                }
            }
        }
    }
    for (TrackDetails& track : details.tracks) {
        if (track.data) {
            track.control |= 0x04;
        }
    }
    int lastSessionFirstTrack = 0;
    uint8_t info[CdCommands::kSessionInfoLength] = {};
    if (CdCommands::ReadSessionInfo(hostAdapter, target, info) == kStatusOk &&
        info[3] > info[2] &&
        std::any_of(details.tracks.begin(), details.tracks.end(),
                    [&](const TrackDetails& t) { return t.number == info[6] && t.start == Be32(info + 8); })) {
        lastSessionFirstTrack = info[6];
        details.sessionSource = SessionSource::SessionInfo;
    }
    const std::vector<TrackDetails>& tracks = details.tracks;
    SessionEntry first{1, tracks.front().number, tracks.back().number, details.leadOut};
    if (lastSessionFirstTrack > tracks.front().number) {
        SessionEntry last{info[3], lastSessionFirstTrack, tracks.back().number, details.leadOut};
        for (int k = 0; k < table.count; ++k) {
            const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
            if (entry.number < lastSessionFirstTrack) {
                first.lastTrack = entry.number;
                first.leadOut = entry.start + entry.length;
            }
        }
        for (TrackDetails& track : details.tracks) {
            track.session = track.number >= lastSessionFirstTrack ? last.number : 1;
        }
        details.sessions = {first, last};
    } else {
        details.sessions = {first};
    }
}

const SessionEntry* SessionOf(const DiscDetails& details, int number) {
    for (const SessionEntry& session : details.sessions) {
        if (session.number == number) {
            return &session;
        }
    }
    return nullptr;
}

// READ SUB-CHANNEL format 2 or 3: the 13 or 12 characters when the valid
// bit is set and they are well formed.
std::string SubChannelCode(uint8_t hostAdapter, uint8_t target, uint8_t format, uint8_t track) {
    uint8_t answer[24] = {};
    if (DiscCommands::ReadSubChannel(hostAdapter, target, format, track, answer) != kStatusOk ||
        (answer[8] & 0x80) == 0) {
        return {};
    }
    const std::size_t length = format == 2 ? 13 : 12;
    std::string code(reinterpret_cast<const char*>(answer + 9), length);
    const bool valid = format == 2 ? ValidCatalogNumber(code) : ValidIsrc(code);
    return valid ? code : std::string();
}

void FindIndexPoints(QReader& reader, DiscDetails& details) {
    auto& tracks = details.tracks;
    // Pregaps: the first sector whose Q names the track (index 0 or later).
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        TrackDetails& track = tracks[k];
        track.pregapStart = track.start;
        const bool firstOfLaterSession =
            k > 0 ? tracks[k - 1].session != track.session : track.session > 1;
        if (track.data || firstOfLaterSession || reader.broken) {
            continue;
        }
        reader.counting = &track;
        if (k == 0) {
            // Every sector before the first track's index 1 is its pregap
            // (a hidden track): the sector before it confirms that.
            track.indexesRead = true;
            if (track.start > 0) {
                const std::optional<Probe> before = reader.At(track.start - 1, -1, track.start);
                track.indexesRead = before.has_value();
                if (before && before->track == track.number && before->index == 0) {
                    track.pregapStart = 0;
                }
            }
            continue;
        }
        const SectorAddress lo = tracks[k - 1].start;
        const int number = track.number;
        const auto named = [number](const Probe& p) { return p.track >= number; };
        const std::optional<Probe> found =
            FindFirst(reader, lo, Probe{track.start, number, 1}, named,
                      {track.start - 1, track.start - 150, track.start - 151});
        if (found) {
            track.pregapStart = found->position;
            track.indexesRead = true;
        }
    }
    // The end of each track's own sectors.
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        TrackDetails& track = tracks[k];
        if (k + 1 < tracks.size() && tracks[k + 1].session == track.session) {
            track.end = tracks[k + 1].pregapStart;
        } else if (const SessionEntry* session = SessionOf(details, track.session)) {
            track.end = session->leadOut;
        }
    }
    // Index 2 and later: the last sector tells the highest index, then each
    // is found by bisection after the one before.
    for (TrackDetails& track : tracks) {
        if (track.data || !track.indexesRead || track.end - track.start < 2) {
            continue;
        }
        reader.counting = &track;
        const SectorAddress last = track.end - 1;
        const std::optional<Probe> end = reader.At(last, track.start, track.end);
        if (!end) {
            track.indexesRead = false;
            continue;
        }
        if (end->track != track.number || end->index < 2) {
            continue;
        }
        SectorAddress lo = track.start;
        int wanted = 2;
        const int number = track.number;
        while (wanted <= end->index && track.indexes.size() < 98) {
            const auto reached = [number, wanted](const Probe& p) {
                return p.track > number || (p.track == number && p.index >= wanted);
            };
            const std::optional<Probe> found = FindFirst(reader, lo, *end, reached);
            if (!found) {
                track.indexesRead = false;
                break;
            }
            track.indexes.push_back(found->position);
            track.indexNumbers.push_back(found->index);
            lo = found->position;
            wanted = found->index + 1;
        }
    }
    reader.counting = nullptr;
}

} // namespace

std::string DiscDetails::Text(CdTextKind kind, int track) const {
    return cdText.empty() ? std::string() : cdText.front().Get(kind, track);
}

DiscDetails ReadDiscDetails(uint8_t hostAdapter, uint8_t target, const TrackTable& table) {
    DiscDetails details;
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        TrackDetails track;
        track.number = entry.number;
        track.data = entry.dataTrack != 0;
        track.start = entry.start;
        track.pregapStart = entry.start;
        track.end = entry.start + entry.length;
        details.tracks.push_back(track);
        details.leadOut = entry.start + entry.length;
    }
    if (details.tracks.empty()) {
        return details;
    }

    // Sessions and control: the full TOC, else formats 0 and 1.
    const std::vector<uint8_t> full = ReadWholeToc(hostAdapter, target, 2);
    const std::optional<FullToc> toc = ParseFullToc(full.data(), full.size());
    if (!toc || !ApplyFullToc(*toc, details)) {
        ApplyShortToc(hostAdapter, target, table, details);
    }
    for (TrackDetails& track : details.tracks) {
        track.flags = FlagsOfControl(track.control);
    }

    // The catalog number and the ISRCs, as the drive reports them.
    details.catalog = SubChannelCode(hostAdapter, target, 2, 0);
    std::map<int, std::string> reportedIsrc;
    for (TrackDetails& track : details.tracks) {
        if (!track.data) {
            reportedIsrc[track.number] =
                SubChannelCode(hostAdapter, target, 3, static_cast<uint8_t>(track.number));
        }
    }

    QReader reader(hostAdapter, target, details);
    FindIndexPoints(reader, details);
    if (reader.broken) {
        details.notes.push_back("The drive gives no Q sub-channel: index points are not known");
    }

    // A drive that reports neither the catalog number nor an ISRC may not
    // report them at all: the Q of a hundred sectors of the first audio
    // track tells whether the disc has any, and then of every track.
    const bool reported = !details.catalog.empty() ||
                          std::any_of(reportedIsrc.begin(), reportedIsrc.end(),
                                      [](const auto& item) { return !item.second.empty(); });
    if (!reported) {
        bool first = true;
        for (TrackDetails& track : details.tracks) {
            if (track.data) {
                continue;
            }
            if (!first && reader.mcn.empty() && reader.isrcs.empty()) {
                break;
            }
            first = false;
            reader.counting = &track;
            const int32_t length = track.end - track.start;
            const int32_t count = std::min<int32_t>(kCodeScanSectors, length);
            reader.ScanCodes(track.start + std::min<int32_t>(150, (length - count) / 2), count);
        }
        reader.counting = nullptr;
    }

    // What the drive reported, checked against the frames the search read:
    // a frame that passed its CRC wins over a differing report.
    if (!reader.mcn.empty() && reader.mcn != details.catalog) {
        if (!details.catalog.empty()) {
            details.notes.push_back("The drive reports catalog number " + details.catalog +
                                    ", the sub-channel holds " + reader.mcn);
        }
        details.catalog = reader.mcn;
    }
    for (TrackDetails& track : details.tracks) {
        track.isrc = reportedIsrc[track.number];
        for (const auto& [at, isrc] : reader.isrcs) {
            if (at < track.start || at >= track.end || isrc == track.isrc) {
                continue;
            }
            if (!track.isrc.empty()) {
                details.notes.push_back("The drive reports ISRC " + track.isrc + " for track " +
                                        std::to_string(track.number) +
                                        ", the sub-channel holds " + isrc);
            }
            track.isrc = isrc;
        }
    }

    const std::vector<uint8_t> text = ReadWholeToc(hostAdapter, target, 5);
    details.cdText = DecodeCdText(text.data(), text.size());
    return details;
}

} // namespace vindral
