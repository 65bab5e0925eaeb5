#include "accuracy/RipAccuracy.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>

#include "accuracy/CtdbRepair.h"
#include "accuracy/DiscIds.h"
#include "net/HttpClient.h"

namespace vindral::accuracy {

namespace {

std::string TrackName(int number) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "Track %02d: ", number);
    return buffer;
}

std::string ShiftText(int shift) {
    return (shift > 0 ? "+" : "") + std::to_string(shift);
}

std::string Count(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string LookupStateLine(const char* database, LookupState state, const std::string& reason) {
    switch (state) {
    case LookupState::Unreachable:
        return std::string(database) + ": database not reachable" +
               (reason.empty() ? "" : " (" + reason + ")");
    case LookupState::Unusable:
        return std::string(database) + ": unusable answer, not used (" + reason + ")";
    case LookupState::Found:
    case LookupState::NotInDatabase:
        break;
    }
    return {};
}

RipAccuracy::RipAccuracy(const TrackTable& table, const ExtractJob& job,
                         RipAccuracyOptions options)
    : toc_(DiscTocFromTable(table)), options_(std::move(options)) {
    // The audio tracks of the disc in order: index, length and place.
    std::vector<int> audioNumbers;
    SectorAddress firstStart = 0;
    SectorAddress audioEnd = 0;
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        if (entry.dataTrack != 0) {
            continue;
        }
        if (audioNumbers.empty()) {
            firstStart = entry.start;
        }
        audioNumbers.push_back(entry.number);
        audioEnd = entry.start + entry.length;
    }
    if (!audioNumbers.empty() && audioEnd > firstStart) {
        discAudioSamples_ = static_cast<uint64_t>(audioEnd - firstStart) * kSamplesPerSector;
    }
    for (const JobEntry& entry : job.tracks) {
        TrackAccuracy track;
        track.number = entry.track.number;
        track.file = entry.path;
        TrackPlace place;
        for (std::size_t a = 0; a < audioNumbers.size(); ++a) {
            if (entry.track.number != 0 && audioNumbers[a] == entry.track.number) {
                track.audioIndex = static_cast<int>(a);
                place.first = a == 0;
                place.last = a + 1 == audioNumbers.size();
            }
        }
        tracks_.push_back(std::move(track));
        places_.push_back(place);
        edges_.emplace_back();
        offsetSums_.emplace_back();
        trackSamples_.push_back(static_cast<uint64_t>(entry.track.length > 0 ? entry.track.length : 0) *
                                kSamplesPerSector);
        fileStarts_.push_back(job.oneFile ? entry.fileStart : 0);
        trackStarts_.push_back(entry.track.start);
    }
}

void RipAccuracy::LookUp(const std::atomic<bool>* cancel) {
    cancel_ = cancel;
    const net::AnswerCache cache(options_.cacheFolder);
    // Both databases are asked at the same time: the wait is the longer of
    // the two, not their sum.
    std::thread accurateRip([this, &cache, cancel] {
        accurateRip_ = LookUpAccurateRip(toc_, options_.accurateRipUrl, cache, cancel);
    });
    ctdb_ = LookUpCtdb(toc_, options_.ctdbUrl, cache, cancel);
    accurateRip.join();
}

void RipAccuracy::SetAnswers(AccurateRipLookup accurateRip, CtdbLookup ctdb) {
    accurateRip_ = std::move(accurateRip);
    ctdb_ = std::move(ctdb);
}

void RipAccuracy::PassStarting(int entry, bool verification) {
    current_ = entry;
    verifying_ = verification;
    checksums_.reset();
    testCrc_ = 0;
    if (entry < 0 || static_cast<std::size_t>(entry) >= tracks_.size()) {
        current_ = -1;
        return;
    }
    if (!verification) {
        const std::size_t k = static_cast<std::size_t>(entry);
        const TrackPlace place = places_[k];
        const CtdbTrim trim = tracks_[k].audioIndex >= 0 ? CtdbTrimFor(place, discAudioSamples_)
                                                         : CtdbTrim{};
        checksums_ = std::make_unique<TrackChecksums>(trackSamples_[k], place, trim);
    }
}

