// libcurl, opened at run time by the first look-up: a program that never looks
// anything up never loads it, nor the thirty libraries it pulls in. The curl
// header stays the source of every type.
#pragma once

#include <string>

#include <curl/curl.h>

namespace vindral::net {

// The libcurl functions the HTTP client calls.
struct CurlLibrary {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_multi_init) multi_init = nullptr;
    decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&curl_multi_perform) multi_perform = nullptr;
    decltype(&curl_multi_poll) multi_poll = nullptr;
    decltype(&curl_multi_info_read) multi_info_read = nullptr;
    decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
};

// The name libcurl's run-time package installs.
inline constexpr const char* kCurlSoname = "libcurl.so.4";

// Opens `soname` and finds every function of CurlLibrary in it; the library
// then stays loaded for the life of the process. False, with `reason` in
// words, when it cannot be opened or lacks a function.
bool OpenCurlLibrary(const char* soname, CurlLibrary& library, std::string& reason);

// kCurlSoname, opened and initialised (curl_global_init) once, by the first
// caller from whichever thread; nullptr with `reason` when that failed (and
// on every later call: it is not tried again).
const CurlLibrary* Curl(std::string& reason);

} // namespace vindral::net
