// The poisoning mutex and the channel.
#include "sync.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "io.hpp"
#include "panic.hpp"
#include "thread.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Mutex, PanicWhileHeldPoisonsButStaysUsable) {
    rt::Mutex<int> mutex(1);
    std::thread holder([&] {
        rt::set_output_capture(rt::make_capture_buffer());  // keep the report quiet
        (void)rt::catch_unwind([&] {
            auto locked = mutex.lock();
            *locked.guard = 2;
            rt::panic("failed while holding the lock");
        });
    });
    holder.join();
    EXPECT_TRUE(mutex.is_poisoned());
    {
        auto locked = mutex.lock();
        EXPECT_TRUE(locked.poisoned);
        EXPECT_EQ(*locked.guard, 2);  // the value written before the panic is kept
        *locked.guard = 3;
    }
    EXPECT_TRUE(mutex.is_poisoned());  // a normal release does not clear it
    mutex.clear_poison();
    auto locked = mutex.lock();
    EXPECT_FALSE(locked.poisoned);
    EXPECT_EQ(*locked.guard, 3);
}

TEST(Mutex, NormalUseAndCaughtExceptionsInsideDoNotPoison) {
    rt::Mutex<std::string> mutex;
    {
        auto locked = mutex.lock();
        locked.guard->append("a");
        try {
            throw 1;  // caught before the guard is released
        } catch (int) {
        }
    }
    try {
        throw 2;
    } catch (int) {
        // A guard taken and released inside a handler is not released by unwinding.
        auto locked = mutex.lock();
        locked.guard->append("b");
    }
    EXPECT_FALSE(mutex.is_poisoned());
    EXPECT_EQ(*mutex.lock().guard, "ab");
}

TEST(Mutex, SerialisesThreads) {
    rt::Mutex<long> counter(0);
    std::thread threads[4];
    for (auto& t : threads) {
        t = std::thread([&] {
            for (int i = 0; i < 10000; ++i) {
                ++*counter.lock().guard;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(*counter.lock().guard, 40000);
}

TEST(Channel, DeliversInOrderAcrossSenders) {
    auto [tx, rx] = rt::channel<int>();
    std::thread producers[3];
    for (int p = 0; p < 3; ++p) {
        producers[p] = std::thread([p, tx]() mutable {
            for (int i = 0; i < 100; ++i) {
                EXPECT_FALSE(tx.send(p * 1000 + i).has_value());
            }
        });
    }
    { auto drop = std::move(tx); }
    int last[3] = {-1, -1, -1};
    int received = 0;
    while (auto value = rx.recv()) {
        const int p = *value / 1000;
        EXPECT_GT(*value % 1000, last[p]);  // per-sender order is kept
        last[p] = *value % 1000;
        ++received;
    }
    for (auto& t : producers) {
        t.join();
    }
    EXPECT_EQ(received, 300);  // recv() ended only after every sender was gone
}

TEST(Channel, RecvTimeoutReturnsOnTime) {
    auto [tx, rx] = rt::channel<int>();
    std::optional<int> out;
    auto start = Clock::now();
    EXPECT_EQ(rx.recv_timeout(100ms, out), rt::RecvStatus::Timeout);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 1s);
    EXPECT_FALSE(out.has_value());

    // A value sent during the wait ends it early.
    std::thread sender([tx = tx] {
        std::this_thread::sleep_for(30ms);
        (void)tx.send(5);
    });
    start = Clock::now();
    EXPECT_EQ(rx.recv_timeout(5s, out), rt::RecvStatus::Ok);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(out, 5);
    sender.join();

    // A deadline already passed still hands over what is queued.
    (void)tx.send(6);
    EXPECT_EQ(rx.recv_deadline(Clock::now() - 1s, out), rt::RecvStatus::Ok);
    EXPECT_EQ(out, 6);
    EXPECT_EQ(rx.recv_deadline(Clock::now() - 1s, out), rt::RecvStatus::Timeout);
}

TEST(Channel, DisconnectionIsReportedBothWays) {
    auto [tx, rx] = rt::channel<std::string>();
    (void)tx.send("queued");
    { auto drop = std::move(tx); }
    std::optional<std::string> out;
    EXPECT_EQ(rx.recv_timeout(1s, out), rt::RecvStatus::Ok);
    EXPECT_EQ(out, "queued");
    auto start = Clock::now();
    EXPECT_EQ(rx.recv_timeout(5s, out), rt::RecvStatus::Disconnected);
    EXPECT_LT(Clock::now() - start, 1s);

    auto [tx2, rx2] = rt::channel<std::string>();
    auto copy = tx2;
    { auto drop = std::move(rx2); }
    auto back = copy.send("nobody listens");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, "nobody listens");
    EXPECT_TRUE(tx2.send("again").has_value());
}

TEST(Channel, ReceiverMoveAssignmentClosesTheOldChannel) {
    auto [tx1, rx1] = rt::channel<int>();
    auto [tx2, rx2] = rt::channel<int>();
    rx1 = std::move(rx2);
    EXPECT_TRUE(tx1.send(1).has_value());  // its receiver is gone
    EXPECT_FALSE(tx2.send(2).has_value());
    EXPECT_EQ(rx1.recv(), 2);
}

}  // namespace
