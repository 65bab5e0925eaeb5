// The pace of an emulated drive's reads under a speed limit. A read of n
// sectors at L kB/s takes n * 2352 / (L * 1000) seconds; reads are scheduled
// back to back, so the average rate holds however the reads are split. The
// drive reads ahead into a small buffer, so a host that is briefly late loses
// nothing, and a long pause earns no more burst than that buffer holds.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace vindral::emulated {

class ReadThrottle {
public:
    // Sectors the drive reads ahead while the host is busy.
    static constexpr int64_t kReadAheadSectors = 64;

    using Duration = std::chrono::nanoseconds;

    // 0 = unthrottled.
    void SetLimitKBps(uint32_t kbps);
    uint32_t LimitKBps() const { return limitKBps_; }

    // How long `sectors` sectors take at the limit.
    Duration TransferTime(int64_t sectors) const;

    // Books a read of `sectors` sectors that starts at `now` (a monotonic
    // time) and returns how long the reader must wait before answering.
    Duration Reserve(Duration now, int64_t sectors);

private:
    uint32_t limitKBps_ = 0;
    Duration readyAt_{0}; // when the previous booked read completes
};

// The clock and the sleep of a drive, replaceable in tests.
struct ThrottleClock {
    std::function<ReadThrottle::Duration()> now;
    std::function<void(ReadThrottle::Duration)> sleep;
    static ThrottleClock Steady();
};

} // namespace vindral::emulated
