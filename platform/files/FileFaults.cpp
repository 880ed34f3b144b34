#include "files/FileFaults.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

namespace kora486 {

namespace {

struct Entry {
    uint64_t id;
    std::string key;
    FileFault fault;
};

struct Registry {
    std::mutex mutex;
    std::vector<Entry> entries;  // in injection order: the first that fires decides
    uint64_t nextId = 1;
    // Lets every file call skip the lock while no fault is armed, which is always in production.
    std::atomic<size_t> armed{0};
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

uint64_t Inject(const std::string& path, FileFault fault) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    const uint64_t id = registry.nextId++;
    registry.entries.push_back({id, fault_seam::KeyOfPath(path), fault});
    registry.armed.store(registry.entries.size(), std::memory_order_release);
    return id;
}

void Remove(uint64_t id) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    std::erase_if(registry.entries, [id](const Entry& entry) { return entry.id == id; });
    registry.armed.store(registry.entries.size(), std::memory_order_release);
}

bool Fires(const FileFault& fault, FileOperation operation, int64_t position, int64_t count) {
    if (fault.operation != operation) {
        return false;
    }
    switch (operation) {
        case FileOperation::Read:
        case FileOperation::Write:
            // Compared as a difference: position + count may not fit.
            return count > 0 && count > fault.atByte - position;
        case FileOperation::Seek:
            return position >= fault.atByte;
        case FileOperation::Open:
        case FileOperation::Close:
            return true;
    }
    return false;
}

}  // namespace

void InjectFileFault(const std::string& path, FileFault fault) {
    Inject(path, fault);
}

void ClearFileFaults() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.entries.clear();
    registry.armed.store(0, std::memory_order_release);
}

ScopedFileFault::ScopedFileFault(const std::string& path, FileFault fault)
    : id_(Inject(path, fault)) {}

ScopedFileFault::~ScopedFileFault() {
    Remove(id_);
}

namespace fault_seam {

std::string KeyOfPath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) {
        return std::filesystem::path(path).lexically_normal().string();
    }
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
    return (error ? absolute.lexically_normal() : resolved).string();
}

std::optional<Effect> FaultFor(const std::string& key, FileOperation operation, int64_t position,
                               int64_t count) {
    Registry& registry = TheRegistry();
    if (registry.armed.load(std::memory_order_acquire) == 0) {
        return std::nullopt;
    }
    std::lock_guard lock(registry.mutex);
    for (auto it = registry.entries.begin(); it != registry.entries.end(); ++it) {
        if (it->key != key || !Fires(it->fault, operation, position, count)) {
            continue;
        }
        const Effect effect{it->fault.kind, it->fault.atByte};
        if (it->fault.once) {
            registry.entries.erase(it);
            registry.armed.store(registry.entries.size(), std::memory_order_release);
        }
        return effect;
    }
    return std::nullopt;
}

}  // namespace fault_seam

}  // namespace kora486
