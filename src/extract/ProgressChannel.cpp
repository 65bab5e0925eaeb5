#include "extract/ProgressChannel.h"

#include <chrono>

namespace vindral {

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
    {
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
