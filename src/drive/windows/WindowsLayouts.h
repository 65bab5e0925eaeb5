// The request and answer records of the two Windows drive interfaces, the
// ASPI for Win32 manager and the SCSI pass-through requests, declared from
// their published layouts in plain C++ so that filling and parsing them is
// built and tested on every platform.
//
// Both layouts depend on the pointer size. On 32-bit Windows they are the
// familiar sizes: SRB_ExecSCSICmd 80 bytes, SCSI_PASS_THROUGH_DIRECT 44 and
// the pass-through request 80. On 64-bit Windows the pointers take 8 bytes:
// SRB_ExecSCSICmd (byte-packed) grows to 88, SCSI_PASS_THROUGH_DIRECT (natural
// alignment) to 56 with DataBuffer at 24, and the request to 96 with the
// sense buffer at 60. The records below follow the platform they are built
// for; the Windows build checks them against the system's own declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "drive/Transport.h"

namespace vindral::windows {

// ---- ASPI for Win32 --------------------------------------------------------

constexpr uint8_t kScExecScsiCmd = 0x02;   // SC_EXEC_SCSI_CMD
constexpr uint8_t kScAbortSrb = 0x03;      // SC_ABORT_SRB
constexpr uint8_t kSsPending = 0x00;       // SS_PENDING
constexpr uint8_t kSsComp = 0x01;          // SS_COMP
constexpr uint8_t kSrbDirIn = 0x08;        // SRB_DIR_IN
constexpr uint8_t kSrbDirOut = 0x10;       // SRB_DIR_OUT
constexpr uint8_t kSrbEventNotify = 0x40;  // SRB_EVENT_NOTIFY
constexpr uint8_t kHaStatDoDu = 0x12;      // HASTAT_DO_DU: data overrun or underrun
constexpr uint8_t kAspiSenseLength = 14;   // SENSE_LEN

#pragma pack(push, 1)
// SRB_ExecSCSICmd.
struct SrbExecScsiCmd {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void* SRB_PostProc;
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[16];
    uint8_t SenseArea[kAspiSenseLength + 2];
};

// SRB_Abort: asks the manager to give up a pending SRB_ExecSCSICmd.
struct SrbAbort {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};
#pragma pack(pop)

static_assert(offsetof(SrbExecScsiCmd, SRB_BufPointer) == 16);
static_assert(offsetof(SrbExecScsiCmd, SRB_SenseLen) == 16 + sizeof(void*));
static_assert(offsetof(SrbExecScsiCmd, SRB_PostProc) == 20 + sizeof(void*));
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 40 + 2 * sizeof(void*));
static_assert(sizeof(SrbExecScsiCmd) == 72 + 2 * sizeof(void*));
static_assert(sizeof(void*) != 4 || sizeof(SrbExecScsiCmd) == 80);

// Fills a zeroed request block for one command as the transport sends it.
void FillExecScsiCmd(SrbExecScsiCmd& srb, uint8_t hostAdapter, uint8_t target,
                     const uint8_t* cdb, int cdbLength, bool dataOut, void* buffer,
                     uint32_t length, void* completionEvent);

// GetASPI32SupportInfo's answer: status in bits 8-15, host adapters in 0-7.
struct AspiSupport {
    uint8_t status = 0;
    uint8_t hostAdapters = 0;
    bool Usable() const { return status == kSsComp && hostAdapters != 0; }
};
AspiSupport DecodeSupportInfo(uint32_t value);

// ---- SCSI pass-through ---------------------------------------------------------

constexpr uint32_t kIoctlScsiGetInquiryData = 0x0004100C;
constexpr uint32_t kIoctlScsiGetAddress = 0x00041018;
constexpr uint32_t kIoctlScsiPassThroughDirect = 0x0004D014;
constexpr uint8_t kScsiIoctlDataOut = 0;
constexpr uint8_t kScsiIoctlDataIn = 1;
// The pass-through record's time limit: the 120 s of the other backends.
constexpr uint32_t kPassThroughTimeOutSeconds = kCommandTimeoutMs / 1000;
constexpr std::size_t kPassThroughSenseBytes = 32;
constexpr std::size_t kIoctlAnswerBytes = 4096;

