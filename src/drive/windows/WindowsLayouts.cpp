#include "drive/windows/WindowsLayouts.h"

#include <algorithm>
#include <cstring>

namespace vindral::windows {

namespace {

uint32_t Le32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

int ClampCdbLength(int cdbLength) { return std::clamp(cdbLength, 0, 16); }

} // namespace

void FillExecScsiCmd(SrbExecScsiCmd& srb, uint8_t hostAdapter, uint8_t target,
                     const uint8_t* cdb, int cdbLength, bool dataOut, void* buffer,
                     uint32_t length, void* completionEvent) {
    std::memset(&srb, 0, sizeof srb);
    const int cdbBytes = cdb != nullptr ? ClampCdbLength(cdbLength) : 0;
    srb.SRB_Cmd = kScExecScsiCmd;
    srb.SRB_HaId = hostAdapter;
    srb.SRB_Target = target;
    srb.SRB_Lun = 0;
    srb.SRB_Flags = static_cast<uint8_t>(kSrbEventNotify | (dataOut ? kSrbDirOut : kSrbDirIn));
    srb.SRB_BufLen = buffer != nullptr ? length : 0;
    srb.SRB_BufPointer = static_cast<uint8_t*>(buffer);
    srb.SRB_SenseLen = kAspiSenseLength;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdbBytes);
    if (cdbBytes > 0) {
        std::memcpy(srb.CDBByte, cdb, static_cast<std::size_t>(cdbBytes));
    }
    srb.SRB_PostProc = completionEvent;
}

AspiSupport DecodeSupportInfo(uint32_t value) {
    AspiSupport support;
    support.status = static_cast<uint8_t>((value >> 8) & 0xFF);
    support.hostAdapters = static_cast<uint8_t>(value & 0xFF);
    return support;
}

void FillPassThroughRequest(PassThroughRequest& request, const uint8_t* cdb, int cdbLength,
                            bool dataOut, void* buffer, uint32_t length) {
    std::memset(&request, 0, sizeof request);
    const int cdbBytes = cdb != nullptr ? ClampCdbLength(cdbLength) : 0;
    ScsiPassThroughDirect& sptd = request.sptd;
    sptd.Length = static_cast<uint16_t>(sizeof(ScsiPassThroughDirect));
    // The device handle names the drive; path, target and unit are fixed.
    sptd.PathId = 0;
    sptd.TargetId = 1;
    sptd.Lun = 0;
    sptd.CdbLength = static_cast<uint8_t>(cdbBytes);
    sptd.SenseInfoLength = static_cast<uint8_t>(kPassThroughSenseBytes);
    sptd.DataIn = dataOut ? kScsiIoctlDataOut : kScsiIoctlDataIn;
    sptd.DataTransferLength = buffer != nullptr ? length : 0;
    sptd.DataBuffer = buffer;
    sptd.TimeOutValue = kPassThroughTimeOutSeconds;
    sptd.SenseInfoOffset = static_cast<uint32_t>(offsetof(PassThroughRequest, sense));
    if (cdbBytes > 0) {
        std::memcpy(sptd.Cdb, cdb, static_cast<std::size_t>(cdbBytes));
    }
}

int32_t PassThroughStatus(bool requestSucceeded, uint8_t scsiStatus, uint32_t lastError) {
    int32_t value = requestSucceeded ? scsiStatus : OsErrorStatus(static_cast<int32_t>(lastError));
    return value == 0 ? kStatusOk : value;
}

uint8_t NumberOfBuses(const uint8_t* answer, std::size_t size) {
    return (answer != nullptr && size > 0) ? answer[0] : 0;
}

std::vector<InquiryEntry> ParseAdapterInquiryData(const uint8_t* answer, std::size_t size) {
    std::vector<InquiryEntry> entries;
    constexpr std::size_t kFirstOffsetAt = offsetof(ScsiAdapterBusInfo, BusData) +
                                           offsetof(ScsiBusData, InquiryDataOffset);
    constexpr std::size_t kHeader = sizeof(ScsiInquiryDataHeader);
    if (answer == nullptr || size < kFirstOffsetAt + 4) {
        return entries;
    }
    std::vector<bool> visited(size, false);
    uint32_t offset = Le32(answer + kFirstOffsetAt);
    while (offset != 0) {
        if (offset > size || size - offset < kHeader || visited[offset]) {
            break; // outside the answer, or a loop
        }
        visited[offset] = true;
        const uint8_t* at = answer + offset;
        InquiryEntry entry;
        entry.pathId = at[offsetof(ScsiInquiryDataHeader, PathId)];
        entry.targetId = at[offsetof(ScsiInquiryDataHeader, TargetId)];
        entry.lun = at[offsetof(ScsiInquiryDataHeader, Lun)];
        const uint32_t declared = Le32(at + offsetof(ScsiInquiryDataHeader, InquiryDataLength));
        std::size_t copy = std::min<std::size_t>(entry.inquiryData.size(), size - offset - kHeader);
        if (declared != 0) {
            copy = std::min<std::size_t>(copy, declared);
        }
        std::memcpy(entry.inquiryData.data(), at + kHeader, copy);
        entries.push_back(entry);
        offset = Le32(at + offsetof(ScsiInquiryDataHeader, NextInquiryDataOffset));
    }
    return entries;
}

uint32_t AccessModeFor(bool versionKnown, uint32_t platformId, uint32_t majorVersion) {
    if (versionKnown && platformId == kVerPlatformWin32Nt && majorVersion == 5) {
        return kGenericRead | kGenericWrite;
    }
    return kGenericRead;
}

} // namespace vindral::windows
