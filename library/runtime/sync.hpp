#pragma once
// Synchronisation primitives: a mutex with poisoning and an unbounded
// multi-producer, single-consumer channel.
//
// Mutex<T>: a guard released while a panic unwinds poisons the mutex. lock()
// always returns the guard, together with the poison state, so a poisoned
// mutex stays usable.
//
// Channel: senders are copyable and may live on any thread; the receiver is
// unique. Sending fails once the receiver is gone; receiving reports
// disconnection once every sender is gone and the queue is empty.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace rt {

template <typename T>
class Mutex;

/// Scoped access to the value of a Mutex<T>; poisons it when destroyed during unwinding.
template <typename T>
class MutexGuard {
public:
    MutexGuard(MutexGuard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          lock_(std::move(other.lock_)),
          exceptions_at_lock_(other.exceptions_at_lock_) {}
    MutexGuard& operator=(MutexGuard&&) = delete;
    ~MutexGuard() {
        if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_at_lock_) {
            owner_->poisoned_.store(true, std::memory_order_relaxed);
        }
    }
    T& operator*() { return owner_->value_; }
    T* operator->() { return &owner_->value_; }

private:
    friend class Mutex<T>;
    explicit MutexGuard(Mutex<T>& owner)
        : owner_(&owner), lock_(owner.mutex_), exceptions_at_lock_(std::uncaught_exceptions()) {}
    MutexGuard(Mutex<T>& owner, std::unique_lock<std::mutex> lock)
        : owner_(&owner), lock_(std::move(lock)), exceptions_at_lock_(std::uncaught_exceptions()) {}
    Mutex<T>* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_lock_;
};

/// The result of Mutex::lock: the guard and whether the mutex was poisoned.
template <typename T>
struct LockResult {
    MutexGuard<T> guard;
    bool poisoned;
};

/// A mutex that owns its value and remembers a panic of a holder.
template <typename T>
class Mutex {
public:
    Mutex() = default;
    explicit Mutex(T value) : value_(std::move(value)) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    /// Blocks until the mutex is free; returns the guard and the poison state
    /// as it was when the lock was taken.
    LockResult<T> lock() {
        MutexGuard<T> guard(*this);
        bool was = poisoned_.load(std::memory_order_relaxed);
        return LockResult<T>{std::move(guard), was};
    }
    /// Takes the mutex only if it is free at once; nothing otherwise.
    std::optional<LockResult<T>> try_lock() {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            return std::nullopt;
        }
        MutexGuard<T> guard(*this, std::move(lock));
        bool was = poisoned_.load(std::memory_order_relaxed);
        return LockResult<T>{std::move(guard), was};
    }
    [[nodiscard]] bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
    void clear_poison() { poisoned_.store(false, std::memory_order_relaxed); }

private:
    friend class MutexGuard<T>;
    std::mutex mutex_;
    T value_{};
    std::atomic<bool> poisoned_{false};  // written while mutex_ is held, read anywhere
};

/// Outcome of a receive with a time limit.
enum class RecvStatus { Ok, Timeout, Disconnected };

namespace detail {

/// A first-in first-out queue in a ring of slots that grows by doubling and
/// never shrinks: once it has room for the values in flight, pushing and
/// popping allocate nothing (a deque allocates a block every few values, one
/// per value for large ones).
template <typename T>
class RingQueue {
public:
    [[nodiscard]] bool empty() const { return count_ == 0; }
    void push_back(T&& value) {
        if (count_ == slots_.size()) {
            grow();
        }
        slots_[(head_ + count_) % slots_.size()].emplace(std::move(value));
        ++count_;
    }
    /// Takes the oldest value; the queue must not be empty.
    T take_front() {
        std::optional<T>& slot = slots_[head_];
        T value = std::move(*slot);
        slot.reset();
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return value;
    }
    void swap(RingQueue& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    void grow() {
        std::vector<std::optional<T>> larger(std::max<std::size_t>(4, slots_.size() * 2));
        for (std::size_t i = 0; i < count_; ++i) {
            larger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        }
        slots_.swap(larger);
        head_ = 0;
    }
    std::vector<std::optional<T>> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

template <typename T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    RingQueue<T> queue;
    std::size_t senders = 0;
    bool receiver_alive = true;
};
}  // namespace detail

template <typename T>
class Receiver;

/// Sending end; copies share the channel.
template <typename T>
class Sender {
public:
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(Sender other) {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { detach(); }

    /// Queues `value`; gives it back when the receiver is gone.
    std::optional<T> send(T value) const {
        std::unique_lock lock(state_->mutex);
        if (!state_->receiver_alive) {
            return std::optional<T>(std::move(value));
        }
        state_->queue.push_back(std::move(value));
        lock.unlock();
        state_->ready.notify_one();
        return std::nullopt;
    }

private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> channel();
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {
        attach();
    }
    void attach() {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
    }
    void detach() {
        if (!state_) {
            return;
        }
        std::unique_lock lock(state_->mutex);
        if (--state_->senders == 0) {
            lock.unlock();
            state_->ready.notify_all();
        }
    }
    std::shared_ptr<detail::ChannelState<T>> state_;
};

/// Receiving end; unique.
template <typename T>
class Receiver {
public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            disconnect();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    ~Receiver() { disconnect(); }

    /// Blocks until a value arrives; nothing when every sender is gone.
    std::optional<T> recv() {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
        return pop(lock);
    }

    /// Waits at most `timeout` for a value.
    template <typename Rep, typename Period>
    RecvStatus recv_timeout(std::chrono::duration<Rep, Period> timeout, std::optional<T>& out) {
        return recv_deadline(std::chrono::steady_clock::now() + timeout, out);
    }

    /// Waits until `deadline` for a value.
    RecvStatus recv_deadline(std::chrono::steady_clock::time_point deadline,
                             std::optional<T>& out) {
        std::unique_lock lock(state_->mutex);
        bool woke = state_->ready.wait_until(
            lock, deadline, [&] { return !state_->queue.empty() || state_->senders == 0; });
        if (!woke) {
            return RecvStatus::Timeout;
        }
        out = pop(lock);
        return out ? RecvStatus::Ok : RecvStatus::Disconnected;
    }

private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> channel();
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    // Marks the channel closed for senders and drops what is still queued.
    void disconnect() {
        if (!state_) {
            return;
        }
        detail::RingQueue<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            dropped.swap(state_->queue);
        }
        state_.reset();
    }
    std::optional<T> pop(std::unique_lock<std::mutex>&) {
        if (state_->queue.empty()) {
            return std::nullopt;
        }
        return state_->queue.take_front();
    }
    std::shared_ptr<detail::ChannelState<T>> state_;
};

/// Creates an unbounded channel.
template <typename T>
std::pair<Sender<T>, Receiver<T>> channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    Sender<T> tx(state);
    return {std::move(tx), Receiver<T>(std::move(state))};
}

}  // namespace rt
