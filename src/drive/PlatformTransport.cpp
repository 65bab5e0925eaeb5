#include "drive/Transport.h"

#if defined(_WIN32)
#include "drive/windows/WindowsTransport.h"
#elif defined(__linux__) && __has_include("drive/linux/LinuxPassThrough.h")
#include "drive/linux/LinuxPassThrough.h"
#define VINDRAL_HAVE_LINUX_PASSTHROUGH 1
#endif

namespace vindral {

std::unique_ptr<TransportBackend> CreatePlatformTransport() {
#if defined(_WIN32)
    return CreateWindowsTransport();
#elif defined(VINDRAL_HAVE_LINUX_PASSTHROUGH)
    return CreateLinuxPassThrough();
#else
    return nullptr;
#endif
}

} // namespace vindral

namespace vindral {

std::unique_ptr<TransportBackend> CreateDeviceTransport(const std::vector<std::string>& devices) {
#if defined(VINDRAL_HAVE_LINUX_PASSTHROUGH)
    return CreateLinuxPassThrough(devices);
#else
    (void)devices;
    return nullptr;
#endif
}

} // namespace vindral
