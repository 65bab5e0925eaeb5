// What answer_fuzz feeds its input to, shared with the corpus test: the
// readers of the network's answers. The first byte chooses the reader, the
// rest is the answer:
//   'd' a MusicBrainz discid answer, 'r' a MusicBrainz release answer,
//   'q' a GnuDB `cddb query` answer, 'g' a GnuDB `cddb read` answer,
//   'c' a CTDB lookup answer, then optionally a NUL byte and a parity
//       download read against every entry with parity,
//   'i' a cover image.
// The disc they are matched with has four audio tracks (the one of
// tests/data/metadata). Besides not crashing, each reader must keep its
// promises; a broken one is named in `broken`.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "accuracy/CtdbAnswer.h"
#include "accuracy/CtdbParity.h"
#include "metadata/Services.h"
#include "output/CoverImage.h"

namespace vindral::fuzz {

enum class Answer { Ignored, Accepted, NotFound, Refused };

struct Fed {
    Answer answer = Answer::Ignored;
    std::string broken; // the promise a reader broke, empty when none
};

inline const accuracy::DiscToc& FourTrackDisc() {
    static const accuracy::DiscToc toc = [] {
        accuracy::DiscToc disc;
        disc.lastTrack = 4;
        disc.tracks = {{1, 0, false}, {2, 40, false}, {3, 70, false}, {4, 100, false}};
        disc.leadOut = 120;
        return disc;
    }();
    return toc;
}

// The tracks of a release: numbered as the disc's audio tracks, in order.
inline bool TracksInOrder(const metadata::Release& release, int first, int last) {
    int previous = first;
    for (const metadata::TrackMetadata& track : release.tracks) {
        if (track.number < previous || track.number > last) {
            return false;
        }
        previous = track.number;
    }
    return true;
}

inline bool PlainWord(const std::string& word) {
    return !word.empty() && word.size() <= 32 &&
           std::all_of(word.begin(), word.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

inline Fed FeedMusicBrainz(char kind, const std::string& text) {
    const metadata::detail::DiscKey key = metadata::detail::KeyOf(FourTrackDisc());
    const int last = key.firstAudioTrack + 98;
    Fed fed;
    std::string error;
    std::vector<metadata::Release> releases(1);
    const bool read = kind == 'd'
                          ? metadata::detail::ReadDiscIdAnswer(text, key, releases, error)
                          : metadata::detail::ReadReleaseAnswer(text, key, releases[0], error);
    if (!read) {
        fed.answer = Answer::Refused;
        fed.broken = error.empty() ? "a MusicBrainz answer refused without a reason" : "";
        return fed;
    }
    fed.answer = releases.empty() ? Answer::NotFound : Answer::Accepted;
    for (const metadata::Release& release : releases) {
        if (release.mbid.empty() || !TracksInOrder(release, key.firstAudioTrack, last)) {
            fed.broken = "a MusicBrainz release without its ID or with tracks out of order";
        }
    }
    return fed;
}

inline Fed FeedGnudb(char kind, const std::string& text) {
    Fed fed;
    std::string note;
    metadata::detail::GnudbResult result;
    if (kind == 'q') {
        std::string category;
        std::string discId;
        result = metadata::detail::ReadGnudbQuery(text, category, discId, note);
        if (result == metadata::detail::GnudbResult::Found &&
            (!PlainWord(category) || !PlainWord(discId))) {
            fed.broken = "a GnuDB match that is not two plain words";
        }
    } else {
        metadata::Release release;
        result = metadata::detail::ReadGnudbEntry(text, FourTrackDisc(), release, note);
        if (result == metadata::detail::GnudbResult::Found &&
            ((release.album.empty() && release.tracks.empty()) || release.tracks.size() > 4 ||
             !TracksInOrder(release, 1, 4))) {
            fed.broken = "a GnuDB entry found without names or with tracks the disc lacks";
        }
    }
    fed.answer = result == metadata::detail::GnudbResult::Found      ? Answer::Accepted
                 : result == metadata::detail::GnudbResult::NotFound ? Answer::NotFound
                                                                     : Answer::Refused;
    if (fed.answer == Answer::Refused && note.empty()) {
        fed.broken = "a GnuDB answer refused without a note";
    }
    return fed;
}

// A parity read from the network, decoded against a rip of the entry's
// stride (short strides only: seven and a half rows of a fixed pattern): a
// plan may only touch words of the disc, in order, within the code's
// capacity, and applied it changes exactly the words it names.
inline void RepairWith(const accuracy::CtdbEntry& entry, const accuracy::CtdbParity& parity,
                       std::string& broken) {
    if (entry.stride > 64) {
        return;
    }
    const uint64_t samples = 7 * uint64_t{entry.stride} + entry.stride / 2;
    std::string error;
    const auto layout = accuracy::CtdbLayoutFor(samples, entry.stride, error);
    if (!layout) {
        return;
    }
    std::vector<uint8_t> audio(samples * 4);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    }
    accuracy::CtdbSyndromeCalculator calculator(*layout);
    calculator.Add(audio.data(), audio.size());
    const auto rip = calculator.Finish();
    if (!rip) {
        broken = "no syndromes of a whole rip";
        return;
    }
    // Where the entry meets the rip; else its own frame, so that the
    // download's columns are decoded all the same.
    const auto shift = accuracy::FindCtdbShift(*rip, entry);
    const accuracy::CtdbRepairPlan plan =
        accuracy::AnalyseCtdbRepair(*rip, parity, entry, shift ? shift->shift : 0);
    uint64_t previous = 0;
    for (const accuracy::CtdbCorrection& correction : plan.corrections) {
        if (correction.word >= layout->Words() || correction.word < previous || correction.flip == 0) {
            broken = "a CTDB repair outside the disc, out of order or changing nothing";
        }
        previous = correction.word + 1;
    }
    if (plan.mostErrorsInAColumn > plan.npar / 2 + 1 ||
        (plan.outcome != accuracy::CtdbRepairPlan::Outcome::Impossible &&
         plan.mostErrorsInAColumn > plan.npar / 2)) {
        broken = "a CTDB repair beyond the code's capacity";
    }
    if (plan.outcome == accuracy::CtdbRepairPlan::Outcome::Repairable &&
        accuracy::ApplyCtdbRepair(plan, 0, audio.data(), audio.size()) != plan.corrections.size()) {
        broken = "a CTDB repair that does not change the words it names";
    }
}

// The lookup answer, then the parity download against each entry with parity:
// Accepted when every such entry takes the download.
inline Fed FeedCtdb(std::string_view text) {
    Fed fed;
    const std::size_t nul = text.find('\0');
    const std::string_view xml = text.substr(0, nul);
    std::string error;
    const auto entries = accuracy::ParseCtdbAnswer(xml, error);
    if (!entries) {
        fed.answer = Answer::Refused;
        fed.broken = error.empty() ? "a CTDB answer refused without a reason" : "";
        return fed;
    }
    fed.answer = entries->empty() ? Answer::NotFound : Answer::Accepted;
    for (const accuracy::CtdbEntry& entry : *entries) {
        if (entry.npar < 0 || entry.syndrome.size() > static_cast<std::size_t>(entry.npar)) {
            fed.broken = "a CTDB entry with more syndromes than npar";
        }
    }
    if (nul == std::string_view::npos) {
        return fed;
    }
    const std::string_view download = text.substr(nul + 1);
    for (const accuracy::CtdbEntry& entry : *entries) {
        if (!entry.HasParity()) {
            continue;
        }
        error.clear();
        const auto parity = accuracy::ParseCtdbParity(download, entry, error);
        if (!parity) {
            fed.answer = Answer::Refused;
            fed.broken = error.empty() ? "a CTDB parity refused without a reason" : fed.broken;
            continue;
        }
        // What was read writes back as the download's first rows, and
        // column 0 is the lookup's syndrome.
        const int npar = std::min(entry.npar, accuracy::kCtdbMaxParityWords);
        const std::string bytes = accuracy::CtdbParityBytes(*parity);
        if (parity->npar != npar || parity->stride != 2 * entry.stride ||
            parity->syndromes.size() != std::size_t{parity->stride} * static_cast<std::size_t>(npar) ||
            download.substr(0, bytes.size()) != bytes) {
            fed.broken = "a CTDB parity that is not the download's rows";
        }
        for (std::size_t j = 0; j < entry.syndrome.size() && j < static_cast<std::size_t>(npar); ++j) {
            if (parity->syndromes[j] != entry.syndrome[j]) {
                fed.broken = "a CTDB parity whose column 0 is not the entry's syndrome";
            }
        }
        RepairWith(entry, *parity, fed.broken);
    }
    return fed;
}

inline Fed FeedCover(std::string_view bytes) {
    Fed fed;
    std::string error;
    const std::vector<uint8_t> given(bytes.begin(), bytes.end());
    const auto image = output::CoverFromBytes(given, error);
    if (!image) {
        fed.answer = Answer::Refused;
        if (error != "not a JPEG or PNG image" && error != "larger than 10 MB") {
            fed.broken = "a cover refused with another reason: " + error;
        }
        return fed;
    }
    fed.answer = Answer::Accepted;
    const bool png = !given.empty() && given[0] == 0x89;
    if (image->mimeType != (png ? "image/png" : "image/jpeg") || image->data != given) {
        fed.broken = "a cover with another type or other bytes than given";
    }
    return fed;
}

inline Fed FeedAnswer(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return {};
    }
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0]) {
    case 'd':
    case 'r':
        return FeedMusicBrainz(static_cast<char>(data[0]), rest);
    case 'q':
    case 'g':
        return FeedGnudb(static_cast<char>(data[0]), rest);
    case 'c':
        return FeedCtdb(rest);
    case 'i':
        return FeedCover(rest);
    default:
        return {};
    }
}

} // namespace vindral::fuzz