void RipAccuracy::BlockRead(const uint8_t* pcm, std::size_t bytes) {
    if (current_ < 0) {
        return;
    }
    if (verifying_) {
        testCrc_ = Crc32(pcm, bytes, testCrc_);
    } else if (checksums_) {
        checksums_->Add(pcm, bytes);
    }
}

bool RipAccuracy::ExtractionDone(int entry, bool verifyNext, std::string& line) {
    if (entry != current_ || current_ < 0 || !checksums_) {
        return false;
    }
    TrackAccuracy& track = tracks_[static_cast<std::size_t>(entry)];
    track.extracted = true;
    track.sums = checksums_->Result();
    edges_[static_cast<std::size_t>(entry)] = checksums_->Edges();
    offsetSums_[static_cast<std::size_t>(entry)] = checksums_->OffsetFindingSums();
    checksums_.reset();
    if (track.audioIndex < 0) {
        return false;
    }
    const auto index = static_cast<std::size_t>(track.audioIndex);
    if (accurateRip_.state == LookupState::Found) {
        track.accurateRip =
            MatchAccurateRip(accurateRip_.responses, index, track.sums.arV1, track.sums.arV2);
    }
    if (ctdb_.state == LookupState::Found) {
        track.ctdb = MatchCtdb(ctdb_.entries, index, track.sums.ctdbCrc);
    }
    if (!verifyNext || !options_.skipConfirmed) {
        return false;
    }
    if (track.accurateRip.accurate && track.accurateRip.confidence >= 2) {
        line = "  Verification skipped: AccurateRip confirms the copy (confidence " +
               std::to_string(track.accurateRip.confidence) + ")";
    } else if (track.ctdb.accurate) {
        line = "  Verification skipped: CTDB confirms the copy (confidence " +
               std::to_string(track.ctdb.confidence) + ")";
    } else {
        return false;
    }
    track.verificationSkipped = true;
    return true;
}

void RipAccuracy::VerificationDone(int entry, int32_t differingBytes) {
    if (entry != current_ || current_ < 0 || !verifying_) {
        return;
    }
    TrackAccuracy& track = tracks_[static_cast<std::size_t>(entry)];
    track.testCrc = testCrc_;
    track.differingBytes = differingBytes;
}

