// Stand-ins for the services of the platform that the system was built on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vindral::platform {

// Monotonic milliseconds, wrapping at 2^32 like the system tick.
uint32_t TickCount();
using TickSource = std::function<uint32_t()>;

// Best-effort thread priorities; failure is silent.
void SetCurrentThreadPriorityHighest();
void SetCurrentThreadPriorityNormal();
// Work that may wait for the reading and the window, such as encoding.
void SetCurrentThreadPriorityBelowNormal();

// Free bytes of the folder itself (not of a drive root); false with the
// system's reason when the query fails.
bool QueryFreeBytes(const std::string& folder, uint64_t& bytes, std::string& reason);

// True when the folder exists and something can be listed in it.
bool FolderExists(const std::string& folder);

// Creates `folder` and every folder above it that is missing, as mkdir -p
// does; false with the system's reason.
bool MakeFolders(const std::string& folder, std::string& reason);

// The folder a path names: everything up to and including its last separator,
// "." when there is none.
std::string FolderOf(const std::string& path);

// The user's home folder with a trailing separator.
std::string HomeFolder();

} // namespace vindral::platform
