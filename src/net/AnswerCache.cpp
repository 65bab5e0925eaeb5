#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "net/HttpClient.h"
#include "platform/FileSysCalls.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"

namespace vindral::net {

namespace {

bool SafeName(const std::string& name) {
    if (name.empty() || name.front() == '/') {
        return false;
    }
    std::stringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
    }
    return name.back() != '/';
}

// Creates every folder on the way to `path`'s own folder.
bool MakeFoldersFor(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string DefaultCacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] != '\0') {
        base = xdg;
        if (base.back() != '/') {
            base += '/';
        }
    } else {
        base = platform::HomeFolder() + ".cache/";
    }
    return base + "vindral/";
}

AnswerCache::AnswerCache(std::string folder, long maxAgeSeconds)
    : folder_(std::move(folder)), maxAgeSeconds_(maxAgeSeconds) {
    if (!folder_.empty() && folder_.back() != '/') {
        folder_ += '/';
    }
}

std::optional<std::string> AnswerCache::Load(const std::string& name) const {
    if (folder_.empty() || !SafeName(name)) {
        return std::nullopt;
    }
    const std::string path = folder_ + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    const std::time_t now = std::time(nullptr);
    if (now - info.st_mtime > maxAgeSeconds_ || info.st_mtime > now + 60) {
        return std::nullopt;
    }
    platform::WholeFile file = platform::ReadWholeFile(path, kMaxAnswerBytes);
    if (!file.ok) {
        return std::nullopt;
    }
    return std::move(file.text);
}

void AnswerCache::Drop(const std::string& name) const {
    if (folder_.empty() || !SafeName(name)) {
        return;
    }
    (void)::unlink((folder_ + name).c_str());
}

bool AnswerCache::Store(const std::string& name, const std::string& body) const {
    if (folder_.empty() || !SafeName(name)) {
        return false;
    }
    const std::string path = folder_ + name;
    if (!MakeFoldersFor(path)) {
        return false;
    }
    std::string error;
    return platform::WriteWholeFile(path, body, error);
}

} // namespace vindral::net