std::vector<std::string> RipAccuracy::RunDone() {
    MatchOtherPressings();
    std::vector<std::string> lines;
    if (options_.repair) {
        lines = RepairFromCtdb();
    }
    for (std::string& line : ResultLines()) {
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> RipAccuracy::RepairFromCtdb() {
    if (ctdb_.state != LookupState::Found) {
        return {};
    }
    bool wanted = false;
    for (const TrackAccuracy& track : tracks_) {
        wanted = wanted || (track.extracted && track.audioIndex >= 0 && !track.ctdb.accurate);
    }
    if (!wanted) {
        return {};
    }
    // Every audio track of the disc, in disc order, from the files.
    const int audioTracks = AccurateRipIdOf(toc_).audioTracks;
    RipFiles files;
    files.toc = toc_;
    std::vector<int> entryOf(static_cast<std::size_t>(std::max(audioTracks, 0)), -1);
    for (std::size_t k = 0; k < tracks_.size(); ++k) {
        const int index = tracks_[k].audioIndex;
        if (index >= 0 && index < audioTracks && tracks_[k].extracted) {
            entryOf[static_cast<std::size_t>(index)] = static_cast<int>(k);
        }
    }
    for (int k : entryOf) {
        if (k < 0) {
            return {"CTDB repair: not possible, it needs every audio track of the disc"};
        }
        const auto e = static_cast<std::size_t>(k);
        files.tracks.push_back(RipTrackFile{tracks_[e].number, tracks_[e].file,
                                            static_cast<uint64_t>(fileStarts_[e]) * kSamplesPerSector,
                                            trackSamples_[e]});
    }
    CtdbRepairOptions repair;
    repair.ctdbUrl = options_.ctdbUrl;
    repair.cacheFolder = options_.cacheFolder;
    repair.cancel = cancel_;
    const CtdbRepairResult result =
        accuracy::RepairFromCtdb(files, ctdb_.entries, &accurateRip_, repair);
    if (result.outcome != CtdbRepairResult::Outcome::Repaired) {
        return result.lines;
    }
    // The files changed: every track's sums and results follow them.
    std::vector<TrackEdges> disc;
    for (const auto& track : result.tracks) {
        disc.push_back(track.edges);
    }
    for (std::size_t index = 0; index < entryOf.size(); ++index) {
        const auto e = static_cast<std::size_t>(entryOf[index]);
        TrackAccuracy& track = tracks_[e];
        const CtdbRepairResult::Track& mended = result.tracks[index];
        if (mended.places > 0) {
            track.repairedPlaces = mended.places;
            track.repairedSamples = mended.samples;
            track.repairedRuns = mended.runs;
            track.sums = mended.sums;
            edges_[e] = mended.edges;
            track.ctdb = MatchCtdb(ctdb_.entries, index, track.sums.ctdbCrc);
            track.ctdbShift.reset();
            if (accurateRip_.state == LookupState::Found) {
                track.accurateRip = MatchAccurateRip(accurateRip_.responses, index,
                                                     track.sums.arV1, track.sums.arV2);
                track.accurateRipShift.reset();
            }
        }
        // The entry met the rip at its shift: every track is matched there.
        if (!track.ctdb.accurate && result.shift != 0) {
            const auto crc = CtdbShiftedCrc(disc, index, CtdbTrimFor(places_[e], discAudioSamples_),
                                            result.shift);
            const CtdbMatch match = crc ? MatchCtdb(ctdb_.entries, index, *crc) : CtdbMatch{};
            if (match.accurate) {
                track.ctdb = match;
                track.ctdbShift = result.shift;
                track.shiftedCtdbCrc = *crc;
            }
        }
    }
    return result.lines;
}

std::vector<SectorAddress> RipAccuracy::RepairedSectors() const {
    std::vector<SectorAddress> sectors;
    for (std::size_t k = 0; k < tracks_.size(); ++k) {
        for (const auto& [first, samples] : tracks_[k].repairedRuns) {
            const auto from = static_cast<SectorAddress>(first / kSamplesPerSector);
            const auto to = static_cast<SectorAddress>((first + samples - 1) / kSamplesPerSector);
            for (SectorAddress s = from; s <= to; ++s) {
                sectors.push_back(trackStarts_[k] + s);
            }
        }
    }
    return sectors;
}

int RipAccuracy::RepairedTracks() const {
    int count = 0;
    for (const TrackAccuracy& track : tracks_) {
        count += track.repairedPlaces > 0 ? 1 : 0;
    }
    return count;
}

void RipAccuracy::MatchOtherPressings() {
    if (accurateRip_.state != LookupState::Found) {
        return;
    }
    // Every audio track of the disc by its index; a track that was not
    // extracted keeps empty edges and sums.
    const int audioTracks = AccurateRipIdOf(toc_).audioTracks;
    if (audioTracks <= 0) {
        return;
    }
    const auto count = static_cast<std::size_t>(audioTracks);
    std::vector<TrackEdges> disc(count);
    std::vector<std::vector<uint32_t>> sums(count);
    std::vector<int> entryOf(count, -1);
    for (std::size_t k = 0; k < tracks_.size(); ++k) {
        const int index = tracks_[k].audioIndex;
        if (index >= 0 && index < audioTracks && tracks_[k].extracted) {
            const auto a = static_cast<std::size_t>(index);
            disc[a] = edges_[k];
            sums[a] = offsetSums_[k];
            entryOf[a] = static_cast<int>(k);
        }
    }
    MatchShiftedAccurateRip(disc, sums, entryOf);

    const bool whole = std::find(entryOf.begin(), entryOf.end(), -1) == entryOf.end();
    if (ctdb_.state != LookupState::Found || !whole) {
        return;
    }
    const std::vector<ReadOffsetCandidate> shifts = FindReadOffsets(accurateRip_.responses, sums);
    for (std::size_t index = 0; index < count; ++index) {
        TrackAccuracy& track = tracks_[static_cast<std::size_t>(entryOf[index])];
        if (track.ctdb.accurate) {
            continue;
        }
        const TrackPlace place = places_[static_cast<std::size_t>(entryOf[index])];
        for (const ReadOffsetCandidate& shift : shifts) {
            if (shift.offset == 0) {
                continue;
            }
            const auto crc =
                CtdbShiftedCrc(disc, index, CtdbTrimFor(place, discAudioSamples_), shift.offset);
            if (!crc) {
                continue;
            }
            const CtdbMatch match = MatchCtdb(ctdb_.entries, index, *crc);
            if (match.accurate) {
                track.ctdb = match;
                track.ctdbShift = shift.offset;
                track.shiftedCtdbCrc = *crc;
                break;
            }
        }
    }
}

namespace {

// Shifts tried on one track at most: the file is read once for all of them.
constexpr std::size_t kMaxShiftsPerTrack = 16;

} // namespace

bool ReadTrackFile(const std::string& path, uint64_t samples, ShiftedAccurateRip& sums) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::vector<uint8_t> buffer(256 * 1024 * kBytesPerSample);
    bool ok = std::fread(buffer.data(), 1, kWavHeaderBytes, file) == kWavHeaderBytes &&
              std::equal(buffer.begin() + 36, buffer.begin() + 40, "data");
    uint64_t left = samples * kBytesPerSample;
    while (ok && left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, buffer.size()));
        if (std::fread(buffer.data(), 1, want, file) != want) {
            ok = false;
            break;
        }
        sums.Add(buffer.data(), want);
        left -= want;
    }
    // Nothing may follow the track's samples.
    ok = ok && std::fgetc(file) == EOF;
    std::fclose(file);
    return ok;
}

