#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace kora486 {

/// One posted message: a number and two word-sized arguments, as a window message carries them.
struct Message {
    uint32_t id = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

/// A first-in, first-out queue of messages owned by one thread.
///
/// Any thread may post; posting never blocks on the owner and keeps arrival order. The owner takes
/// messages with Get (waits) or Peek (does not). The wake descriptor is an eventfd that is readable
/// exactly while messages wait, so an event loop (a QSocketNotifier, a test's pump) can watch it
/// and drain the queue on its own thread.
class MessageQueue {
public:
    MessageQueue();
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    /// Appends a message. Returns false only when the queue has been closed.
    bool Post(uint32_t id, uintptr_t wParam = 0, intptr_t lParam = 0);

    /// Removes and returns the oldest message, waiting until one arrives. Owner's thread only.
    Message Get();

    /// Removes and returns the oldest message if there is one. Owner's thread only.
    std::optional<Message> Peek();

    /// Removes the waiting messages with this number and wParam; answers how many. Owner's thread
    /// only, for buffers a device handed back that nobody will take any more.
    size_t Discard(uint32_t id, uintptr_t wParam);

    /// Drops every waiting message and refuses later posts.
    void Close();

    /// Number of messages waiting.
    size_t Size() const;

    /// A descriptor that polls readable while messages wait.
    int WakeDescriptor() const { return wakeFd_; }

private:
    std::optional<Message> TakeLocked();

    mutable std::mutex lock_;
    std::deque<Message> messages_;
    bool closed_ = false;
    int wakeFd_ = -1;
};

}  // namespace kora486
