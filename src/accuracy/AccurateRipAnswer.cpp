#include "accuracy/AccurateRipAnswer.h"

#include <algorithm>
#include <map>
#include <set>

#include "accuracy/Checksums.h"

namespace vindral::accuracy {

namespace {

constexpr std::size_t kHeaderBytes = 13;
constexpr std::size_t kTrackBytes = 9;

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

std::optional<std::vector<AccurateRipResponse>>
ParseAccurateRipAnswer(const uint8_t* data, std::size_t size, const AccurateRipId* expected,
                       std::string& error) {
    std::vector<AccurateRipResponse> responses;
    std::size_t at = 0;
    if (size == 0) {
        error = "empty AccurateRip answer";
        return std::nullopt;
    }
    while (at < size) {
        if (size - at < kHeaderBytes) {
            error = "truncated AccurateRip answer (response " +
                    std::to_string(responses.size() + 1) + " header)";
            return std::nullopt;
        }
        AccurateRipResponse response;
        response.id.audioTracks = data[at];
        response.id.id1 = Le32(data + at + 1);
        response.id.id2 = Le32(data + at + 5);
        response.id.cddb = Le32(data + at + 9);
        at += kHeaderBytes;
        if (response.id.audioTracks == 0) {
            error = "AccurateRip answer with a response of no tracks";
            return std::nullopt;
        }
        if (expected &&
            (response.id.audioTracks != expected->audioTracks || response.id.id1 != expected->id1 ||
             response.id.id2 != expected->id2 || response.id.cddb != expected->cddb)) {
            error = "unexpected AccurateRip answer header " + response.id.Text() + " (asked for " +
                    expected->Text() + ")";
            return std::nullopt;
        }
        if (!responses.empty() && response.id.audioTracks != responses.front().id.audioTracks) {
            error = "AccurateRip answer whose responses differ in track count";
            return std::nullopt;
        }
        const std::size_t need = kTrackBytes * static_cast<std::size_t>(response.id.audioTracks);
        if (size - at < need) {
            error = "truncated AccurateRip answer (response " +
                    std::to_string(responses.size() + 1) + " tracks)";
            return std::nullopt;
        }
        for (int k = 0; k < response.id.audioTracks; ++k) {
            AccurateRipEntry entry;
            entry.confidence = data[at];
            entry.checksum = Le32(data + at + 1);
            entry.offsetFinding = Le32(data + at + 5);
            response.tracks.push_back(entry);
            at += kTrackBytes;
        }
        responses.push_back(std::move(response));
    }
    return responses;
}

AccurateRipMatch MatchAccurateRip(const std::vector<AccurateRipResponse>& responses,
                                  std::size_t trackIndex, uint32_t v1, uint32_t v2) {
    AccurateRipMatch match;
    for (std::size_t r = 0; r < responses.size(); ++r) {
        if (trackIndex >= responses[r].tracks.size()) {
            continue;
        }
        const AccurateRipEntry& entry = responses[r].tracks[trackIndex];
        if (entry.confidence < 1) {
            continue;
        }
        match.total += entry.confidence;
        ++match.pressings;
        const bool isV2 = entry.checksum == v2;
        if ((isV2 || entry.checksum == v1) && entry.confidence > match.confidence) {
            match.accurate = true;
            match.v2 = isV2;
            match.response = static_cast<int>(r);
            match.confidence = entry.confidence;
        }
    }
    return match;
}

std::vector<ReadOffsetCandidate>
FindReadOffsets(const std::vector<AccurateRipResponse>& responses,
                const std::vector<std::vector<uint32_t>>& trackSums) {
    std::map<int, int> agreeing;
    for (std::size_t t = 0; t < trackSums.size(); ++t) {
        std::set<uint32_t> wanted;
        for (const AccurateRipResponse& response : responses) {
            if (t < response.tracks.size() && response.tracks[t].confidence >= 1 &&
                response.tracks[t].offsetFinding != 0) {
                wanted.insert(response.tracks[t].offsetFinding);
            }
        }
        for (std::size_t w = 0; w < trackSums[t].size(); ++w) {
            if (trackSums[t][w] != 0 && wanted.count(trackSums[t][w])) {
                ++agreeing[static_cast<int>(w) - kOffsetSearchSamples];
            }
        }
    }
    std::vector<ReadOffsetCandidate> candidates;
    for (const auto& [offset, tracks] : agreeing) {
        candidates.push_back({offset, tracks});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const ReadOffsetCandidate& a, const ReadOffsetCandidate& b) {
                         return a.tracks > b.tracks;
                     });
    return candidates;
}

} // namespace vindral::accuracy
