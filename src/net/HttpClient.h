// The one place that talks to the network: an HTTP GET over libcurl with a
// time limit, and a cache of answers on the disk. A failed request is a
// result ("database not reachable"), never an exception.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

namespace vindral::net {

// Every request gives up after this many seconds, connection included.
constexpr long kRequestTimeoutSeconds = 10;
// Answers larger than this are refused (a dBAR file of 99 tracks and many
// pressings stays far below it).
constexpr std::size_t kMaxAnswerBytes = 8u << 20;

// What every request names itself.
inline constexpr const char* kUserAgent = "Vindral/" VINDRAL_VERSION " ( https://vindral.invalid/ )";

struct HttpAnswer {
    enum class Outcome {
        Ok,          // status 200: `body` holds the answer
        NotFound,    // status 404: the server does not know what was asked
        Unreachable, // no answer, another status, too large, or the time ran out
    };
    Outcome outcome = Outcome::Unreachable;
    long status = 0;    // the HTTP status, 0 when none came
    std::string body;   // with Ok
    std::string reason; // with Unreachable: what went wrong, in words
    bool fromCache = false;
};

// GET `url` (http or https only; redirects followed within those). When
// `cancel` becomes true the request ends within a few hundredths of a
// second, Unreachable with the reason "cancelled".
HttpAnswer HttpGet(const std::string& url, long timeoutSeconds = kRequestTimeoutSeconds,
                   const std::atomic<bool>* cancel = nullptr);

// The cache folder: $XDG_CACHE_HOME/vindral/, or ~/.cache/vindral/ when
// XDG_CACHE_HOME is unset or empty; always with a trailing '/'.
std::string DefaultCacheFolder();

// Answers kept on the disk under a folder, by relative names such as
// "www.accuraterip.com/accuraterip/4/8/2/dBAR-....bin". Names come from the
// program, never from an answer; ".." and absolute names are refused.
class AnswerCache {
public:
    // An empty folder disables the cache.
    explicit AnswerCache(std::string folder, long maxAgeSeconds = 7 * 24 * 3600);

    // The stored answer, unless missing, older than the maximum age, not a
    // regular file or larger than kMaxAnswerBytes.
    std::optional<std::string> Load(const std::string& name) const;
    // Removes a stored answer (one that could not be read, so that it is
    // fetched again).
    void Drop(const std::string& name) const;
    // Stores an answer (through a temporary file and a rename), creating the
    // folders; false when it could not be written.
    bool Store(const std::string& name, const std::string& body) const;

    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
    long maxAgeSeconds_;
};

// The cache folder name of a base URL: its host and port, without the
// scheme ("www.accuraterip.com", "127.0.0.1_8080").
std::string CacheFolderForUrl(const std::string& baseUrl);

// A base URL joined with a path: exactly one '/' between them.
std::string JoinUrl(const std::string& base, const std::string& path);

} // namespace vindral::net
