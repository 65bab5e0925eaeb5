#include "accuracy/DatabaseLookup.h"

#include <atomic>
#include <cstdio>
#include <optional>

#include "accuracy/Checksums.h"

#include "net/HttpClient.h"

namespace vindral::accuracy {

namespace {

// A database's answer: the one kept in the cache under `name`, else the one
// fetched from `url`. Without one, the look-up says why (not in the database,
// or the reason it could not be reached) and nothing is returned.
template <typename Lookup>
std::optional<std::string> Fetch(const net::AnswerCache& cache, const std::string& name,
                                 const std::string& url, Lookup& lookup,
                                 const std::atomic<bool>* cancel, bool useCache) {
    if (useCache) {
        if (auto cached = cache.Load(name)) {
            lookup.fromCache = true;
            return cached;
        }
    }
    lookup.fromCache = false;
    lookup.state = LookupState::Unreachable;
    lookup.reason.clear();
    net::HttpAnswer answer = net::HttpGet(url, net::kRequestTimeoutSeconds, cancel);
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

// Fetches and parses a database's answer. A cached answer that cannot be
// parsed (cut short, damaged on the disk) is dropped and fetched again, so
// that it never stands in for the database until it ages out; a fetched
// answer is cached only when it could be parsed.
template <typename Lookup, typename Parse>
void FetchAndParse(const net::AnswerCache& cache, const std::string& name, const std::string& url,
                   Lookup& lookup, const std::atomic<bool>* cancel, Parse parse) {
    for (bool useCache : {true, false}) {
        const std::optional<std::string> body = Fetch(cache, name, url, lookup, cancel, useCache);
        if (!body) {
            return;
        }
        std::string error;
        if (parse(*body, error)) {
            if (!lookup.fromCache) {
                cache.Store(name, *body);
            }
            return;
        }
        lookup.state = LookupState::Unusable;
        lookup.reason = error;
        if (!lookup.fromCache) {
            return;
        }
        cache.Drop(name);
    }
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

std::string CtdbParityUrl(const std::string& base, const CtdbEntry& entry) {
    const std::string& url = entry.parityUrl;
    if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) {
        return url;
    }
    return net::JoinUrl(base, url);
}

AccurateRipLookup LookUpAccurateRip(const DiscToc& toc, const std::string& base,
                                    const net::AnswerCache& cache,
                                    const std::atomic<bool>* cancel) {
    AccurateRipLookup lookup;
    const AccurateRipId id = AccurateRipIdOf(toc);
    if (id.audioTracks == 0) {
        lookup.state = LookupState::NotInDatabase;
        return lookup;
    }
    const std::string name =
        net::CacheFolderForUrl(base) + "/accuraterip/" + id.DatabasePath();
    FetchAndParse(cache, name, AccurateRipUrl(base, id), lookup, cancel,
                  [&lookup, &id](const std::string& body, std::string& error) {
                      auto responses = ParseAccurateRipAnswer(
                          reinterpret_cast<const uint8_t*>(body.data()), body.size(), &id, error);
                      if (!responses) {
                          return false;
                      }
                      lookup.state = LookupState::Found;
                      lookup.reason.clear();
                      lookup.responses = std::move(*responses);
                      return true;
                  });
    return lookup;
}

CtdbLookup LookUpCtdb(const DiscToc& toc, const std::string& base, const net::AnswerCache& cache,
                      const std::atomic<bool>* cancel) {
    CtdbLookup lookup;
    const std::string name = net::CacheFolderForUrl(base) + "/ctdb/" + CtdbTocId(toc) + "-" +
                             std::to_string(toc.tracks.empty() ? 0 : toc.tracks.front().start) +
                             ".xml";
    FetchAndParse(cache, name, CtdbLookupUrl(base, toc), lookup, cancel,
                  [&lookup](const std::string& body, std::string& error) {
                      auto entries = ParseCtdbAnswer(body, error);
                      if (!entries) {
                          return false;
                      }
                      lookup.entries = std::move(*entries);
                      lookup.reason.clear();
                      lookup.state = lookup.entries.empty() ? LookupState::NotInDatabase
                                                            : LookupState::Found;
                      return true;
                  });
    return lookup;
}

CtdbParityDownload DownloadCtdbParity(const CtdbEntry& entry, const std::string& base,
                                      const net::AnswerCache& cache,
                                      const std::atomic<bool>* cancel) {
    CtdbParityDownload download;
    if (!entry.HasParity()) {
        download.state = LookupState::NotInDatabase;
        download.reason = "the CTDB entry " + entry.id + " has no parity";
        return download;
    }
    // Named from what the program computed, never from the answer's words.
    const std::string url = CtdbParityUrl(base, entry);
    char name[40];
    std::snprintf(name, sizeof name, "%08x-%08x-%d.bin",
                  Crc32(reinterpret_cast<const uint8_t*>(url.data()), url.size()), entry.crc32,
                  entry.npar);
    FetchAndParse(cache, net::CacheFolderForUrl(base) + "/ctdb/parity/" + name, url, download,
                  cancel, [&download, &entry](const std::string& body, std::string& error) {
                      auto parity = ParseCtdbParity(body, entry, error);
                      if (!parity) {
                          return false;
                      }
                      download.state = LookupState::Found;
                      download.reason.clear();
                      download.parity = std::move(*parity);
                      return true;
                  });
    return download;
}

} // namespace vindral::accuracy
