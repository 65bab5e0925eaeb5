#include "drive/emulated/ReadThrottle.h"

#include <algorithm>
#include <thread>

#include "drive/CdTypes.h"

namespace vindral::emulated {

void ReadThrottle::SetLimitKBps(uint32_t kbps) {
    if (kbps != limitKBps_) {
        readyAt_ = Duration{0};
    }
    limitKBps_ = kbps;
}

ReadThrottle::Duration ReadThrottle::TransferTime(int64_t sectors) const {
    if (limitKBps_ == 0 || sectors <= 0) {
        return Duration{0};
    }
    // bytes / (kB/s * 1000) seconds, in nanoseconds: bytes * 10^6 / kB/s.
    const int64_t bytes = sectors * kSectorBytes;
    return Duration{bytes * 1000000 / limitKBps_};
}

ReadThrottle::Duration ReadThrottle::Reserve(Duration now, int64_t sectors) {
    if (limitKBps_ == 0) {
        return Duration{0};
    }
    // The disc keeps turning while the host is busy: the drive reads ahead
    // into its buffer, so a host that comes back a little late loses no
    // time, while a long pause is worth no more than the buffer holds.
    // The first read of a new pace starts when it is asked for.
    const Duration start = readyAt_.count() == 0
                               ? now
                               : std::max(now - TransferTime(kReadAheadSectors), readyAt_);
    readyAt_ = start + TransferTime(sectors);
    return std::max(readyAt_ - now, Duration{0});
}

ThrottleClock ThrottleClock::Steady() {
    ThrottleClock clock;
    clock.now = [] {
        return std::chrono::duration_cast<ReadThrottle::Duration>(
            std::chrono::steady_clock::now().time_since_epoch());
    };
    clock.sleep = [](ReadThrottle::Duration d) {
        if (d.count() > 0) {
            std::this_thread::sleep_for(d);
        }
    };
    return clock;
}

} // namespace vindral::emulated
