#include "drive/emulated/EmulatedTransport.h"

namespace vindral::emulated {

std::shared_ptr<EmulatedDrive> EmulatedTransport::AddDrive(std::shared_ptr<const Disc> disc) {
    auto drive = std::make_shared<EmulatedDrive>(std::move(disc));
    std::lock_guard<std::mutex> lock(mutex_);
    drives_.push_back(drive);
    return drive;
}

int32_t EmulatedTransport::Initialise() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int32_t>((drives_.size() + 15) / 16);
}

int32_t EmulatedTransport::Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                                   int cdbLength, bool dataOut, void* buffer, uint32_t length,
                                   SenseResult& sense) {
    std::shared_ptr<EmulatedDrive> drive;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t index = std::size_t{hostAdapter} * 16 + target;
        if (target < 16 && index < drives_.size()) {
            drive = drives_[index];
        }
    }
    if (!drive) {
        sense.taken = false;
        return kStatusNoDrive;
    }
    return drive->Execute(cdb, cdbLength, dataOut, buffer, length, sense);
}

} // namespace vindral::emulated