// SCSI_PASS_THROUGH_DIRECT, natural alignment (ULONG is 32 bits on Windows).
struct ScsiPassThroughDirect {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void* DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

// The record handed to IOCTL_SCSI_PASS_THROUGH_DIRECT as input and output:
// the request, a filler that puts the sense buffer on a 4-byte boundary
// after it, and the sense buffer.
struct PassThroughRequest {
    ScsiPassThroughDirect sptd;
    uint32_t filler;
    uint8_t sense[kPassThroughSenseBytes];
};

static_assert(offsetof(ScsiPassThroughDirect, DataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect, DataBuffer) == (sizeof(void*) == 4 ? 20 : 24));
static_assert(sizeof(ScsiPassThroughDirect) == (sizeof(void*) == 4 ? 44 : 56));
static_assert(offsetof(PassThroughRequest, sense) == (sizeof(void*) == 4 ? 48 : 60));
static_assert(sizeof(PassThroughRequest) == (sizeof(void*) == 4 ? 80 : 96));

// Fills a zeroed request for one command.
void FillPassThroughRequest(PassThroughRequest& request, const uint8_t* cdb, int cdbLength,
                            bool dataOut, void* buffer, uint32_t length);

// The status of a pass-through request: the SCSI status when the request
// went through, the system's error code when it failed (an error code of 1,
// ERROR_INVALID_FUNCTION, never reads as success); 0 becomes 1.
int32_t PassThroughStatus(bool requestSucceeded, uint8_t scsiStatus, uint32_t lastError);

// SCSI_ADDRESS, as IOCTL_SCSI_GET_ADDRESS returns it.
struct ScsiAddress {
    uint32_t Length;
    uint8_t PortNumber;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
};
static_assert(sizeof(ScsiAddress) == 8);

// SCSI_BUS_DATA, SCSI_ADAPTER_BUS_INFO (with its first bus) and the fixed
// part of SCSI_INQUIRY_DATA, as IOCTL_SCSI_GET_INQUIRY_DATA lays them out.
struct ScsiBusData {
    uint8_t NumberOfLogicalUnits;
    uint8_t InitiatorBusId;
    uint32_t InquiryDataOffset;
};
struct ScsiAdapterBusInfo {
    uint8_t NumberOfBuses;
    ScsiBusData BusData[1];
};
struct ScsiInquiryDataHeader {
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t DeviceClaimed;
    uint32_t InquiryDataLength;
    uint32_t NextInquiryDataOffset;
    // UCHAR InquiryData[] follows
};
static_assert(offsetof(ScsiAdapterBusInfo, BusData) == 4);
static_assert(offsetof(ScsiBusData, InquiryDataOffset) == 4);
static_assert(sizeof(ScsiInquiryDataHeader) == 12);

// The bus count of an IOCTL_SCSI_GET_INQUIRY_DATA answer (its first byte).
uint8_t NumberOfBuses(const uint8_t* answer, std::size_t size);

// The devices of the first bus of an IOCTL_SCSI_GET_INQUIRY_DATA answer, in
// the answer's order. The walk starts at BusData[0].InquiryDataOffset and
// follows NextInquiryDataOffset (offsets from the start of the answer) until
// it is 0; an entry that does not fit in the answer ends the walk, and so
// does an offset met a second time. Each entry carries at most 36 bytes of
// inquiry data (fewer when InquiryDataLength says so; the rest stays 0).
std::vector<InquiryEntry> ParseAdapterInquiryData(const uint8_t* answer, std::size_t size);

// ---- set-up ---------------------------------------------------------------------

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kFileShareRead = 0x00000001u;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kDriveCdrom = 5;
constexpr uint32_t kVerPlatformWin32Nt = 2;

// Read and write on NT-family systems of major version exactly 5, read only
// on every other system.
uint32_t AccessModeFor(bool versionKnown, uint32_t platformId, uint32_t majorVersion);

} // namespace vindral::windows
