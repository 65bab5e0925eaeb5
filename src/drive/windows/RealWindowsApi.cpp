// The Windows functions behind WindowsApi, and the checks that the records
// of WindowsLayouts.h match the system's own declarations.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <type_traits>

#include "drive/windows/WindowsApi.h"
#include "drive/windows/WindowsLayouts.h"
#include "drive/windows/WindowsTransport.h"

namespace vindral {

namespace windows {

static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(ScsiPassThroughDirect, DataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
static_assert(offsetof(ScsiPassThroughDirect, TimeOutValue) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue));
static_assert(offsetof(ScsiPassThroughDirect, DataBuffer) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(ScsiPassThroughDirect, Cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(ScsiAddress) == sizeof(SCSI_ADDRESS));
static_assert(offsetof(ScsiAddress, PortNumber) == offsetof(SCSI_ADDRESS, PortNumber));
static_assert(offsetof(ScsiAddress, TargetId) == offsetof(SCSI_ADDRESS, TargetId));
static_assert(offsetof(ScsiAdapterBusInfo, BusData) == offsetof(SCSI_ADAPTER_BUS_INFO, BusData));
static_assert(offsetof(ScsiBusData, InquiryDataOffset) ==
              offsetof(SCSI_BUS_DATA, InquiryDataOffset));
static_assert(sizeof(ScsiInquiryDataHeader) == offsetof(SCSI_INQUIRY_DATA, InquiryData));
static_assert(offsetof(ScsiInquiryDataHeader, NextInquiryDataOffset) ==
              offsetof(SCSI_INQUIRY_DATA, NextInquiryDataOffset));
static_assert(kIoctlScsiGetInquiryData == IOCTL_SCSI_GET_INQUIRY_DATA);
static_assert(kIoctlScsiGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kScsiIoctlDataIn == SCSI_IOCTL_DATA_IN && kScsiIoctlDataOut == SCSI_IOCTL_DATA_OUT);
static_assert(kGenericRead == GENERIC_READ && kGenericWrite == GENERIC_WRITE);
static_assert(kFileShareRead == FILE_SHARE_READ && kOpenExisting == OPEN_EXISTING);
static_assert(kDriveCdrom == DRIVE_CDROM && kVerPlatformWin32Nt == VER_PLATFORM_WIN32_NT);
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT);

namespace {

static_assert(std::is_same_v<DWORD, unsigned long>, "the entry point types of WindowsApi.h return DWORD");

class RealApi final : public WindowsApi {
public:
    Handle LoadLibraryA(const char* name) override { return ::LoadLibraryA(name); }

    void* GetProcAddress(Handle module, const char* name) override {
        return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
    }

    uint32_t GetASPI32SupportInfo(void* entryPoint) override {
        return reinterpret_cast<AspiGetSupportInfoFn>(entryPoint)();
    }

    uint32_t SendASPI32Command(void* entryPoint, void* srb) override {
        return reinterpret_cast<AspiSendCommandFn>(entryPoint)(srb);
    }

    Handle CreateEventA(bool manualReset, bool initialState) override {
        return ::CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE,
                              nullptr);
    }

    bool ResetEvent(Handle event) override { return ::ResetEvent(event) != FALSE; }

    uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) override {
        return ::WaitForSingleObject(object, milliseconds);
    }

    bool CloseHandle(Handle object) override { return ::CloseHandle(object) != FALSE; }

    bool GetVersionExA(VersionInfo& version) override {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof info;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
        const BOOL ok = ::GetVersionExA(&info);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
        if (!ok) {
            return false;
        }
        version.majorVersion = info.dwMajorVersion;
        version.minorVersion = info.dwMinorVersion;
        version.buildNumber = info.dwBuildNumber;
        version.platformId = info.dwPlatformId;
        return true;
    }

    uint32_t GetDriveTypeA(const char* rootPath) override { return ::GetDriveTypeA(rootPath); }

    Handle CreateFileA(const char* name, uint32_t access, uint32_t shareMode,
                       uint32_t creation) override {
        return ::CreateFileA(name, access, shareMode, nullptr, creation, 0, nullptr);
    }

    bool DeviceIoControl(Handle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override {
        DWORD bytes = 0;
        const BOOL ok = ::DeviceIoControl(device, code, in, inSize, out, outSize, &bytes, nullptr);
        if (returned != nullptr) {
            *returned = bytes;
        }
        return ok != FALSE;
    }

    uint32_t GetLastError() override { return ::GetLastError(); }
};

} // namespace

std::shared_ptr<WindowsApi> RealWindowsApi() {
    static const std::shared_ptr<WindowsApi> api = std::make_shared<RealApi>();
    return api;
}

} // namespace windows

std::unique_ptr<TransportBackend> CreateWindowsTransport() {
    return std::make_unique<windows::WindowsTransport>(windows::RealWindowsApi());
}

} // namespace vindral
