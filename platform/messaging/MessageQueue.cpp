#include "messaging/MessageQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kora486 {

namespace {

// The eventfd is a counter: posting adds one, taking the last message reads it back to zero, so it
// is readable exactly while the queue is not empty. It is also what Get sleeps on.
void Signal(int fd) {
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Drain(int fd) {
    uint64_t count = 0;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace

MessageQueue::MessageQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd for a message queue");
    }
}

MessageQueue::~MessageQueue() {
    close(wakeFd_);
}

bool MessageQueue::Post(uint32_t id, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return false;
    }
    messages_.push_back({id, wParam, lParam});
    if (messages_.size() == 1) {
        Signal(wakeFd_);
    }
    return true;
}

std::optional<Message> MessageQueue::TakeLocked() {
    if (messages_.empty()) {
        return std::nullopt;
    }
    Message message = messages_.front();
    messages_.pop_front();
    if (messages_.empty()) {
        Drain(wakeFd_);
    }
    return message;
}

Message MessageQueue::Get() {
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (auto message = TakeLocked()) {
                return *message;
            }
        }
        pollfd wake{wakeFd_, POLLIN, 0};
        while (poll(&wake, 1, -1) < 0 && errno == EINTR) {
        }
    }
}

std::optional<Message> MessageQueue::Peek() {
    std::lock_guard guard(lock_);
    return TakeLocked();
}

size_t MessageQueue::Discard(uint32_t id, uintptr_t wParam) {
    std::lock_guard guard(lock_);
    const size_t before = messages_.size();
    std::erase_if(messages_, [&](const Message& m) { return m.id == id && m.wParam == wParam; });
    if (before != 0 && messages_.empty()) {
        Drain(wakeFd_);
    }
    return before - messages_.size();
}

void MessageQueue::Close() {
    std::lock_guard guard(lock_);
    closed_ = true;
    if (!messages_.empty()) {
        messages_.clear();
        Drain(wakeFd_);
    }
}

size_t MessageQueue::Size() const {
    std::lock_guard guard(lock_);
    return messages_.size();
}

}  // namespace kora486
