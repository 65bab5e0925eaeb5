#include "extract/ProgressChannel.h"

#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VINDRAL_CPU_RELAX() _mm_pause()
#else
#define VINDRAL_CPU_RELAX() ((void)0)
#endif


namespace vindral {

namespace {

// How long a thread waits for the other side before it sleeps: first a few
// microseconds of busy polling (the answer of a thread on another core),
// then yielding, which lets the other side run even when it shares our core.
constexpr auto kPoll = std::chrono::microseconds(5);
constexpr auto kSpin = std::chrono::microseconds(100);

template <typename Ready>
bool SpinFor(Ready ready) {
    const auto start = std::chrono::steady_clock::now();
    auto now = start;
    do {
        for (int i = 0; i < 16; ++i) {
            if (ready()) {
                return true;
            }
            VINDRAL_CPU_RELAX();
        }
        now = std::chrono::steady_clock::now();
        if (now - start > kPoll) {
            std::this_thread::yield();
        }
    } while (now - start < kSpin);
    return ready();
}

} // namespace

ProgressChannel::ProgressChannel(Handler handler, std::function<void()> wake)
    : handler_(std::move(handler)), wake_(std::move(wake)),
      windowThread_(std::this_thread::get_id()) {}

void ProgressChannel::BindToCurrentThread() {
    std::lock_guard<std::mutex> guard(lock_);
    windowThread_ = std::this_thread::get_id();
}

bool ProgressChannel::Send(int code, void* param) {
    if (std::this_thread::get_id() == windowThread_) {
        // Sent on the window thread itself: handle it at once.
        if (IsClosed()) {
            return false;
        }
        handler_(code, param);
        return true;
    }
    std::lock_guard<std::mutex> one(sendLock_);
    uint64_t mine = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closed_) {
            return false;
        }
        pending_ = true;
        code_ = code;
        param_ = param;
        mine = ++serial_;
    }
    posted_.notify_all();
    if (wake_) {
        wake_();
    }
    if (SpinFor([&] { return done_.load() >= mine || closed_.load(); })) {
        return done_.load() >= mine;
    }
    std::unique_lock<std::mutex> guard(lock_);
    handled_.wait(guard, [&] { return done_ >= mine || closed_; });
    return done_ >= mine;
}

bool ProgressChannel::Dispatch() {
    int code = 0;
    void* param = nullptr;
    uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!pending_ || closed_) {
            return false;
        }
        pending_ = false;
        code = code_;
        param = param_;
        serial = serial_;
    }
    handler_(code, param);
    {
        std::lock_guard<std::mutex> guard(lock_);
        done_ = serial;
    }
    handled_.notify_all();
    return true;
}

bool ProgressChannel::WaitAndDispatch(int timeoutMs) {
    if (!SpinFor([&] { return pending_.load() || closed_.load(); })) {
        std::unique_lock<std::mutex> guard(lock_);
        posted_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [&] { return pending_ || closed_; });
    }
    return Dispatch();
}

void ProgressChannel::Close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        pending_ = false;
    }
    handled_.notify_all();
    posted_.notify_all();
}

bool ProgressChannel::IsClosed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

} // namespace vindral
