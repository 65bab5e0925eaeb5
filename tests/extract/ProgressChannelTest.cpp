#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "extract/ProgressChannel.h"

namespace vindral {
namespace {

TEST(ProgressChannel, SenderWaitsUntilTheWindowThreadHandledTheCode) {
    std::vector<int> handled;
    std::atomic<int> value{0};
    ProgressChannel channel([&](int code, void*) {
        handled.push_back(code);
        EXPECT_EQ(value.load(), code) << "the worker is stopped while its code is handled";
    });
    std::thread worker([&] {
        for (int code = 1; code <= 3; ++code) {
            value = code;
            EXPECT_TRUE(channel.Send(code, nullptr));
        }
    });
    while (handled.size() < 3) {
        channel.WaitAndDispatch(50);
    }
    worker.join();
    EXPECT_EQ(handled, (std::vector<int>{1, 2, 3}));
}

TEST(ProgressChannel, SendOnTheWindowThreadIsHandledAtOnce) {
    int handled = 0;
    ProgressChannel channel([&](int, void*) { ++handled; });
    EXPECT_TRUE(channel.Send(0, nullptr));
    EXPECT_EQ(handled, 1);
}

TEST(ProgressChannel, ClosingReleasesAWaitingSender) {
    ProgressChannel channel([](int, void*) { FAIL() << "nothing is handled after Close"; });
    std::atomic<bool> result{true};
    std::thread worker([&] { result = channel.Send(5, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    channel.Close();
    worker.join();
    EXPECT_FALSE(result.load());
    EXPECT_FALSE(channel.Send(0, nullptr));
    EXPECT_FALSE(channel.Dispatch());
}

TEST(ProgressChannel, WakeIsCalledForEveryPostedMessage) {
    std::atomic<int> wakes{0};
    ProgressChannel* self = nullptr;
    int handled = 0;
    ProgressChannel channel([&](int, void*) { ++handled; }, [&] { ++wakes; });
    self = &channel;
    std::thread worker([&] {
        self->Send(1, nullptr);
        self->Send(2, nullptr);
    });
    while (handled < 2) {
        channel.WaitAndDispatch(50);
    }
    worker.join();
    EXPECT_EQ(wakes.load(), 2);
}

} // namespace
} // namespace vindral
