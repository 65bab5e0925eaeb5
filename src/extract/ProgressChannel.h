// The synchronous progress message from a worker to the window thread: the
// worker's Send returns only when the window thread has handled the code, so
// the window side may read the run's counters and buffers without locks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace vindral {

class ProgressChannel {
public:
    using Handler = std::function<void(int code, void* param)>;

    // `handler` runs on the window thread. `wake` is called on the worker's
    // thread after a message was posted, so that a window system can schedule
    // Dispatch on its own thread; it may be empty when the window thread
    // waits in WaitAndDispatch.
    ProgressChannel(Handler handler, std::function<void()> wake = {});

    // Declares the calling thread the window thread.
    void BindToCurrentThread();

    // Worker side. Returns true when the window thread handled the message,
    // false when the channel was closed (the window is gone): nothing handled
    // it and the worker must not rely on it.
    bool Send(int code, void* param);

    // Window side: handles a pending message, if any; returns whether one was.
    bool Dispatch();
    // Window side: waits up to `timeoutMs` for a message and handles it.
    bool WaitAndDispatch(int timeoutMs);

    // Window side: no further message will be handled; a worker waiting in
    // Send is released with false.
    void Close();
    bool IsClosed() const;

private:
    Handler handler_;
    std::function<void()> wake_;
    std::thread::id windowThread_;
    mutable std::mutex lock_;
    std::condition_variable posted_;
    std::condition_variable handled_;
    // Written under lock_, read without it by the brief spins that spare
    // both threads a sleep for the quick hand-overs of a fast drive.
    std::atomic<bool> pending_{false};
    std::atomic<bool> closed_{false};
    int code_ = 0;
    void* param_ = nullptr;
    uint64_t serial_ = 0;
    std::atomic<uint64_t> done_{0};
    std::mutex sendLock_; // one sender at a time
};

} // namespace vindral
