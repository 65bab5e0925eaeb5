#include "net/CurlLibrary.h"

#include <mutex>
#include <type_traits>

#include <dlfcn.h>

namespace vindral::net {

bool OpenCurlLibrary(const char* soname, CurlLibrary& library, std::string& reason) {
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        reason = std::string("libcurl could not be loaded: ") + (error != nullptr ? error : soname);
        return false;
    }
    CurlLibrary found;
    std::string missing;
    auto find = [&](const char* name, auto& slot) {
        void* symbol = missing.empty() ? ::dlsym(handle, name) : nullptr;
        if (symbol == nullptr) {
            if (missing.empty()) {
                missing = name;
            }
            return;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
    };
    find("curl_global_init", found.global_init);
    find("curl_easy_init", found.easy_init);
    find("curl_easy_setopt", found.easy_setopt);
    find("curl_easy_getinfo", found.easy_getinfo);
    find("curl_easy_cleanup", found.easy_cleanup);
    find("curl_easy_strerror", found.easy_strerror);
    find("curl_multi_init", found.multi_init);
    find("curl_multi_add_handle", found.multi_add_handle);
    find("curl_multi_perform", found.multi_perform);
    find("curl_multi_poll", found.multi_poll);
    find("curl_multi_info_read", found.multi_info_read);
    find("curl_multi_remove_handle", found.multi_remove_handle);
    find("curl_multi_cleanup", found.multi_cleanup);
    if (!missing.empty()) {
        ::dlclose(handle);
        reason = std::string("libcurl could not be loaded: ") + soname + " lacks " + missing;
        return false;
    }
    library = found;
    return true;
}

const CurlLibrary* Curl(std::string& reason) {
    static std::once_flag once;
    static CurlLibrary library;
    static const CurlLibrary* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        if (!OpenCurlLibrary(kCurlSoname, library, failure)) {
            return;
        }
        if (const CURLcode result = library.global_init(CURL_GLOBAL_DEFAULT); result != CURLE_OK) {
            failure = std::string("libcurl could not be started: ") + library.easy_strerror(result);
            return;
        }
        loaded = &library;
    });
    if (loaded == nullptr) {
        reason = failure;
    }
    return loaded;
}

} // namespace vindral::net
