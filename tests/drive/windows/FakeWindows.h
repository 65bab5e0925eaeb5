// A fake Windows for the drive backends: an ASPI manager, drive letters,
// SCSI adapters and their inquiry data, with a record of every call.
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drive/windows/WindowsApi.h"
#include "drive/windows/WindowsLayouts.h"

namespace vindral::windows::test {

inline Handle FakeHandle(uintptr_t value) { return reinterpret_cast<Handle>(value); }

// One device entry of an adapter's inquiry data.
struct FakeLogicalUnit {
    uint8_t pathId = 0;
    uint8_t targetId = 0;
    uint8_t lun = 0;
    uint8_t type = 5;
    std::string vendor;
    std::string product;
    std::string revision;
};

// An IOCTL_SCSI_GET_INQUIRY_DATA answer with one bus, written at the
// documented byte positions: NumberOfBuses at 0, BusData[0] at 4 (its
// InquiryDataOffset at 8), entries of 12 header bytes (PathId, TargetId, Lun,
// DeviceClaimed, InquiryDataLength at 4, NextInquiryDataOffset at 8) and 36
// bytes of inquiry data.
inline std::vector<uint8_t> InquiryAnswer(const std::vector<FakeLogicalUnit>& units) {
    std::vector<uint8_t> answer(4096, 0);
    auto put32 = [&](std::size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            answer[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    answer[0] = 1;
    answer[4] = static_cast<uint8_t>(units.size());
    std::size_t offset = 16;
    put32(8, units.empty() ? 0 : static_cast<uint32_t>(offset));
    for (std::size_t i = 0; i < units.size(); ++i) {
        const FakeLogicalUnit& unit = units[i];
        answer[offset + 0] = unit.pathId;
        answer[offset + 1] = unit.targetId;
        answer[offset + 2] = unit.lun;
        answer[offset + 3] = 1;
        put32(offset + 4, 36);
        const std::size_t next = offset + 48;
        put32(offset + 8, i + 1 < units.size() ? static_cast<uint32_t>(next) : 0);
        uint8_t* data = answer.data() + offset + 12;
        std::memset(data + 8, ' ', 28);
        data[0] = unit.type;
        std::memcpy(data + 8, unit.vendor.data(), std::min<std::size_t>(8, unit.vendor.size()));
        std::memcpy(data + 16, unit.product.data(),
                    std::min<std::size_t>(16, unit.product.size()));
        std::memcpy(data + 32, unit.revision.data(),
                    std::min<std::size_t>(4, unit.revision.size()));
        offset = next;
    }
    return answer;
}

struct FakeLetter {
    uint32_t type = kDriveCdrom;
    bool opens = true;
    bool addressFails = false;
    uint8_t port = 0;
    uint8_t path = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
};

class FakeWindows final : public WindowsApi {
public:
    // ---- ASPI manager
    bool libraryPresent = false;
    bool hasSupportInfo = true;
    bool hasSendCommand = true;
    uint32_t supportInfo = 0;
    // Handles one SRB_ExecSCSICmd; returns what SendASPI32Command returns.
    // SS_PENDING leaves the block pending until a wait completes it.
    std::function<uint32_t(SrbExecScsiCmd&)> aspiCommand;
    bool waitCompletes = true;      // a wait signals the pending block in time
    uint8_t statusOnCompletion = kSsComp;
    bool abortCompletes = true;
    std::vector<SrbExecScsiCmd> srbsSent; // as they were on entry
    std::vector<SrbAbort> abortsSent;
    std::vector<std::string> libraryNames;
    std::vector<std::string> procNames;
    int supportInfoCalls = 0;

    // ---- events
    bool createEventFails = false;
    struct EventRecord {
        Handle handle;
        bool manualReset;
        bool initialState;
        bool resetBeforeSend = false;
        bool closed = false;
    };
    std::vector<EventRecord> events;
    std::vector<uint32_t> waitTimeouts;

    // ---- system and devices
    bool versionKnown = true;
    VersionInfo version{5, 1, 2600, kVerPlatformWin32Nt};
    std::map<char, FakeLetter> letters;
    // Inquiry answers of \\.\SCSI0: ... by number; a number without an
    // answer cannot be opened.
    std::map<int, std::vector<uint8_t>> adapters;
    std::vector<std::string> driveTypeQueries;
    struct OpenRecord {
        std::string name;
        uint32_t access;
        uint32_t share;
        uint32_t creation;
        Handle handle;
    };
    std::vector<OpenRecord> opens;
    std::set<Handle> closedHandles;

    // ---- pass-through requests
    struct PassThroughCall {
        std::string device;
        PassThroughRequest request; // as it was on entry
        bool sameBufferInAndOut;
        uint32_t inSize;
        uint32_t outSize;
    };
    std::vector<PassThroughCall> passThroughCalls;
    // Answers one request: may set ScsiStatus, the sense bytes and the data;
    // returns false with an error code for a failed request.
    std::function<bool(PassThroughRequest&, uint32_t& error)> passThrough;
    struct IoctlRecord {
        std::string device;
        uint32_t code;
        uint32_t outSize;
        bool outZeroed;
    };
    std::vector<IoctlRecord> ioctls;

    std::string DeviceOf(Handle handle) const {
        auto found = handleNames_.find(handle);
        return found == handleNames_.end() ? std::string() : found->second;
    }

    // ---- WindowsApi
    Handle LoadLibraryA(const char* name) override {
        libraryNames.emplace_back(name);
        return libraryPresent ? kLibrary : nullptr;
    }

    void* GetProcAddress(Handle module, const char* name) override {
        procNames.emplace_back(name);
        if (module != kLibrary) {
            return nullptr;
        }
        if (std::strcmp(name, "GetASPI32SupportInfo") == 0 && hasSupportInfo) {
            return kSupportEntry;
        }
        if (std::strcmp(name, "SendASPI32Command") == 0 && hasSendCommand) {
            return kSendEntry;
        }
        return nullptr;
    }

    uint32_t GetASPI32SupportInfo(void* entryPoint) override {
        ++supportInfoCalls;
        return entryPoint == kSupportEntry ? supportInfo : 0;
    }

    uint32_t SendASPI32Command(void* entryPoint, void* srb) override {
        if (entryPoint != kSendEntry) {
            return 0xE0;
        }
        const auto command = static_cast<uint8_t*>(srb)[0];
        if (command == kScAbortSrb) {
            SrbAbort abort;
            std::memcpy(&abort, srb, sizeof abort);
            abortsSent.push_back(abort);
            if (abortCompletes && abort.SRB_ToAbort == pending_) {
                pending_->SRB_Status = 0x02; // SS_ABORTED
                signalled_.insert(pending_->SRB_PostProc);
                pending_ = nullptr;
            }
            return kSsComp;
        }
        auto* exec = static_cast<SrbExecScsiCmd*>(srb);
        srbsSent.push_back(*exec);
        for (EventRecord& event : events) {
            if (event.handle == exec->SRB_PostProc && !signalled_.count(event.handle)) {
                event.resetBeforeSend = resets_.count(event.handle) != 0;
            }
        }
        const uint32_t result = aspiCommand ? aspiCommand(*exec) : (exec->SRB_Status = kSsComp);
        if ((result & 0xFF) == kSsPending) {
            exec->SRB_Status = kSsPending;
            pending_ = exec;
        }
        return result;
    }

    Handle CreateEventA(bool manualReset, bool initialState) override {
        if (createEventFails) {
            return nullptr;
        }
        const Handle handle = FakeHandle(0x9000 + events.size());
        events.push_back({handle, manualReset, initialState});
        return handle;
    }

    bool ResetEvent(Handle event) override {
        resets_.insert(event);
        signalled_.erase(event);
        return true;
    }

    uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) override {
        waitTimeouts.push_back(milliseconds);
        if (signalled_.count(object) != 0) {
            return kWaitObject0;
        }
        if (pending_ != nullptr && pending_->SRB_PostProc == object && waitCompletes) {
            pending_->SRB_Status = statusOnCompletion;
            pending_ = nullptr;
            signalled_.insert(object);
            return kWaitObject0;
        }
        return kWaitTimeout;
    }

    bool CloseHandle(Handle object) override {
        for (EventRecord& event : events) {
            if (event.handle == object) {
                event.closed = true;
            }
        }
        closedHandles.insert(object);
        return true;
    }

    bool GetVersionExA(VersionInfo& out) override {
        if (versionKnown) {
            out = version;
        }
        return versionKnown;
    }

    uint32_t GetDriveTypeA(const char* rootPath) override {
        driveTypeQueries.emplace_back(rootPath);
        const std::string root(rootPath);
        if (root.size() != 3 || root[1] != ':' || root[2] != '\\') {
            return 1; // DRIVE_NO_ROOT_DIR
        }
        auto found = letters.find(root[0]);
        return found == letters.end() ? 1 : found->second.type;
    }

    Handle CreateFileA(const char* name, uint32_t access, uint32_t share,
                       uint32_t creation) override {
        const std::string device(name);
        Handle handle = InvalidHandle();
        if (device.size() == 6 && device.rfind("\\\\.\\", 0) == 0 && device[5] == ':') {
            auto found = letters.find(device[4]);
            if (found != letters.end() && found->second.opens) {
                handle = FakeHandle(0x1000 + static_cast<uintptr_t>(device[4]));
            }
        } else if (device.rfind("\\\\.\\SCSI", 0) == 0 && device.back() == ':') {
            const int number = std::stoi(device.substr(8));
            if (adapters.count(number) != 0) {
                handle = FakeHandle(0x2000 + static_cast<uintptr_t>(number));
            }
        }
        opens.push_back({device, access, share, creation, handle});
        if (handle != InvalidHandle()) {
            handleNames_[handle] = device;
        }
        return handle;
    }

    bool DeviceIoControl(Handle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override {
        const std::string name = DeviceOf(device);
        bool zeroed = true;
        for (uint32_t i = 0; i < outSize && out != nullptr; ++i) {
            zeroed = zeroed && static_cast<uint8_t*>(out)[i] == 0;
        }
        ioctls.push_back({name, code, outSize, zeroed});
        if (returned != nullptr) {
            *returned = 0;
        }
        if (code == kIoctlScsiGetAddress && name.size() == 6) {
            const FakeLetter& letter = letters[name[4]];
            if (letter.addressFails || outSize < 8) {
                lastError_ = 1;
                return false;
            }
            auto* bytes = static_cast<uint8_t*>(out);
            bytes[0] = 8;
            bytes[4] = letter.port;
            bytes[5] = letter.path;
            bytes[6] = letter.target;
            bytes[7] = letter.lun;
            return true;
        }
        if (code == kIoctlScsiGetInquiryData && name.rfind("\\\\.\\SCSI", 0) == 0) {
            const std::vector<uint8_t>& answer = adapters[std::stoi(name.substr(8))];
            std::memcpy(out, answer.data(), std::min<std::size_t>(outSize, answer.size()));
            return true;
        }
        if (code == kIoctlScsiPassThroughDirect) {
            PassThroughCall call;
            call.device = name;
            std::memcpy(&call.request, in, sizeof call.request);
            call.sameBufferInAndOut = in == out;
            call.inSize = inSize;
            call.outSize = outSize;
            passThroughCalls.push_back(call);
            auto& request = *static_cast<PassThroughRequest*>(out);
            uint32_t error = 0;
            if (passThrough && !passThrough(request, error)) {
                lastError_ = error;
                return false;
            }
            return true;
        }
        lastError_ = 1; // ERROR_INVALID_FUNCTION
        return false;
    }

    uint32_t GetLastError() override { return lastError_; }

private:
    Handle kLibrary = FakeHandle(0x4A0000);
    void* kSupportEntry = FakeHandle(0x4A1000);
    void* kSendEntry = FakeHandle(0x4A2000);
    SrbExecScsiCmd* pending_ = nullptr;
    std::set<Handle> signalled_;
    std::set<Handle> resets_;
    std::map<Handle, std::string> handleNames_;
    uint32_t lastError_ = 0;
};

} // namespace vindral::windows::test
