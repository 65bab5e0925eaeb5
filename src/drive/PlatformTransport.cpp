#include "drive/Transport.h"

#if defined(_WIN32)
#include "drive/windows/WindowsTransport.h"
#elif defined(__linux__)
#include "drive/linux/LinuxPassThrough.h"
#endif

namespace vindral {

std::unique_ptr<TransportBackend> CreatePlatformTransport() {
#if defined(_WIN32)
    return CreateWindowsTransport();
#elif defined(__linux__)
    return CreateLinuxPassThrough();
#else
    return nullptr;
#endif
}

std::unique_ptr<TransportBackend> CreateDeviceTransport(const std::vector<std::string>& devices) {
#if defined(__linux__)
    return CreateLinuxPassThrough(devices);
#else
    // Device nodes exist only on Linux; elsewhere the drives are found by letter.
    (void)devices;
    return CreatePlatformTransport();
#endif
}

} // namespace vindral
