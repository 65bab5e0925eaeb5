#include "drive/CdCommands.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "drive/Transport.h"

namespace vindral::CdCommands {

namespace {

void PutAddress(uint8_t* cdb, SectorAddress address) {
    // The highest byte of the address is always sent as 0.
    cdb[3] = static_cast<uint8_t>((address >> 16) & 0xFF);
    cdb[4] = static_cast<uint8_t>((address >> 8) & 0xFF);
    cdb[5] = static_cast<uint8_t>(address & 0xFF);
}

void Put24(uint8_t* at, int32_t value) {
    at[0] = static_cast<uint8_t>((value >> 16) & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    at[2] = static_cast<uint8_t>(value & 0xFF);
}

uint32_t AudioBytes(int32_t count) {
    return count > 0 ? static_cast<uint32_t>(count) * kSectorBytes : 0;
}

void CopyIdentification(const uint8_t* answer, char* vendor, char* product, char* revision) {
    std::memcpy(vendor, answer + 8, 8);
    vendor[8] = '\0';
    std::memcpy(product, answer + 16, 16);
    product[16] = '\0';
    std::memcpy(revision, answer + 32, 4);
    revision[4] = '\0';
}

int32_t PassThroughInquiry(uint8_t hostAdapter, uint8_t target, char* vendor, char* product,
                           char* revision) {
    std::vector<InquiryEntry> entries;
    if (!TransportAdapterInquiryList(hostAdapter, entries)) {
        return 0;
    }
    for (const InquiryEntry& entry : entries) {
        if (entry.targetId != target) {
            continue;
        }
        // A later entry of the same target overwrites the strings.
        CopyIdentification(entry.inquiryData.data(), vendor, product, revision);
        if (entry.inquiryData[0] == 5) {
            return 1;
        }
    }
    return 0;
}

} // namespace

int32_t Inquiry(uint8_t hostAdapter, uint8_t target, char* vendor, char* product,
                char* revision) {
    if (TransportIsPassThrough()) {
        return PassThroughInquiry(hostAdapter, target, vendor, product, revision);
    }
    uint8_t cdb[6] = {0x12, 0, 0, 0, 56, 0};
    uint8_t answer[56] = {};
    const int32_t status = ExecuteCommand(hostAdapter, target, cdb, answer, sizeof answer);
    CopyIdentification(answer, vendor, product, revision);
    return (status == kStatusOk && answer[0] == 5) ? 1 : 0;
}

int32_t TestUnitReady(uint8_t hostAdapter, uint8_t target) {
    uint8_t cdb[6] = {};
    return ExecuteCommand(hostAdapter, target, cdb, nullptr, 0);
}

int32_t ReadToc(uint8_t hostAdapter, uint8_t target, uint16_t allocationLength, void* answer) {
    uint8_t cdb[10] = {0x43};
    cdb[7] = static_cast<uint8_t>(allocationLength >> 8);
    cdb[8] = static_cast<uint8_t>(allocationLength & 0xFF);
    return ExecuteCommand(hostAdapter, target, cdb, answer, allocationLength);
}

int32_t ReadSessionInfo(uint8_t hostAdapter, uint8_t target, void* answer) {
    uint8_t cdb[10] = {0x43, 0, 0x01};
    cdb[8] = static_cast<uint8_t>(kSessionInfoLength);
    return ExecuteCommand(hostAdapter, target, cdb, answer, kSessionInfoLength);
}

int32_t ReadCd(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
               void* buffer) {
    uint8_t cdb[12] = {0xBE, 0x04};
    PutAddress(cdb, address);
    Put24(cdb + 6, count);
    cdb[9] = 0x10;
    return ExecuteCommand(hostAdapter, target, cdb, buffer, AudioBytes(count));
}

int32_t ReadCdWithC2(uint8_t hostAdapter, uint8_t target, SectorAddress address,
                     int32_t count, void* buffer) {
    uint8_t cdb[12] = {0xBE, 0x04};
    PutAddress(cdb, address);
    Put24(cdb + 6, count);
    cdb[9] = 0x12; // user data and C2 error bits
    const uint32_t length = count > 0 ? static_cast<uint32_t>(count) * kSectorWithC2Bytes : 0;
    return ExecuteCommand(hostAdapter, target, cdb, buffer, length);
}

int32_t ReadCdda(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
                 void* buffer) {
    uint8_t cdb[12] = {0xD8};
    PutAddress(cdb, address);
    Put24(cdb + 7, count);
    return ExecuteCommand(hostAdapter, target, cdb, buffer, AudioBytes(count));
}

int32_t Read10(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
               void* buffer) {
    uint8_t cdb[10] = {0x28};
    PutAddress(cdb, address);
    cdb[7] = static_cast<uint8_t>((count >> 8) & 0xFF);
    cdb[8] = static_cast<uint8_t>(count & 0xFF);
    const uint32_t length = count <= 25 ? AudioBytes(count) : 0;
    return ExecuteCommand(hostAdapter, target, cdb, buffer, length);
}

int32_t ReadAudio(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
                  void* buffer, int32_t readMethod) {
    switch (readMethod) {
    case kReadCd:
        return ReadCd(hostAdapter, target, address, count, buffer);
    case kReadCdda:
        return ReadCdda(hostAdapter, target, address, count, buffer);
    default:
        return Read10(hostAdapter, target, address, count, buffer);
    }
}

int32_t SelectBlockMode(uint8_t hostAdapter, uint8_t target, int restore) {
    const uint8_t density = restore ? 0x00 : 0x82;
    const uint8_t lengthMid = restore ? 0x08 : 0x09;
    const uint8_t lengthLow = restore ? 0x00 : 0x30;

    uint8_t cdb10[10] = {0x55, 0x10};
    cdb10[8] = 16;
    uint8_t list10[16] = {0x00, 0x10, 0, 0, 0, 0, 0x00, 0x08, density, 0, 0, 0,
                          0,    0x00, lengthMid, lengthLow};
    int32_t status = ExecuteCommand(hostAdapter, target, cdb10, list10, sizeof list10);
    if (status == kStatusOk) {
        return status;
    }
    uint8_t cdb6[6] = {0x15, 0, 0, 0, 12, 0};
    uint8_t list6[12] = {0, 0, 0, 8, density, 0, 0, 0, 0, 0x00, lengthMid, lengthLow};
    status = ExecuteCommand(hostAdapter, target, cdb6, list6, sizeof list6);
    return status;
}

int32_t SetReadSpeed(uint8_t hostAdapter, uint8_t target, uint16_t readSpeedKBps) {
    uint8_t cdb[12] = {0xBB, 0};
    cdb[2] = static_cast<uint8_t>(readSpeedKBps >> 8);
    cdb[3] = static_cast<uint8_t>(readSpeedKBps & 0xFF);
    cdb[4] = 0xFF;
    cdb[5] = 0xFF;
    return ExecuteCommand(hostAdapter, target, cdb, nullptr, 0);
}

int32_t SenseReadSpeeds(uint8_t hostAdapter, uint8_t target, int32_t* maximumKBps,
                        int32_t* currentKBps) {
    uint8_t cdb[10] = {0x5A, 0x08, 0x2A};
    cdb[8] = 30;
    uint8_t answer[30] = {};
    const int32_t status = ExecuteCommand(hostAdapter, target, cdb, answer, sizeof answer);
    if (maximumKBps != nullptr) {
        *maximumKBps = (answer[16] << 8) | answer[17];
    }
    if (currentKBps != nullptr) {
        *currentKBps = (answer[22] << 8) | answer[23];
    }
    return status;
}

int32_t SenseBufferKB(uint8_t hostAdapter, uint8_t target, int32_t* bufferKB) {
    uint8_t cdb[10] = {0x5A, 0x08, 0x2A};
    cdb[8] = 30;
    uint8_t answer[30] = {};
    const int32_t status = ExecuteCommand(hostAdapter, target, cdb, answer, sizeof answer);
    // Behind the 8-byte header, the page: its code, then bytes 12 and 13.
    const bool page = status == kStatusOk && (answer[8] & 0x3F) == 0x2A && answer[9] >= 12;
    *bufferKB = page ? (answer[20] << 8) | answer[21] : 0;
    return status;
}

char* TrimTrailingBlanks(char* text) {
    if (text == nullptr) {
        return text;
    }
    std::size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == ' ') {
        text[--length] = '\0';
    }
    return text;
}

char* FramesToTimeText(int32_t sectors, char* output) {
    std::snprintf(output, 16, "%02ld:%02ld.%02ld", static_cast<long>(sectors / 4500),
                  static_cast<long>((sectors / 75) % 60), static_cast<long>(sectors % 75));
    return output;
}

std::string FramesToTimeText(int32_t sectors) {
    char text[16];
    return FramesToTimeText(sectors, text);
}

} // namespace vindral::CdCommands
