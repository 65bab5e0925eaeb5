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
constexpr int32_t kUsualPregap = 150;     // 2 seconds: where most pregaps begin
constexpr int32_t kBoundaryWindow = 4;    // sectors read around an expected boundary

// Where a probe landed and what Q said there.
struct Probe {
    SectorAddress position = 0;
    int track = 0;
    int index = 0;
};

// The Q sub-channel as the drive gives it. Every position frame read (ADR 1)
// is kept by the absolute address it carries, so a run of sectors read in
// one command answers later questions about any of them without a command.
class QReader {
public:
    QReader(uint8_t hostAdapter, uint8_t target, DiscDetails& details)
        : hostAdapter_(hostAdapter), target_(target), details_(details) {}

    TrackDetails* counting = nullptr; // the track whose search reads now
    std::vector<std::pair<SectorAddress, std::string>> isrcs; // from ADR 3 frames
    std::string mcn;                                          // from ADR 2 frames
    bool broken = false; // the drive gives no Q frame at all

    // What a position frame already read says about sector x.
    std::optional<Probe> Known(SectorAddress x) const {
        const auto found = positions_.find(x);
        if (found == positions_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    // The known sectors strictly between lo and hi: the last where `after`
    // does not hold before the first where it does.
    template <typename Predicate>
    void Narrow(SectorAddress& lo, Probe& hi, Predicate after) const {
        for (auto it = positions_.upper_bound(lo); it != positions_.end() && it->first < hi.position;
             ++it) {
            if (after(it->second)) {
                hi = it->second;
                return;
            }
            lo = it->first;
        }
    }

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

    // Reads the Q of `count` sectors from position `from` in one command
    // (corrected for a drive that answers with its neighbours' Q). With
    // `codes`, the run is a search for the catalog number and ISRCs (one
    // frame in every hundred or so carries one): a frame whose CRC failed
    // is read again on its own unless the run already showed an ISRC, and
    // the run counts as scanned.
    void Window(SectorAddress from, int32_t count, bool codes = false) {
        const SectorAddress request = std::clamp<SectorAddress>(from - shift_, 0, details_.leadOut);
        count = std::min(count, details_.leadOut - request);
        std::vector<std::optional<QFrame>> frames;
        if (count <= 0 || !Read(request, count, frames)) {
            return;
        }
        if (!codes) {
            return;
        }
        const std::size_t isrcsBefore = isrcs.size();
        bool missed = false;
        for (const std::optional<QFrame>& frame : frames) {
            missed = missed || !frame;
        }
        if (missed && isrcs.size() == isrcsBefore) {
            for (int32_t i = 0; i < count; ++i) {
                if (!frames[static_cast<std::size_t>(i)]) {
                    ReadFrame(request + i);
                }
            }
        }
        scanned_.emplace_back(request + shift_, request + shift_ + count);
    }

    // The most sectors of [from, to) that one code search covered.
    int32_t Scanned(SectorAddress from, SectorAddress to) const {
        int32_t most = 0;
        for (const auto& [a, b] : scanned_) {
            most = std::max(most, std::min(b, to) - std::max(a, from));
        }
        return most;
    }

private:
    // Reads `count` sectors' Q from sector `request` in one command; each
    // frame that passes its CRC is kept. The drive's form is learnt on the
    // way: formatted Q, else raw P-W, each without the main data, else with it.
    bool Read(SectorAddress request, int32_t count, std::vector<std::optional<QFrame>>& frames) {
        while (!broken) {
            const uint8_t selection = form_ == SubChannelForm::RawPw
                                          ? DiscCommands::kSubChannelRawPw
                                          : DiscCommands::kSubChannelFormattedQ;
            const uint32_t each =
                DiscCommands::SectorWithSubChannelBytes(selection) - (needsMain_ ? 0 : kSectorBytes);
            buffer_.assign(static_cast<std::size_t>(count) * each, 0);
            ++details_.commands;
            if (DiscCommands::ReadSectorsWithSubChannel(hostAdapter_, target_, request, count,
                                                        selection, buffer_.data(),
                                                        needsMain_) == kStatusOk) {
                settled_ = true;
                details_.subChannel = form_;
                Take(request, count, each, frames);
                return true;
            }
            if (settled_) {
                return false;
            }
            if (!needsMain_) {
                needsMain_ = true; // a drive that gives the sub-channel only with the sector
            } else if (form_ == SubChannelForm::FormattedQ) {
                form_ = SubChannelForm::RawPw; // a drive that gives raw P-W only
                needsMain_ = false;
            } else {
                broken = true;
                details_.subChannel = SubChannelForm::None;
            }
        }
        return false;
    }

    // Decodes what Read fetched, learns the drive's shift from the position
    // frames, keeps those by their own address and notes the codes.
    void Take(SectorAddress request, int32_t count, uint32_t each,
              std::vector<std::optional<QFrame>>& frames) {
        const std::size_t skip = needsMain_ ? kSectorBytes : 0;
        frames.assign(static_cast<std::size_t>(count), std::nullopt);
        std::map<SectorAddress, int> drifts;
        for (int32_t i = 0; i < count; ++i) {
            Count();
            const uint8_t* sub = buffer_.data() + static_cast<std::size_t>(i) * each + skip;
            const std::array<uint8_t, 12> q =
                form_ == SubChannelForm::RawPw ? DeinterleaveQ(sub) : FirstTwelve(sub);
            std::optional<QFrame>& frame = frames[static_cast<std::size_t>(i)];
            frame = DecodeQ(q.data());
            if (!frame) {
                ++details_.qFramesRejected;
            } else if (frame->adr == 1) {
                positions_[frame->absolute] = Probe{frame->absolute, frame->track, frame->index};
                const SectorAddress drift = frame->absolute - (request + i);
                if (std::abs(drift) <= kShiftLimit) {
                    ++drifts[drift];
                }
            }
        }
        if (!drifts.empty()) {
            shift_ = std::max_element(drifts.begin(), drifts.end(), [](const auto& a, const auto& b) {
                         return a.second < b.second;
                     })->first;
        }
        for (int32_t i = 0; i < count; ++i) {
            const std::optional<QFrame>& frame = frames[static_cast<std::size_t>(i)];
            if (frame && frame->adr != 1) {
                NoteOtherMode(*frame, request + i + shift_);
            }
        }
    }

    static std::array<uint8_t, 12> FirstTwelve(const uint8_t* at) {
        std::array<uint8_t, 12> q{};
        std::copy(at, at + 12, q.begin());
        return q;
    }

    // The Q frame of sector x (an ADR 1 frame whose absolute time is x, or
    // any other mode's frame at x), corrected for a drive that answers with
    // a neighbour's Q.
    std::optional<QFrame> FrameOf(SectorAddress x) {
        if (const std::optional<Probe> known = Known(x)) {
            QFrame frame;
            frame.adr = 1;
            frame.track = known->track;
            frame.index = known->index;
            frame.absolute = x;
            return frame;
        }
        for (int attempt = 0; attempt < 4; ++attempt) {
            const SectorAddress request =
                std::clamp<SectorAddress>(x - shift_, 0, details_.leadOut - 1);
            const SectorAddress before = shift_;
            const std::optional<QFrame> frame = ReadFrame(request);
            if (!frame || frame->adr != 1 || frame->absolute == x || request != x - before) {
                return frame;
            }
            if (shift_ == before) {
                return std::nullopt; // Q too far off the sector asked to place it
            }
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
        std::vector<std::optional<QFrame>> frames;
        for (int attempt = 0; attempt < kFrameAttempts; ++attempt) {
            if (!Read(request, 1, frames)) {
                return std::nullopt;
            }
            if (frames.front()) {
                return frames.front();
            }
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
    bool needsMain_ = false; // the drive refused the sub-channel without the main data
    bool settled_ = false;   // a form worked: later refusals are the sectors', not the form's
    std::vector<uint8_t> buffer_;
    std::map<SectorAddress, Probe> positions_;
    std::vector<std::pair<SectorAddress, SectorAddress>> scanned_; // runs searched for codes
};

// The first position in (lo, hi] where `after` holds, given that it does not
// hold at lo and holds at hi: first from what was read already, then by
// bisection; `hints` are probed first (the usual places of the answer). The
// probe where it first holds, or nothing when a sector cannot be read.
template <typename Predicate>
std::optional<Probe> FindFirst(QReader& reader, SectorAddress lo, Probe hi, Predicate after,
                               std::vector<SectorAddress> hints = {}) {
    reader.Narrow(lo, hi, after);
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

// READ TOC of a format whose answer's length is in its first two bytes, with
// room for a usual answer; again with the whole length when it is longer.
// Empty when refused.
std::vector<uint8_t> ReadWholeToc(uint8_t hostAdapter, uint8_t target, uint8_t format,
                                  DiscDetails& details) {
    constexpr std::size_t kUsualLength = 4096;
    std::vector<uint8_t> answer(kUsualLength, 0);
    for (int reading = 0; reading < 2; ++reading) {
        ++details.commands;
        if (DiscCommands::ReadTocFormat(hostAdapter, target, format, answer.data(),
                                        static_cast<uint16_t>(answer.size())) != kStatusOk) {
            return {};
        }
        const std::size_t length = 2 + ((std::size_t{answer[0]} << 8) | answer[1]);
        if (length <= 4) {
            return {};
        }
        if (length <= answer.size()) {
            answer.resize(length);
            return answer;
        }
        answer.assign(std::min<std::size_t>(length, 0xFFFE), 0);
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
    details.commands += 2;
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
std::string SubChannelCode(uint8_t hostAdapter, uint8_t target, uint8_t format, uint8_t track,
                           DiscDetails& details) {
    uint8_t answer[24] = {};
    ++details.commands;
    if (DiscCommands::ReadSubChannel(hostAdapter, target, format, track, answer) != kStatusOk ||
        (answer[8] & 0x80) == 0) {
        return {};
    }
    const std::size_t length = format == 2 ? 13 : 12;
    std::string code(reinterpret_cast<const char*>(answer + 9), length);
    const bool valid = format == 2 ? ValidCatalogNumber(code) : ValidIsrc(code);
    return valid ? code : std::string();
}

// Whose Q is searched for the catalog number and ISRCs beyond what the drive
// reports: the first audio track's when the drive reports neither the
// catalog number nor that track's ISRC (the disc may have none, or the drive
// may not report them), and every track's when that search finds codes.
struct CodeSearch {
    const TrackDetails* first = nullptr; // the first audio track
    bool reported = false;
    bool silent = false; // the disc has codes that the drive does not report

    bool Wants(const TrackDetails& track) const {
        return !track.data && !reported && (&track == first || silent);
    }
};

void FindIndexPoints(QReader& reader, DiscDetails& details, CodeSearch& codes) {
    auto& tracks = details.tracks;
    // Once the next track's pregap is known: the end of a track's own
    // sectors, and the search of its Q for codes where that is wanted (its
    // last hundred sectors, which also tell its highest index).
    const auto finish = [&](std::size_t k) {
        TrackDetails& track = tracks[k];
        if (k + 1 < tracks.size() && tracks[k + 1].session == track.session) {
            track.end = tracks[k + 1].pregapStart;
        } else if (const SessionEntry* session = SessionOf(details, track.session)) {
            track.end = session->leadOut;
        }
        const int32_t count = std::min(kCodeScanSectors, track.end - track.start);
        if (codes.Wants(track) && !reader.broken && count > 0 &&
            reader.Scanned(track.start, track.end) < count) {
            reader.counting = &track;
            reader.Window(track.end - count, count, true);
        }
        if (&track == codes.first) {
            codes.silent = !codes.reported && (!reader.mcn.empty() || !reader.isrcs.empty());
        }
    };
    // Pregaps: the first sector whose Q names the track (index 0 or later).
    // A disc's pregaps mostly last as long as each other, most often 2 s.
    int32_t usual = kUsualPregap;
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        TrackDetails& track = tracks[k];
        track.pregapStart = track.start;
        const bool firstOfLaterSession =
            k > 0 ? tracks[k - 1].session != track.session : track.session > 1;
        reader.counting = &track;
        if (track.data || firstOfLaterSession || reader.broken) {
            // nothing to search
        } else if (k == 0) {
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
        } else {
            // The Q of a few sectors around where the pregap would begin if
            // it lasted as long as the one before, read at once, usually
            // shows the boundary; else the search goes on from what they
            // showed, trying the usual places first.
            const SectorAddress lo = tracks[k - 1].start;
            const SectorAddress expected = track.start - usual;
            const SectorAddress from = std::max(lo + 1, expected - kBoundaryWindow / 2);
            const SectorAddress to = std::min(track.start, expected + kBoundaryWindow / 2);
            if (from < to) {
                reader.Window(from, to - from);
            }
            const int number = track.number;
            const auto named = [number](const Probe& p) { return p.track >= number; };
            const std::optional<Probe> found =
                FindFirst(reader, lo, Probe{track.start, number, 1}, named,
                          {track.start - 1, track.start - kUsualPregap,
                           track.start - kUsualPregap - 1});
            if (found) {
                track.pregapStart = found->position;
                track.indexesRead = true;
                usual = track.start - track.pregapStart;
            }
        }
        if (k > 0) {
            finish(k - 1);
        }
    }
    finish(tracks.size() - 1);
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
    const std::vector<uint8_t> full = ReadWholeToc(hostAdapter, target, 2, details);
    const std::optional<FullToc> toc = ParseFullToc(full.data(), full.size());
    if (!toc || !ApplyFullToc(*toc, details)) {
        ApplyShortToc(hostAdapter, target, table, details);
    }
    for (TrackDetails& track : details.tracks) {
        track.flags = FlagsOfControl(track.control);
    }

    // The catalog number and the first audio track's ISRC as the drive
    // reports them; the other ISRCs after the search, which may have read them.
    details.catalog = SubChannelCode(hostAdapter, target, 2, 0, details);
    CodeSearch codes;
    std::map<int, std::string> reportedIsrc;
    for (const TrackDetails& track : details.tracks) {
        if (!track.data) {
            codes.first = &track;
            reportedIsrc[track.number] = SubChannelCode(
                hostAdapter, target, 3, static_cast<uint8_t>(track.number), details);
            break;
        }
    }
    codes.reported = !details.catalog.empty() ||
                     (codes.first != nullptr && !reportedIsrc[codes.first->number].empty());

    QReader reader(hostAdapter, target, details);
    FindIndexPoints(reader, details, codes);
    if (reader.broken) {
        details.notes.push_back("The drive gives no Q sub-channel: index points are not known");
    }
    const auto framed = [&reader](const TrackDetails& track) {
        return std::any_of(reader.isrcs.begin(), reader.isrcs.end(), [&track](const auto& item) {
            return item.first >= track.start && item.first < track.end;
        });
    };
    for (const TrackDetails& track : details.tracks) {
        if (!track.data && &track != codes.first && !framed(track) && !codes.silent) {
            reportedIsrc[track.number] = SubChannelCode(
                hostAdapter, target, 3, static_cast<uint8_t>(track.number), details);
        }
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

    const std::vector<uint8_t> text = ReadWholeToc(hostAdapter, target, 5, details);
    details.cdText = DecodeCdText(text.data(), text.size());
    return details;
}

} // namespace vindral