void RipAccuracy::MatchShiftedAccurateRip(const std::vector<TrackEdges>& disc,
                                          const std::vector<std::vector<uint32_t>>& offsetSums,
                                          const std::vector<int>& entryOf) {
    const std::vector<AccurateRipResponse>& responses = accurateRip_.responses;
    // The shifts each response's own offset-finding sums give, most agreeing
    // tracks first.
    std::vector<std::vector<int>> responseShifts;
    for (const AccurateRipResponse& response : responses) {
        std::vector<int> shifts;
        for (const ReadOffsetCandidate& candidate : FindReadOffsets({response}, offsetSums)) {
            if (candidate.offset != 0) {
                shifts.push_back(candidate.offset);
            }
        }
        responseShifts.push_back(std::move(shifts));
    }
    for (std::size_t index = 0; index < disc.size(); ++index) {
        if (entryOf[index] < 0) {
            continue;
        }
        TrackAccuracy& track = tracks_[static_cast<std::size_t>(entryOf[index])];
        if (track.accurateRip.accurate) {
            continue;
        }
        // The (response, shift) pairs to try, and the shifts among them.
        std::vector<std::pair<std::size_t, int>> tries;
        std::vector<int> shifts;
        for (std::size_t r = 0; r < responses.size(); ++r) {
            if (index >= responses[r].tracks.size() || responses[r].tracks[index].confidence < 1) {
                continue;
            }
            for (int shift : responseShifts[r]) {
                const bool known = std::find(shifts.begin(), shifts.end(), shift) != shifts.end();
                if (!known && shifts.size() == kMaxShiftsPerTrack) {
                    continue;
                }
                if (!known) {
                    shifts.push_back(shift);
                }
                tries.emplace_back(r, shift);
            }
        }
        if (tries.empty()) {
            continue;
        }
        // v1 follows from the kept sums; v2 only from the samples, read back
        // from the file.
        std::map<int, AccurateRipSums> at;
        for (int shift : shifts) {
            if (const auto v1 = AccurateRipV1Shifted(disc, index, shift)) {
                at[shift].v1 = *v1;
            }
        }
        auto best = [&](bool withV2) {
            AccurateRipMatch match = track.accurateRip;
            std::optional<int> matchShift;
            uint32_t matched = 0;
            for (const auto& [r, shift] : tries) {
                const auto found = at.find(shift);
                if (found == at.end()) {
                    continue;
                }
                const AccurateRipEntry& entry = responses[r].tracks[index];
                const bool isV2 = withV2 && entry.checksum == found->second.v2;
                if ((isV2 || entry.checksum == found->second.v1) &&
                    entry.confidence > match.confidence) {
                    match.accurate = true;
                    match.v2 = isV2;
                    match.response = static_cast<int>(r);
                    match.confidence = entry.confidence;
                    matchShift = shift;
                    matched = entry.checksum;
                }
            }
            if (matchShift) {
                track.accurateRip = match;
                track.accurateRipShift = matchShift;
                track.shiftedArSum = matched;
            }
            return matchShift.has_value();
        };
        // The file is read only when a v2 match could still be better.
        int most = 0;
        for (const auto& [r, shift] : tries) {
            most = std::max<int>(most, responses[r].tracks[index].confidence);
        }
        if (best(false) && track.accurateRip.confidence >= most) {
            continue;
        }
        ShiftedAccurateRip recomputed(disc, index, shifts);
        if (!ReadTrackFile(track.file, disc[index].samples, recomputed)) {
            continue;
        }
        // The samples give v1 too; it equals the one from the kept sums,
        // which every shift the samples cover has.
        const auto results = recomputed.Result();
        for (std::size_t s = 0; s < shifts.size(); ++s) {
            const auto found = at.find(shifts[s]);
            if (found != at.end() && results[s]) {
                found->second.v2 = results[s]->v2;
            } else if (found != at.end()) {
                at.erase(found);
            }
        }
        best(true);
    }
}

