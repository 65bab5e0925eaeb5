// read_method_probe: reads one sector of a real CD-ROM drive by each of the
// three audio read methods through the Linux SG_IO backend and prints what
// came back. The real-kernel test runs it inside its guest, where the kernel's
// sr driver and QEMU's drives answer, and checks the printed statuses.
//
// usage: read_method_probe /dev/srN [SECTOR]
//
// Output (one line each):
//   drive  [a:t]  VENDOR PRODUCT
//   method M status 0xHEX sense SSSSSS untouched N head B0 ... B7 tail B0 ... B7
//   probe M
//   c2 status 0xHEX sense SSSSSS flagged N
// "untouched" counts the bytes at the end of the 2352-byte buffer that still
// hold the fill pattern after the read: a drive that transfers short leaves
// them; "head" and "tail" show the buffer's first and last 8 bytes. The "c2"
// line is READ CD of the sector with its C2 error pointers: N is the number
// of bytes they flag.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/CdTypes.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "drive/linux/LinuxPassThrough.h"
#include "extract/JobBuilder.h"

namespace {

constexpr uint8_t kFill = 0xA5;

std::size_t UntouchedTail(const std::vector<uint8_t>& buffer) {
    std::size_t count = 0;
    for (auto at = buffer.rbegin(); at != buffer.rend() && *at == kFill; ++at) {
        ++count;
    }
    return count;
}

void PrintResult(int method, int32_t status, const std::vector<uint8_t>& buffer) {
    std::printf("method %d status 0x%X sense %06X untouched %zu head", method,
                static_cast<unsigned>(status), static_cast<unsigned>(vindral::LastSenseCode()),
                UntouchedTail(buffer));
    for (std::size_t i = 0; i < 8; ++i) {
        std::printf(" %02X", buffer[i]);
    }
    std::printf(" tail");
    for (std::size_t i = buffer.size() - 8; i < buffer.size(); ++i) {
        std::printf(" %02X", buffer[i]);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    using namespace vindral;
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: read_method_probe /dev/srN [SECTOR]\n");
        return 2;
    }
    const SectorAddress sector = argc == 3 ? std::atoi(argv[2]) : 16;

    SelectTransport(CreateLinuxPassThrough(std::vector<std::string>{argv[1]}));
    if (InitialiseTransport() == 0) {
        std::fprintf(stderr, "read_method_probe: %s cannot be opened\n", argv[1]);
        return 1;
    }
    const std::vector<DriveLine> drives = FindDrives();
    if (drives.empty()) {
        std::fprintf(stderr, "read_method_probe: %s is no CD-ROM drive\n", argv[1]);
        return 1;
    }
    const CdDevice device = drives.front().device;
    std::printf("drive %s\n", drives.front().text.c_str());

    std::vector<uint8_t> buffer(kSectorBytes);
    for (int method : {kReadCd, kReadCdda, kRead10}) {
        if (method == kRead10) {
            CdCommands::SelectBlockMode(device.hostAdapter, device.target, 0);
        }
        std::memset(buffer.data(), kFill, buffer.size());
        const int32_t status = CdCommands::ReadAudio(device.hostAdapter, device.target, sector,
                                                     1, buffer.data(), method);
        PrintResult(method, status, buffer);
        if (method == kRead10) {
            CdCommands::SelectBlockMode(device.hostAdapter, device.target, 1);
        }
    }

    const int32_t chosen = ProbeReadMethod(device.hostAdapter, device.target);
    if (chosen == kRead10) {
        CdCommands::SelectBlockMode(device.hostAdapter, device.target, 1);
    }
    std::printf("probe %d\n", static_cast<int>(chosen));

    std::vector<uint8_t> withC2(CdCommands::kSectorWithC2Bytes, kFill);
    const int32_t status =
        CdCommands::ReadCdWithC2(device.hostAdapter, device.target, sector, 1, withC2.data());
    int flagged = 0;
    for (int i = 0; status == kStatusOk && i < CdCommands::kC2Bytes; ++i) {
        flagged += std::popcount(withC2[static_cast<std::size_t>(kSectorBytes + i)]);
    }
    std::printf("c2 status 0x%X sense %06X flagged %d\n", static_cast<unsigned>(status),
                static_cast<unsigned>(vindral::LastSenseCode()), flagged);
    return 0;
}
