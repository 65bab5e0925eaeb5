#include "platform/Platform.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vindral::platform {

uint32_t TickCount() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

namespace {

void SetNice(int value) {
#if defined(_WIN32)
    SetThreadPriority(GetCurrentThread(), value < 0   ? THREAD_PRIORITY_HIGHEST
                                          : value > 0 ? THREAD_PRIORITY_BELOW_NORMAL
                                                      : THREAD_PRIORITY_NORMAL);
#else
    // Linux gives every thread its own nice value.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    (void)setpriority(PRIO_PROCESS, tid, value);
#endif
}

} // namespace

void SetCurrentThreadPriorityHighest() { SetNice(-5); }
void SetCurrentThreadPriorityNormal() { SetNice(0); }
void SetCurrentThreadPriorityBelowNormal() { SetNice(5); }

bool QueryFreeBytes(const std::string& folder, uint64_t& bytes, std::string& reason) {
    std::error_code error;
    const auto info = std::filesystem::space(folder.empty() ? "." : folder, error);
    if (error) {
        bytes = 0;
        reason = error.message();
        return false;
    }
    bytes = static_cast<uint64_t>(info.available);
    reason.clear();
    return true;
}


bool FolderExists(const std::string& folder) {
    std::error_code error;
    return !folder.empty() && std::filesystem::is_directory(folder, error);
}

bool MakeFolders(const std::string& folder, std::string& reason) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !FolderExists(folder)) {
        reason = error ? error.message() : "it is not a folder";
        return false;
    }
    reason.clear();
    return true;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return ".";
    }
    return path.substr(0, slash + 1);
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
#if defined(_WIN32)
    if (home == nullptr) {
        home = std::getenv("USERPROFILE");
    }
#endif
    std::string folder = (home != nullptr && *home != '\0') ? home : "/";
    if (folder.back() != '/' && folder.back() != '\\') {
        folder += '/';
    }
    return folder;
}

} // namespace vindral::platform
