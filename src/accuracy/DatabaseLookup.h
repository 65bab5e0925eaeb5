// Looking a disc up in the AccurateRip and CTDB databases: the URLs, the
// cache, and the parsed answers. A lookup never fails the rip: an answer that
// cannot be had or read is a state with a reason.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "accuracy/AccurateRipAnswer.h"
#include "accuracy/CtdbAnswer.h"
#include "accuracy/CtdbParity.h"
#include "accuracy/DiscIds.h"

namespace vindral::net {
class AnswerCache;
}

namespace vindral::accuracy {

// The public databases. AccurateRip's answers lie under
// <base>/a/b/c/dBAR-nnn-xxxxxxxx-xxxxxxxx-xxxxxxxx.bin; CTDB's lookup is
// <base>/lookup2.php?version=3&ctdb=1&toc=<TOC>, where <TOC> lists every
// track's start address, colon-separated, data tracks marked with a leading
// '-', then the lead-out ("0:24159:127166:278762:309864"); the database
// derives the TOC ID from it and answers with the entries of that ID whose
// track starts are the same (404 when it has none).
inline constexpr const char* kDefaultAccurateRipUrl = "http://www.accuraterip.com/accuraterip";
inline constexpr const char* kDefaultCtdbUrl = "http://db.cuetools.net";

enum class LookupState {
    Found,         // an answer with at least one entry
    NotInDatabase, // the database does not know the disc
    Unreachable,   // no answer (no network, time limit, server error)
    Unusable,      // an answer that cannot be read (truncated, malformed)
};

struct AccurateRipLookup {
    LookupState state = LookupState::Unreachable;
    std::string reason; // with Unreachable and Unusable
    bool fromCache = false;
    std::vector<AccurateRipResponse> responses;
};

struct CtdbLookup {
    LookupState state = LookupState::Unreachable;
    std::string reason;
    bool fromCache = false;
    std::vector<CtdbEntry> entries;
};

// An entry's parity download (see accuracy/CtdbParity.h).
struct CtdbParityDownload {
    LookupState state = LookupState::Unreachable;
    std::string reason;
    bool fromCache = false;
    CtdbParity parity;
};

std::string AccurateRipUrl(const std::string& base, const AccurateRipId& id);
std::string CtdbTocString(const DiscToc& toc);
std::string CtdbLookupUrl(const std::string& base, const DiscToc& toc);
// The entry's `hasparity`: a path is taken on the database's server `base`.
std::string CtdbParityUrl(const std::string& base, const CtdbEntry& entry);

// Cached answers are used first; a cached answer that cannot be read is
// dropped and fetched again; a fetched answer is cached only when it could be
// read. When `cancel` becomes true a request on its way ends at once
// (Unreachable, "cancelled").
AccurateRipLookup LookUpAccurateRip(const DiscToc& toc, const std::string& base,
                                    const net::AnswerCache& cache,
                                    const std::atomic<bool>* cancel = nullptr);
CtdbLookup LookUpCtdb(const DiscToc& toc, const std::string& base,
                      const net::AnswerCache& cache, const std::atomic<bool>* cancel = nullptr);
// The parity of an entry with HasParity(), cached like the answers (by the
// entry's id). A download that is cut short, damaged or not the entry's is
// Unusable with the reason; a missing one NotInDatabase.
CtdbParityDownload DownloadCtdbParity(const CtdbEntry& entry, const std::string& base,
                                      const net::AnswerCache& cache,
                                      const std::atomic<bool>* cancel = nullptr);

} // namespace vindral::accuracy
