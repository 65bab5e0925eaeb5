#include "accuracy/CtdbRepair.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include <zlib.h>

#include "accuracy/CtdbParity.h"
#include "accuracy/DiscIds.h"
#include "drive/CdCommands.h"
#include "net/HttpClient.h"

namespace vindral::accuracy {

namespace {

// Samples read at once: one stride of the code's rows, a multiple of a
// sector.
constexpr std::size_t kPieceSamples = 64 * kSamplesPerSector;

std::string TrackName(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "Track %02d", number);
    return text;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ShiftText(int shift) {
    return shift == 0 ? std::string()
                      : ", pressing shifted by " + std::string(shift > 0 ? "+" : "") +
                            std::to_string(shift) + " samples";
}

bool Cancelled(const CtdbRepairOptions& options) {
    return options.cancel != nullptr && options.cancel->load();
}

// Reads the rip once, in disc order, handing each piece to `use`.
template <typename Use>
bool ForEachPiece(const RipFiles& files, const CtdbRepairOptions& options, std::string& error,
                  Use use) {
    RipAudioReader reader(files);
    std::vector<uint8_t> pcm(kPieceSamples * kBytesPerSample);
    const uint64_t total = files.Samples();
    for (uint64_t at = 0; at < total; at += kPieceSamples) {
        if (Cancelled(options)) {
            error = "cancelled";
            return false;
        }
        const std::size_t count =
            static_cast<std::size_t>(std::min<uint64_t>(kPieceSamples, total - at));
        if (!reader.Read(at, count, pcm.data(), error)) {
            return false;
        }
        use(at, pcm.data(), count);
    }
    return true;
}

// The rip's sums once the plan's corrections are in: per track, and the
// whole-disc CRC in the entry's frame.
struct Proof {
    std::vector<TrackSums> sums;
    std::vector<TrackEdges> edges;
    uint32_t discCrc = 0;
    std::map<std::string, SampleFixes> fixes; // per file
};

bool ProveRepair(const RipFiles& files, const CtdbRepairPlan& plan, const CtdbParityLayout& layout,
                 const CtdbRepairOptions& options, Proof& proof, std::string& error) {
    const uint64_t total = files.Samples();
    std::vector<std::unique_ptr<TrackChecksums>> sums;
    std::vector<uint64_t> starts;
    for (std::size_t k = 0; k < files.tracks.size(); ++k) {
        const TrackPlace place{k == 0, k + 1 == files.tracks.size()};
        sums.push_back(std::make_unique<TrackChecksums>(files.tracks[k].samples, place,
                                                        CtdbTrimFor(place, total)));
        starts.push_back(files.TrackStart(k));
    }
    // The CRC covers the code's words, moved by the shift.
    const int64_t shiftWords = 2 * static_cast<int64_t>(plan.shift);
    const uint64_t crcFirst = static_cast<uint64_t>(static_cast<int64_t>(layout.FirstWord()) + shiftWords) * 2;
    const uint64_t crcEnd = static_cast<uint64_t>(static_cast<int64_t>(layout.EndWord()) + shiftWords) * 2;
    unsigned long crc = crc32(0, nullptr, 0);
    std::vector<uint8_t> before;
    const bool ok = ForEachPiece(files, options, error, [&](uint64_t at, uint8_t* pcm, std::size_t count) {
        const std::size_t bytes = count * kBytesPerSample;
        const auto firstFix = std::lower_bound(
            plan.corrections.begin(), plan.corrections.end(), at * 2,
            [](const CtdbCorrection& c, uint64_t word) { return c.word < word; });
        const bool touched =
            firstFix != plan.corrections.end() && firstFix->word < (at + count) * 2;
        if (touched) {
            before.assign(pcm, pcm + bytes);
            ApplyCtdbRepair(plan, at, pcm, bytes);
            for (auto c = firstFix; c != plan.corrections.end() && c->word < (at + count) * 2; ++c) {
                const uint64_t sample = c->word / 2;
                const std::size_t k = static_cast<std::size_t>(
                    std::upper_bound(starts.begin(), starts.end(), sample) - starts.begin() - 1);
                const RipTrackFile& track = files.tracks[k];
                const uint8_t* p = pcm + (sample - at) * kBytesPerSample;
                proof.fixes[track.path][track.firstSample + sample - starts[k]] =
                    static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                    static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
            }
        }
        // The piece's bytes inside the CRC's range.
        const uint64_t from = std::max<uint64_t>(crcFirst, at * kBytesPerSample);
        const uint64_t to = std::min<uint64_t>(crcEnd, (at + count) * kBytesPerSample);
        if (from < to) {
            crc = crc32(crc, pcm + (from - at * kBytesPerSample), static_cast<uInt>(to - from));
        }
        // Each track's part of the piece.
        uint64_t sample = at;
        while (sample < at + count) {
            const std::size_t k = static_cast<std::size_t>(
                std::upper_bound(starts.begin(), starts.end(), sample) - starts.begin() - 1);
            const uint64_t end = std::min<uint64_t>(at + count, starts[k] + files.tracks[k].samples);
            sums[k]->Add(pcm + (sample - at) * kBytesPerSample,
                         static_cast<std::size_t>(end - sample) * kBytesPerSample);
            sample = end;
        }
    });
    if (!ok) {
        return false;
    }
    if (crcFirst > crcEnd || crcEnd > total * kBytesPerSample) {
        error = "the shift reaches past the rip's audio";
        return false;
    }
    for (const auto& track : sums) {
        proof.sums.push_back(track->Result());
        proof.edges.push_back(track->Edges());
    }
    proof.discCrc = static_cast<uint32_t>(crc);
    return true;
}

} // namespace

std::string TrackPositionText(uint64_t sample) {
    return CdCommands::FramesToTimeText(static_cast<int32_t>(sample / kSamplesPerSector));
}

CtdbRepairResult RepairFromCtdb(const RipFiles& files, const std::vector<CtdbEntry>& entries,
                                const AccurateRipLookup* accurateRip,
                                const CtdbRepairOptions& options) {
    CtdbRepairResult result;
    result.tracks.resize(files.tracks.size());
    auto line = [&result](std::string text) { result.lines.push_back("CTDB repair: " + std::move(text)); };

    std::vector<const CtdbEntry*> withParity;
    for (const CtdbEntry& entry : entries) {
        if (entry.HasParity()) {
            withParity.push_back(&entry);
        }
    }
    std::stable_sort(withParity.begin(), withParity.end(),
                     [](const CtdbEntry* a, const CtdbEntry* b) { return a->confidence > b->confidence; });
    if (withParity.empty()) {
        line("not possible, no entry of the disc has parity");
        return result;
    }

    // The rip's syndromes: one reading of the files per row length.
    std::map<uint32_t, CtdbRipSyndromes> rip;
    for (const CtdbEntry* entry : withParity) {
        if (rip.count(entry->stride) != 0) {
            continue;
        }
        std::string error;
        const auto layout = CtdbLayoutFor(files.Samples(), entry->stride, error);
        if (!layout) {
            line("not possible, " + error);
            return result;
        }
        CtdbSyndromeCalculator calculator(*layout);
        if (!ForEachPiece(files, options, error, [&calculator](uint64_t, uint8_t* pcm, std::size_t count) {
                calculator.Add(pcm, count * kBytesPerSample);
            })) {
            result.outcome = error == "cancelled" ? CtdbRepairResult::Outcome::Cancelled
                                                  : CtdbRepairResult::Outcome::Failed;
            line("not possible, " + error);
            return result;
        }
        auto syndromes = calculator.Finish();
        if (!syndromes) {
            result.outcome = CtdbRepairResult::Outcome::Failed;
            line("not possible, the files do not hold the disc's audio");
            return result;
        }
        rip.emplace(entry->stride, std::move(*syndromes));
    }

    // The first entry that meets the rip and whose parity mends it.
    const net::AnswerCache cache(options.cacheFolder);
    std::string refusal;
    for (const CtdbEntry* entry : withParity) {
        const CtdbRipSyndromes& syndromes = rip.at(entry->stride);
        const auto shift = FindCtdbShift(syndromes, *entry);
        const std::string name = "entry " + entry->id + " (confidence " +
                                 std::to_string(entry->confidence) + ")";
        if (!shift) {
            refusal = name + " does not meet the rip at any shift the parity covers";
            continue;
        }
        const CtdbParityDownload parity = DownloadCtdbParity(*entry, options.ctdbUrl, cache, options.cancel);
        if (Cancelled(options)) {
            result.outcome = CtdbRepairResult::Outcome::Cancelled;
            line("cancelled, nothing was written");
            return result;
        }
        if (parity.state != LookupState::Found) {
            const std::string reason = parity.reason.empty() ? "" : " (" + parity.reason + ")";
            const std::string why =
                parity.state == LookupState::NotInDatabase ? "the database has no parity for it"
                : parity.state == LookupState::Unusable    ? "unusable parity" + reason
                                                           : "parity not reachable" + reason;
            line(name + ": " + why + "; nothing was written");
            refusal.clear();
            result.outcome = CtdbRepairResult::Outcome::Refused;
            continue;
        }
        const CtdbRepairPlan plan = AnalyseCtdbRepair(syndromes, parity.parity, *entry, shift->shift);
        const int capacity = plan.npar / 2;
        if (plan.outcome == CtdbRepairPlan::Outcome::Exact) {
            result.outcome = CtdbRepairResult::Outcome::Exact;
            result.entryId = entry->id;
            result.shift = plan.shift;
            line("the rip equals " + name + ShiftText(plan.shift) + ", nothing to mend");
            return result;
        }
        if (plan.outcome == CtdbRepairPlan::Outcome::Impossible) {
            refusal = name + ShiftText(plan.shift) + ": " + plan.reason;
            continue;
        }
        // What is wrong, before anything is written.
        const std::vector<CtdbRepairedRun> runs = CtdbRepairedRuns(plan, kSamplesPerSector);
        std::string where;
        for (std::size_t k = 0; k < files.tracks.size(); ++k) {
            const uint64_t start = files.TrackStart(k);
            const uint64_t end = start + files.tracks[k].samples;
            const bool touched = std::any_of(runs.begin(), runs.end(), [&](const CtdbRepairedRun& run) {
                return run.firstSample < end && run.firstSample + run.samples > start;
            });
            if (touched) {
                char number[8];
                std::snprintf(number, sizeof number, "%02d", files.tracks[k].number);
                where += (where.empty() ? " (track " : ", ") + std::string(number);
            }
        }
        where += where.empty() ? "" : ")";
        line(name + ShiftText(plan.shift) + ": " + Plural(plan.wrongSamples, "wrong sample", "wrong samples") +
             " in " + Plural(runs.size(), "place", "places") + where + ", at most " +
             std::to_string(plan.mostErrorsInAColumn) + " of " + std::to_string(capacity) +
             " mendable word(s) in a column: repair possible");
        Proof proof;
        std::string error;
        if (!ProveRepair(files, plan, *CtdbLayoutFor(files.Samples(), entry->stride, error), options,
                         proof, error)) {
            result.outcome = error == "cancelled" ? CtdbRepairResult::Outcome::Cancelled
                                                  : CtdbRepairResult::Outcome::Failed;
            line(error == "cancelled" ? "cancelled, nothing was written"
                                      : "not possible, " + error + "; nothing was written");
            return result;
        }
        if (proof.discCrc != entry->crc32) {
            refusal = name + ": the repaired disc's CRC " + Upper8(proof.discCrc) +
                      " is not the entry's " + Upper8(entry->crc32);
            continue;
        }
        // The runs per track, for the log and the AccurateRip check.
        for (const CtdbRepairedRun& run : runs) {
            for (std::size_t k = 0; k < files.tracks.size(); ++k) {
                const uint64_t start = files.TrackStart(k);
                const uint64_t end = start + files.tracks[k].samples;
                const uint64_t from = std::max(run.firstSample, start);
                const uint64_t to = std::min(run.firstSample + run.samples, end);
                if (from < to) {
                    result.tracks[k].runs.emplace_back(from - start, to - from);
                    result.tracks[k].places += 1;
                    result.tracks[k].samples += to - from;
                }
            }
        }
        // Where AccurateRip holds the rip's pressing (some track matches it
        // as mended), every repaired track it knows must match too.
        std::string arProof;
        if (accurateRip != nullptr && accurateRip->state == LookupState::Found) {
            bool pressingKnown = false;
            std::vector<int> unconfirmed;
            int confirmed = 0;
            for (std::size_t k = 0; k < files.tracks.size(); ++k) {
                const AccurateRipMatch match = MatchAccurateRip(accurateRip->responses, k,
                                                                proof.sums[k].arV1, proof.sums[k].arV2);
                pressingKnown = pressingKnown || match.accurate;
                if (result.tracks[k].places > 0 && match.pressings > 0) {
                    if (match.accurate) {
                        ++confirmed;
                    } else {
                        unconfirmed.push_back(files.tracks[k].number);
                    }
                }
            }
            if (pressingKnown && !unconfirmed.empty()) {
                refusal = name + ": AccurateRip does not confirm " +
                          TrackName(unconfirmed.front()) + " as mended";
                result.tracks.assign(files.tracks.size(), {});
                continue;
            }
            if (pressingKnown && confirmed > 0) {
                arProof = " and AccurateRip (" + Plural(static_cast<uint64_t>(confirmed), "track", "tracks") + ")";
            }
        }
        // Proven: the files are written, each complete or not at all.
        for (const auto& [path, fixes] : proof.fixes) {
            if (Cancelled(options)) {
                result.outcome = CtdbRepairResult::Outcome::Cancelled;
                line("cancelled; the files not yet written stay as read");
                return result;
            }
            if (!RewriteWithFixes(path, fixes, error)) {
                result.outcome = CtdbRepairResult::Outcome::Failed;
                line("a file could not be written (" + error + "); it stays as read");
                return result;
            }
        }
        for (std::size_t k = 0; k < files.tracks.size(); ++k) {
            if (result.tracks[k].places == 0) {
                continue;
            }
            result.lines.push_back(TrackName(files.tracks[k].number) + ":");
            for (const auto& [first, samples] : result.tracks[k].runs) {
                result.lines.push_back("  Repaired from CTDB: " + TrackPositionText(first) + " (" +
                                       std::to_string(samples) + " samples)");
            }
        }
        for (std::size_t k = 0; k < files.tracks.size(); ++k) {
            result.tracks[k].sums = proof.sums[k];
            result.tracks[k].edges = std::move(proof.edges[k]);
            result.places += result.tracks[k].places;
            result.samples += result.tracks[k].samples;
        }
        result.outcome = CtdbRepairResult::Outcome::Repaired;
        result.entryId = entry->id;
        result.shift = plan.shift;
        line(Plural(result.samples, "sample", "samples") + " in " +
             Plural(static_cast<uint64_t>(result.places), "place", "places") +
             " mended, proven by the CTDB CRC [" + Upper8(proof.discCrc) + "]" + arProof);
        return result;
    }
    if (!refusal.empty()) {
        result.outcome = CtdbRepairResult::Outcome::Refused;
        line("refused, " + refusal + "; nothing was written");
    }
    return result;
}

} // namespace vindral::accuracy
