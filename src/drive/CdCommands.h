// The CD-ROM commands the program sends. Each fills one CDB, passes it to
// ExecuteCommand and returns the transport's status (1 = success) unless said
// otherwise. None retries, except SelectBlockMode.
#pragma once

#include <cstdint>
#include <string>

#include "drive/CdTypes.h"

namespace vindral::CdCommands {

// INQUIRY. vendor needs 9 bytes, product 17, revision 5; each is filled with
// the drive's characters and a NUL, whatever the status. Returns 1 only when
// the command succeeded and the device is a connected CD-ROM device (byte 0
// equal to 5), else 0. In pass-through mode the answer comes from the
// system's cached inquiry data and no command is sent.
int32_t Inquiry(uint8_t hostAdapter, uint8_t target, char* vendor, char* product,
                char* revision);

int32_t TestUnitReady(uint8_t hostAdapter, uint8_t target);

// READ TOC format 0, addresses as sector addresses, from the first track.
int32_t ReadToc(uint8_t hostAdapter, uint8_t target, uint16_t allocationLength, void* answer);

// READ TOC format 1, the multi-session information: bytes 2 and 3 the first
// and last session numbers, then one descriptor of the first track of the
// last session (track number in byte 6, start address in bytes 8 to 11).
constexpr uint16_t kSessionInfoLength = 12;
int32_t ReadSessionInfo(uint8_t hostAdapter, uint8_t target, void* answer);

// The three raw audio reads; the buffer holds count * 2352 bytes.
int32_t ReadCd(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
               void* buffer);
int32_t ReadCdda(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
                 void* buffer);
// For a count of 26 or more the data length handed to the transport is 0.
int32_t Read10(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
               void* buffer);

// READ CD of user data followed by the 294 bytes of C2 error bits of each
// sector; the buffer holds count * (2352 + 294) bytes.
constexpr int kC2Bytes = 294;
constexpr int kSectorWithC2Bytes = 2352 + kC2Bytes;
int32_t ReadCdWithC2(uint8_t hostAdapter, uint8_t target, SectorAddress address,
                     int32_t count, void* buffer);

// Method 0 sends ReadCd, 1 ReadCdda, every other value Read10.
int32_t ReadAudio(uint8_t hostAdapter, uint8_t target, SectorAddress address, int32_t count,
                  void* buffer, int32_t readMethod);

// restore 0: density 0x82 with 2352-byte blocks; non-zero: 2048-byte data
// blocks. MODE SELECT(10) first, MODE SELECT(6) when that fails. Returns the
// status of the last command sent.
int32_t SelectBlockMode(uint8_t hostAdapter, uint8_t target, int restore);

// SET CD SPEED; 0xFFFF asks for the drive's maximum.
int32_t SetReadSpeed(uint8_t hostAdapter, uint8_t target, uint16_t readSpeedKBps);

// MODE SENSE(10) page 0x2A. Both outputs are written whatever the status.
int32_t SenseReadSpeeds(uint8_t hostAdapter, uint8_t target, int32_t* maximumKBps,
                        int32_t* currentKBps);

// MODE SENSE(10) page 0x2A: the drive's buffer size in kilobytes (0 when
// it does not say).
int32_t SenseBufferKB(uint8_t hostAdapter, uint8_t target, int32_t* bufferKB);

// Removes trailing blanks in place and returns the same text.
char* TrimTrailingBlanks(char* text);

// "%02ld:%02ld.%02ld" of minutes, seconds and sectors; returns output, which
// needs room for at least 16 bytes.
char* FramesToTimeText(int32_t sectors, char* output);
std::string FramesToTimeText(int32_t sectors);

} // namespace vindral::CdCommands