TrackVerdict RipAccuracy::Verdict(const TrackAccuracy& track) const {
    if (track.accurateRip.accurate || track.ctdb.accurate) {
        return TrackVerdict::Accurate;
    }
    if (track.accurateRip.pressings > 0 || track.ctdb.entries > 0) {
        return TrackVerdict::NotAccurate;
    }
    return TrackVerdict::NotInDatabase;
}

bool RipAccuracy::AnyNotAccurate() const {
    for (const TrackAccuracy& track : tracks_) {
        if (track.extracted && track.audioIndex >= 0 &&
            Verdict(track) == TrackVerdict::NotAccurate) {
            return true;
        }
    }
    return false;
}

std::string RipAccuracy::AccurateRipLine(const TrackAccuracy& track, bool named) const {
    const AccurateRipMatch& match = track.accurateRip;
    if (match.accurate && track.accurateRipShift) {
        return TrackName(track.number) + "accurate (AccurateRip " + (match.v2 ? "v2" : "v1") +
               ", confidence " + std::to_string(match.confidence) + " of " +
               std::to_string(match.total) + ", pressing shifted by " +
               ShiftText(*track.accurateRipShift) + " samples) [" + Upper8(track.shiftedArSum) +
               "]";
    }
    if (match.accurate) {
        return TrackName(track.number) + "accurate (AccurateRip " + (match.v2 ? "v2" : "v1") +
               ", confidence " + std::to_string(match.confidence) + " of " +
               std::to_string(match.total) + ") [" +
               Upper8(match.v2 ? track.sums.arV2 : track.sums.arV1) + "]";
    }
    if (match.pressings > 0) {
        return TrackName(track.number) + "not accurate (AccurateRip: " +
               Count(match.pressings, "pressing", "pressings") + ", none matches) [" +
               Upper8(track.sums.arV2) + "]";
    }
    return TrackName(track.number) + "not in database" + (named ? " (AccurateRip)" : "") + " [" +
           Upper8(track.sums.arV2) + "]";
}

std::string RipAccuracy::CtdbLine(const TrackAccuracy& track, bool named) const {
    const CtdbMatch& match = track.ctdb;
    if (match.accurate && track.ctdbShift) {
        const int shift = *track.ctdbShift;
        return TrackName(track.number) + "accurate (CTDB, confidence " +
               std::to_string(match.confidence) + " of " + std::to_string(match.total) +
               ", pressing shifted by " + ShiftText(shift) + " samples) [" + Upper8(track.shiftedCtdbCrc) + "]";
    }
    if (match.accurate) {
        return TrackName(track.number) + "accurate (CTDB, confidence " +
               std::to_string(match.confidence) + " of " + std::to_string(match.total) + ") [" +
               Upper8(track.sums.ctdbCrc) + "]";
    }
    if (match.entries > 0) {
        return TrackName(track.number) + "not accurate (CTDB: " +
               Count(match.entries, "entry", "entries") + ", none matches) [" +
               Upper8(track.sums.ctdbCrc) + "]";
    }
    return TrackName(track.number) + "not in database" + (named ? " (CTDB)" : "") + " [" +
           Upper8(track.sums.ctdbCrc) + "]";
}

