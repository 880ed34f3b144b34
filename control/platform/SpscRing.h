#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

namespace kora486 {

/// A fixed-capacity first-in, first-out ring between one producer thread and one consumer
/// thread. Push and Pop never block, never allocate and take no lock, so a sound device's
/// callback may call either. Each side may change threads only across a synchronisation point
/// (a join, a lock both threads take) that orders it after the previous user of that side.
template <typename T, size_t Capacity>
class SpscRing {
    static_assert(Capacity > 0);
    static_assert(std::atomic<size_t>::is_always_lock_free);

public:
    /// Appends a value; answers false, changing nothing, when the ring is full. Producer only.
    bool Push(const T& value) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity) {
            return false;
        }
        slots_[tail % Capacity] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    /// Removes and answers the oldest value, or nullopt when the ring is empty. Consumer only.
    std::optional<T> Pop() {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        T value = slots_[head % Capacity];
        head_.store(head + 1, std::memory_order_release);
        return value;
    }

    /// The oldest value, left in the ring, or null when the ring is empty. Consumer only; the
    /// pointer is good until the consumer's next Pop.
    const T* Peek() const {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &slots_[head % Capacity];
    }

    /// Values waiting; exact only on a side that the other side is not changing.
    size_t Size() const {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }

    static constexpr size_t capacity() { return Capacity; }

private:
    std::array<T, Capacity> slots_{};
    // Both counters only grow; their difference is the fill. They sit on separate cache lines so
    // the two threads do not fight over one.
    alignas(64) std::atomic<size_t> head_{0};
    alignas(64) std::atomic<size_t> tail_{0};
};

}  // namespace kora486
