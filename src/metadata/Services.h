// The metadata module's own parts: the MusicBrainz and GnuDB requests and the
// reading of their answers. Not for use outside src/metadata.
#pragma once

#include <string>
#include <vector>

#include "metadata/DiscMetadata.h"
#include "net/HttpClient.h"

namespace vindral::metadata::detail {

// The disc as the answers are matched against it.
struct DiscKey {
    std::string discId;     // MusicBrainz disc ID
    int firstAudioTrack = 1;
    int audioTracks = 0;    // those the MusicBrainz ID covers
};

DiscKey KeyOf(const accuracy::DiscToc& toc);

// "1+12+267257+150+22767+..." as the discid look-up takes the TOC: first
// and last track, the audio end and the starts, in sectors with the lead-in.
std::string MusicBrainzToc(const accuracy::DiscToc& toc);

// A GET under MusicBrainz's rules: the program's User-Agent, at most one
// request a second within the process, a 503 waited out and asked once more.
net::HttpAnswer MusicBrainzGet(const std::string& url, const std::atomic<bool>* cancel);

// The releases of a discid answer (direct or by the TOC), each with the
// medium that holds `key.discId`, else the first CD medium with as many
// tracks as the disc. False with `error` set when the answer is not one.
bool ReadDiscIdAnswer(const std::string& json, const DiscKey& key, std::vector<Release>& releases,
                      std::string& error);
// One release (the release look-up by its MBID).
bool ReadReleaseAnswer(const std::string& json, const DiscKey& key, Release& release,
                       std::string& error);

// GnuDB: `cddb query` then `cddb read`; Found with one release, NotFound,
// or a note in `note`.
enum class GnudbResult { Found, NotFound, Failed };
// The `cddb query` answer: Found with the first match's category and disc ID
// (plain words, safe to put into the read request), NotFound, or Failed
// with `note` set.
GnudbResult ReadGnudbQuery(const std::string& body, std::string& category, std::string& discId,
                           std::string& note);
// The `cddb read` answer: the entry's names, its TTITLEn given to the disc's
// track n (counted from 0 in disc order); NotFound when it names nothing.
GnudbResult ReadGnudbEntry(const std::string& body, const accuracy::DiscToc& toc, Release& release,
                           std::string& note);
GnudbResult LookUpGnudb(const accuracy::DiscToc& toc, const LookupOptions& options,
                        Release& release, std::string& note);

} // namespace vindral::metadata::detail
