// The Windows system calls of the drive backends, behind one small interface
// so that the backends run against a fake system in the tests. Handles are
// opaque pointers; the values follow the Win32 functions of the same names
// (CreateFileA fails with InvalidHandle(), CreateEventA and LoadLibraryA with
// nullptr).
#pragma once

#include <cstdint>
#include <memory>

namespace vindral::windows {

using Handle = void*;

inline Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }

constexpr uint32_t kWaitObject0 = 0x00000000;
constexpr uint32_t kWaitTimeout = 0x00000102;

struct VersionInfo {
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;
    uint32_t buildNumber = 0;
    uint32_t platformId = 0;
};

class WindowsApi {
public:
    virtual ~WindowsApi() = default;

    // The ASPI manager library and its two entry points.
    virtual Handle LoadLibraryA(const char* name) = 0;
    virtual void* GetProcAddress(Handle module, const char* name) = 0;
    virtual uint32_t GetASPI32SupportInfo(void* entryPoint) = 0;
    virtual uint32_t SendASPI32Command(void* entryPoint, void* srb) = 0;

    // Completion events.
    virtual Handle CreateEventA(bool manualReset, bool initialState) = 0;
    virtual bool ResetEvent(Handle event) = 0;
    virtual uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) = 0;
    virtual bool CloseHandle(Handle object) = 0;

    // Devices.
    virtual bool GetVersionExA(VersionInfo& version) = 0;
    virtual uint32_t GetDriveTypeA(const char* rootPath) = 0;
    virtual Handle CreateFileA(const char* name, uint32_t access, uint32_t shareMode,
                               uint32_t creation) = 0;
    virtual bool DeviceIoControl(Handle device, uint32_t code, void* in, uint32_t inSize,
                                 void* out, uint32_t outSize, uint32_t* returned) = 0;
    virtual uint32_t GetLastError() = 0;
};

#if defined(_WIN32)
// The system's real functions.
std::shared_ptr<WindowsApi> RealWindowsApi();

// The two entry points as ASPI managers export them: __cdecl (the caller
// removes the arguments), under their plain undecorated names, returning a
// DWORD (unsigned long on Windows). A 32-bit build that called them with
// another convention would leave the stack off by the argument bytes.
using AspiGetSupportInfoFn = unsigned long(__cdecl*)(void);
using AspiSendCommandFn = unsigned long(__cdecl*)(void* srb);
#endif

} // namespace vindral::windows
