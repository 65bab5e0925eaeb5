#include "accuracy/DatabaseLookup.h"

#include <optional>

#include "net/HttpClient.h"

namespace vindral::accuracy {

namespace {

// A database's answer: the one kept in the cache under `name`, else the one
// fetched from `url`. Without one, the look-up says why (not in the database,
// or the reason it could not be reached) and nothing is returned.
template <typename Lookup>
std::optional<std::string> Fetch(const net::AnswerCache& cache, const std::string& name,
                                 const std::string& url, Lookup& lookup) {
    if (auto cached = cache.Load(name)) {
        lookup.fromCache = true;
        return cached;
    }
    net::HttpAnswer answer = net::HttpGet(url);
    if (answer.outcome == net::HttpAnswer::Outcome::NotFound) {
        lookup.state = LookupState::NotInDatabase;
        return std::nullopt;
    }
    if (answer.outcome != net::HttpAnswer::Outcome::Ok) {
        lookup.reason = answer.reason;
        return std::nullopt;
    }
    return std::move(answer.body);
}

} // namespace

std::string AccurateRipUrl(const std::string& base, const AccurateRipId& id) {
    return net::JoinUrl(base, id.DatabasePath());
}

std::string CtdbTocString(const DiscToc& toc) {
    std::string text;
    for (const DiscTrack& track : toc.tracks) {
        if (track.data) {
            text += '-';
        }
        text += std::to_string(track.start) + ":";
    }
    return text + std::to_string(toc.leadOut);
}

std::string CtdbLookupUrl(const std::string& base, const DiscToc& toc) {
    return net::JoinUrl(base, "lookup2.php?version=3&ctdb=1&toc=" + CtdbTocString(toc));
}

AccurateRipLookup LookUpAccurateRip(const DiscToc& toc, const std::string& base,
                                    const net::AnswerCache& cache) {
    AccurateRipLookup lookup;
    const AccurateRipId id = AccurateRipIdOf(toc);
    if (id.audioTracks == 0) {
        lookup.state = LookupState::NotInDatabase;
        return lookup;
    }
    const std::string name =
        net::CacheFolderForUrl(base) + "/accuraterip/" + id.DatabasePath();
    const std::optional<std::string> fetched = Fetch(cache, name, AccurateRipUrl(base, id), lookup);
    if (!fetched) {
        return lookup;
    }
    const std::string& body = *fetched;
    std::string error;
    auto responses = ParseAccurateRipAnswer(reinterpret_cast<const uint8_t*>(body.data()),
                                            body.size(), &id, error);
    if (!responses) {
        lookup.state = LookupState::Unusable;
        lookup.reason = error;
        return lookup;
    }
    if (!lookup.fromCache) {
        cache.Store(name, body);
    }
    lookup.state = LookupState::Found;
    lookup.responses = std::move(*responses);
    return lookup;
}

CtdbLookup LookUpCtdb(const DiscToc& toc, const std::string& base, const net::AnswerCache& cache) {
    CtdbLookup lookup;
    const std::string name = net::CacheFolderForUrl(base) + "/ctdb/" + CtdbTocId(toc) + "-" +
                             std::to_string(toc.tracks.empty() ? 0 : toc.tracks.front().start) +
                             ".xml";
    const std::optional<std::string> fetched = Fetch(cache, name, CtdbLookupUrl(base, toc), lookup);
    if (!fetched) {
        return lookup;
    }
    const std::string& body = *fetched;
    std::string error;
    auto entries = ParseCtdbAnswer(body, error);
    if (!entries) {
        lookup.state = LookupState::Unusable;
        lookup.reason = error;
        return lookup;
    }
    if (!lookup.fromCache) {
        cache.Store(name, body);
    }
    lookup.entries = std::move(*entries);
    lookup.state = lookup.entries.empty() ? LookupState::NotInDatabase : LookupState::Found;
    return lookup;
}

} // namespace vindral::accuracy