std::vector<std::string> RipAccuracy::ResultLines() const {
    std::vector<std::string> lines;
    const std::string arState =
        LookupStateLine("AccurateRip", accurateRip_.state, accurateRip_.reason);
    const std::string ctdbState = LookupStateLine("CTDB", ctdb_.state, ctdb_.reason);
    const bool arLines = arState.empty();
    const bool ctdbLines = ctdbState.empty();
    if (!arLines) {
        lines.push_back(arState);
    }
    if (!ctdbLines) {
        lines.push_back(ctdbState);
    }
    int accurate = 0;
    int notAccurate = 0;
    int unknown = 0;
    int checked = 0;
    for (const TrackAccuracy& track : tracks_) {
        if (!track.extracted || track.audioIndex < 0) {
            continue;
        }
        ++checked;
        if (arLines) {
            lines.push_back(AccurateRipLine(track));
        }
        if (ctdbLines) {
            lines.push_back(CtdbLine(track));
        }
        switch (Verdict(track)) {
        case TrackVerdict::Accurate:
            ++accurate;
            break;
        case TrackVerdict::NotAccurate:
            ++notAccurate;
            break;
        case TrackVerdict::NotInDatabase:
            ++unknown;
            break;
        }
    }
    if (!arLines && !ctdbLines) {
        lines.push_back("Accuracy: not checked, neither database could be used");
        return lines;
    }
    const int repaired = RepairedTracks();
    lines.push_back("Accuracy: " + std::to_string(accurate) + " of " + std::to_string(checked) +
                    " track(s) accurate, " + std::to_string(notAccurate) + " not accurate, " +
                    std::to_string(unknown) + " not in database" +
                    (repaired > 0 ? "; " + std::to_string(repaired) + " repaired from CTDB" : ""));
    return lines;
}

RipLogData RipAccuracy::LogData() const {
    RipLogData data;
    data.accurateRipId = AccurateRipIdOf(toc_).Text();
    data.cddbId = Hex8(CddbId(toc_));
    data.musicBrainzId = MusicBrainzId(toc_);
    data.ctdbTocId = CtdbTocId(toc_);
    data.toc = CtdbTocString(toc_);
    const std::string arState =
        LookupStateLine("AccurateRip", accurateRip_.state, accurateRip_.reason);
    const std::string ctdbState = LookupStateLine("CTDB", ctdb_.state, ctdb_.reason);
    for (const TrackAccuracy& track : tracks_) {
        if (!track.extracted) {
            continue;
        }
        RipLogTrack line;
        line.number = track.number;
        line.file = track.file;
        line.copyCrc = track.sums.crc32;
        line.testCrc = track.testCrc;
        line.arV1 = track.sums.arV1;
        line.arV2 = track.sums.arV2;
        line.ctdbCrc = track.sums.ctdbCrc;
        if (track.audioIndex >= 0) {
            const std::string prefix = TrackName(track.number);
            auto strip = [&prefix](std::string text) { return text.substr(prefix.size()); };
            line.results.push_back(arState.empty() ? "AccurateRip: " + strip(AccurateRipLine(track, false))
                                                   : arState);
            line.results.push_back(ctdbState.empty() ? "CTDB: " + strip(CtdbLine(track, false))
                                                     : ctdbState);
        }
        if (track.repairedPlaces > 0) {
            line.results.push_back("repaired from CTDB: " + Count(track.repairedPlaces, "place", "places") +
                                   ", " + std::to_string(track.repairedSamples) + " samples");
        }
        if (track.verificationSkipped) {
            line.results.push_back("verification skipped, the databases confirm the copy");
        }
        if (track.differingBytes > 0) {
            line.errors.push_back(std::to_string(track.differingBytes) +
                                  " bytes differ between the two readings");
        }
        data.tracks.push_back(std::move(line));
    }
    return data;
}

} // namespace vindral::accuracy
