#include "net/HttpClient.h"

#include <cstdlib>

#include "net/CurlLibrary.h"

namespace vindral::net {

namespace {

constexpr int kCancelPollMs = 50;

struct Receiver {
    std::string body;
    bool tooLarge = false;
};

std::size_t Receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto* receiver = static_cast<Receiver*>(user);
    const std::size_t bytes = size * count;
    if (receiver->body.size() + bytes > kMaxAnswerBytes) {
        receiver->tooLarge = true;
        return 0; // makes curl stop with a write error
    }
    receiver->body.append(data, bytes);
    return bytes;
}

} // namespace

HttpAnswer HttpGet(const std::string& url, long timeoutSeconds, const std::atomic<bool>* cancel) {
    HttpAnswer answer;
    const CurlLibrary* lib = Curl(answer.reason);
    if (lib == nullptr) {
        return answer; // a look-up without libcurl is a failed request, never a failed rip
    }
    CURL* curl = lib->easy_init();
    if (curl == nullptr) {
        answer.reason = "the HTTP library could not be started";
        return answer;
    }
    Receiver receiver;
    char errorText[CURL_ERROR_SIZE] = {};
    lib->easy_setopt(curl, CURLOPT_URL, url.c_str());
    lib->easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    lib->easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    lib->easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    lib->easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    lib->easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
    lib->easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds);
    lib->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // the time limit must not use signals
    // The program, its version and where to reach its developers, as
    // MusicBrainz asks of every client.
    lib->easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    lib->easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    lib->easy_setopt(curl, CURLOPT_WRITEDATA, &receiver);
    lib->easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);

    // The transfer runs in steps of at most kCancelPollMs, so that a cancel
    // ends it at once rather than at the end of the time limit.
    CURLcode result = CURLE_OK;
    bool cancelled = false;
    CURLM* multi = lib->multi_init();
    if (multi == nullptr || lib->multi_add_handle(multi, curl) != CURLM_OK) {
        result = CURLE_OUT_OF_MEMORY;
    } else {
        int running = 1;
        while (running > 0) {
            if (cancel != nullptr && cancel->load()) {
                cancelled = true;
                break;
            }
            if (lib->multi_perform(multi, &running) != CURLM_OK) {
                result = CURLE_RECV_ERROR;
                break;
            }
            if (running > 0 && lib->multi_poll(multi, nullptr, 0, kCancelPollMs, nullptr) != CURLM_OK) {
                result = CURLE_RECV_ERROR;
                break;
            }
        }
        int left = 0;
        while (CURLMsg* message = lib->multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
                result = message->data.result;
            }
        }
        lib->multi_remove_handle(multi, curl);
    }
    if (multi != nullptr) {
        lib->multi_cleanup(multi);
    }
    long status = 0;
    lib->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    lib->easy_cleanup(curl);
    answer.status = status;

    if (cancelled) {
        answer.reason = "cancelled";
        return answer;
    }

    if (receiver.tooLarge) {
        answer.reason = "the answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
        return answer;
    }
    if (result != CURLE_OK) {
        answer.reason = errorText[0] != '\0' ? errorText : lib->easy_strerror(result);
        return answer;
    }
    if (status == 200) {
        answer.outcome = HttpAnswer::Outcome::Ok;
        answer.body = std::move(receiver.body);
    } else if (status == 404) {
        answer.outcome = HttpAnswer::Outcome::NotFound;
    } else {
        answer.reason = "HTTP status " + std::to_string(status);
    }
    return answer;
}

std::string JoinUrl(const std::string& base, const std::string& path) {
    std::string url = base;
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    std::size_t skip = 0;
    while (skip < path.size() && path[skip] == '/') {
        ++skip;
    }
    return url + "/" + path.substr(skip);
}

std::string CacheFolderForUrl(const std::string& baseUrl) {
    std::string rest = baseUrl;
    if (const auto scheme = rest.find("://"); scheme != std::string::npos) {
        rest = rest.substr(scheme + 3);
    }
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string::npos) {
        rest = rest.substr(at + 1); // never a user name in a folder name
    }
    std::string folder;
    for (char c : rest) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        folder += plain ? c : '_';
    }
    if (folder.empty() || folder == "." || folder == "..") {
        folder = "_";
    }
    return folder;
}

} // namespace vindral::net
