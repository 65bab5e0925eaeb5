// The transport backend of emulated drives: `--image` and `--demo` runs and
// the tests. Drive i answers at host adapter i / 16, target i % 16.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "drive/Transport.h"
#include "drive/emulated/EmulatedDrive.h"

namespace vindral::emulated {

class EmulatedTransport : public TransportBackend {
public:
    std::shared_ptr<EmulatedDrive> AddDrive(std::shared_ptr<const Disc> disc);

    // Number of host adapters in use: 0 without drives.
    int32_t Initialise() override;

    // An address without a drive gives kStatusNoDrive and sense.taken = false.
    int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, int cdbLength,
                    bool dataOut, void* buffer, uint32_t length, SenseResult& sense) override;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<EmulatedDrive>> drives_;
};

} // namespace vindral::emulated
