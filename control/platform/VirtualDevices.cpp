#include "platform/VirtualDevices.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kora486 {

namespace {

using Clock = std::chrono::steady_clock;

class DeviceCore;

}  // namespace

// What the service and its open devices share: one lock and one condition variable for all of
// them, which keeps lock order trivial; the virtual devices have no use for finer locking.
class VirtualDeviceShared {
public:
    explicit VirtualDeviceShared(VirtualDeviceConfig c)
        : config(std::move(c)),
          openInputs(config.inputs.size()),
          openOutputs(config.outputs.size()) {}

    const VirtualDeviceConfig config;
    std::mutex lock;
    // Notified on every change a timing thread or a waiting test may care about.
    std::condition_variable changed;
    // The open device of each number, or null; guarded by lock.
    std::vector<DeviceCore*> openInputs;
    std::vector<DeviceCore*> openOutputs;
};

namespace {

enum class Direction { Input, Output };

// The state of one open device. Every member function is called with the shared lock held, except
// the constructor, the destructor, JoinTimer and Sink, which run once the timer has stopped.
class DeviceCore {
public:
    DeviceCore(VirtualDeviceShared& shared, Direction direction, const WaveFormatEx& format,
               MessageQueue& callback, uintptr_t handle, std::unique_ptr<InputSource> source,
               std::unique_ptr<OutputSink> sink)
        : shared_(shared),
          direction_(direction),
          format_(format),
          callback_(callback),
          handle_(handle),
          source_(std::move(source)),
          sink_(std::move(sink)),
          // Output plays as soon as it is written; input waits for Start.
          running_(direction == Direction::Output) {}

    VirtualClock Mode() const { return shared_.config.clock; }
    size_t Queued() const { return queued_.size(); }
    bool Running() const { return running_; }
    OutputSink* Sink() { return sink_.get(); }

    MmResult Prepare(WaveHeader& h) {
        if (h.data == nullptr || h.bufferLength == 0) {
            return MmInvalidParameter;
        }
        if ((h.flags & WhdrInQueue) != 0) {
            return WaveStillPlaying;
        }
        h.flags |= WhdrPrepared;
        return MmNoError;
    }

    MmResult Unprepare(WaveHeader& h) {
        if ((h.flags & WhdrInQueue) != 0) {
            return WaveStillPlaying;
        }
        h.flags &= ~WhdrPrepared;
        return MmNoError;
    }

    MmResult Queue(WaveHeader& h, Clock::time_point now) {
        if ((h.flags & WhdrPrepared) == 0) {
            return WaveUnprepared;
        }
        if ((h.flags & WhdrInQueue) != 0) {
            return WaveStillPlaying;
        }
        if (h.data == nullptr || h.bufferLength == 0) {
            return MmInvalidParameter;
        }
        h.flags = (h.flags & ~WhdrDone) | WhdrInQueue;
        if (direction_ == Direction::Input) {
            h.bytesRecorded = 0;
        }
        if (running_ && queued_.empty()) {
            headStart_ = now;
        }
        queued_.push_back(&h);
        CompleteIfFast();
        shared_.changed.notify_all();
        return MmNoError;
    }

    // Input Start and output Restart.
    void Run(Clock::time_point now) {
        if (running_) {
            return;
        }
        running_ = true;
        headStart_ = now - headPlayed_;
        headPlayed_ = {};
        CompleteIfFast();
        shared_.changed.notify_all();
    }

    void Pause(Clock::time_point now) {
        if (!running_) {
            return;
        }
        CompleteDue(now);
        if (!queued_.empty()) {
            headPlayed_ = std::min(now - headStart_, Duration(*queued_.front()));
        }
        running_ = false;
        shared_.changed.notify_all();
    }

    void Reset(Clock::time_point now) {
        CompleteDue(now);
        if (!queued_.empty() && direction_ == Direction::Input && running_ &&
            Mode() == VirtualClock::RealTime) {
            CompleteHead(CapturedSoFar(*queued_.front(), now));
        }
        while (!queued_.empty()) {
            CompleteHead(0);
        }
        headPlayed_ = {};
        // A reset input must be started again; a reset output is left running even if it was
        // paused.
        running_ = direction_ == Direction::Output;
        shared_.changed.notify_all();
    }

    size_t CompleteManual(size_t n) {
        if (!running_) {
            return 0;
        }
        size_t done = 0;
        for (; done < n && !queued_.empty(); ++done) {
            CompleteHead(queued_.front()->bufferLength);
        }
        return done;
    }

    // Runs on the device's own thread while the device is open (RealTime only).
    void TimerLoop() {
        std::unique_lock lock(shared_.lock);
        while (!quit_) {
            if (running_ && !queued_.empty()) {
                const Clock::time_point deadline = headStart_ + Duration(*queued_.front());
                if (Clock::now() < deadline) {
                    shared_.changed.wait_until(lock, deadline);
                    continue;
                }
                CompleteDue(deadline);
            } else {
                shared_.changed.wait(lock);
            }
        }
    }

    void StartTimer() {
        if (Mode() == VirtualClock::RealTime) {
            timer_ = std::thread([this] { TimerLoop(); });
        }
    }

    // The stop flag is set under the lock the timer sleeps on, so the wake-up cannot be lost.
    void StopTimer() {
        quit_ = true;
        shared_.changed.notify_all();
    }

    // Called without the lock, after StopTimer.
    void JoinTimer() {
        if (timer_.joinable()) {
            timer_.join();
        }
    }

private:
    Clock::duration Duration(const WaveHeader& h) const {
        const uint64_t rate = std::max<uint32_t>(1, format_.avgBytesPerSec);
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(uint64_t{h.bufferLength} * 1'000'000'000 / rate));
    }

    // The part of the head buffer captured by now, in whole frames.
    uint32_t CapturedSoFar(const WaveHeader& h, Clock::time_point now) const {
        const auto elapsed = std::clamp(now - headStart_, Clock::duration{}, Duration(h));
        const uint64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        uint64_t bytes =
            std::min<uint64_t>(h.bufferLength, ns * format_.avgBytesPerSec / 1'000'000'000);
        if (format_.blockAlign > 0) {
            bytes -= bytes % format_.blockAlign;
        }
        return static_cast<uint32_t>(bytes);
    }

    // RealTime: completes every buffer whose time has come by `now`. Each next buffer starts when
    // the one before it ended, so a late wake-up does not make the stream drift.
    void CompleteDue(Clock::time_point now) {
        if (Mode() != VirtualClock::RealTime) {
            return;
        }
        while (running_ && !queued_.empty()) {
            const Clock::time_point end = headStart_ + Duration(*queued_.front());
            if (end > now) {
                return;
            }
            CompleteHead(queued_.front()->bufferLength);
            headStart_ = end;
        }
    }

    void CompleteIfFast() {
        if (Mode() != VirtualClock::Fast) {
            return;
        }
        while (running_ && !queued_.empty()) {
            CompleteHead(queued_.front()->bufferLength);
        }
    }

    // Returns the head buffer with `bytes` of it captured or played (0: returned unused).
    void CompleteHead(uint32_t bytes) {
        WaveHeader* h = queued_.front();
        queued_.pop_front();
        headPlayed_ = {};
        if (direction_ == Direction::Input) {
            if (bytes > 0) {
                source_->Fill(h->data, bytes, format_);
            }
            h->bytesRecorded = bytes;
        } else if (bytes > 0) {
            sink_->Consume(h->data, bytes);
        }
        h->flags = (h->flags | WhdrDone) & ~WhdrInQueue;
        // From here the header belongs to the engine; the queue's lock hands it over. A closed
        // queue means nobody listens any more, and the header is simply released.
        callback_.Post(direction_ == Direction::Input ? MmWimData : MmWomDone, handle_,
                       reinterpret_cast<intptr_t>(h));
    }

    VirtualDeviceShared& shared_;
    const Direction direction_;
    const WaveFormatEx format_;
    MessageQueue& callback_;
    const uintptr_t handle_;
    std::unique_ptr<InputSource> source_;
    std::unique_ptr<OutputSink> sink_;

    std::deque<WaveHeader*> queued_;
    bool running_;
    bool quit_ = false;
    // When the head buffer began (RealTime), and how much of it had played when output paused.
    Clock::time_point headStart_{};
    Clock::duration headPlayed_{};
    std::thread timer_;
};

// The handle the engine holds. Its address, as the interface type, is the message's wParam.
template <typename Interface>
class VirtualDevice : public Interface {
public:
    explicit VirtualDevice(std::shared_ptr<VirtualDeviceShared> shared)
        : shared_(std::move(shared)) {}

    // Destroying an open device resets it, so every queued buffer still comes back once.
    ~VirtualDevice() override {
        std::unique_lock lock(shared_->lock);
        if (core_) {
            core_->Reset(Clock::now());
            Shutdown(lock);
        }
    }

    uintptr_t HandleId() const {
        return reinterpret_cast<uintptr_t>(static_cast<const Interface*>(this));
    }

    // Called once, by the service, before the handle is handed out.
    void Attach(std::unique_ptr<DeviceCore> core, std::vector<DeviceCore*>& slots, size_t index) {
        core_ = std::move(core);
        slots_ = &slots;
        index_ = index;
    }

    MmResult PrepareHeader(WaveHeader& h) override {
        return WithCore([&](DeviceCore& c) { return c.Prepare(h); });
    }
    MmResult UnprepareHeader(WaveHeader& h) override {
        return WithCore([&](DeviceCore& c) { return c.Unprepare(h); });
    }
    MmResult Reset() override {
        return WithCore([](DeviceCore& c) {
            c.Reset(Clock::now());
            return MmNoError;
        });
    }

    MmResult Close() override {
        std::unique_lock lock(shared_->lock);
        if (!core_) {
            return MmInvalidHandle;
        }
        if (core_->Queued() > 0) {
            return WaveStillPlaying;
        }
        Shutdown(lock);
        return MmNoError;
    }

protected:
    template <typename Action>
    MmResult WithCore(Action action) {
        std::lock_guard guard(shared_->lock);
        if (!core_) {
            return MmInvalidHandle;
        }
        return action(*core_);
    }

private:
    // Takes the device out of the service, stops its thread and closes its sink. Entered with the
    // lock held; leaves it released.
    void Shutdown(std::unique_lock<std::mutex>& lock) {
        std::unique_ptr<DeviceCore> core = std::move(core_);
        (*slots_)[index_] = nullptr;
        core->StopTimer();
        lock.unlock();
        core->JoinTimer();
        if (OutputSink* sink = core->Sink()) {
            sink->Close();
        }
    }

    std::shared_ptr<VirtualDeviceShared> shared_;
    std::unique_ptr<DeviceCore> core_;  // null once closed
    std::vector<DeviceCore*>* slots_ = nullptr;
    size_t index_ = 0;
};

class VirtualWaveIn final : public VirtualDevice<WaveInDevice> {
public:
    using VirtualDevice::VirtualDevice;
    MmResult AddBuffer(WaveHeader& h) override {
        return WithCore([&](DeviceCore& c) { return c.Queue(h, Clock::now()); });
    }
    MmResult Start() override {
        return WithCore([](DeviceCore& c) {
            c.Run(Clock::now());
            return MmNoError;
        });
    }
};

class VirtualWaveOut final : public VirtualDevice<WaveOutDevice> {
public:
    using VirtualDevice::VirtualDevice;
    MmResult Write(WaveHeader& h) override {
        return WithCore([&](DeviceCore& c) { return c.Queue(h, Clock::now()); });
    }
    MmResult Pause() override {
        return WithCore([](DeviceCore& c) {
            c.Pause(Clock::now());
            return MmNoError;
        });
    }
    MmResult Restart() override {
        return WithCore([](DeviceCore& c) {
            c.Run(Clock::now());
            return MmNoError;
        });
    }
};

// The index of a device number, or nullopt for a number the service does not have.
std::optional<size_t> Resolve(int device, size_t count) {
    const long long index = device == WaveMapper ? 0 : device;
    if (index < 0 || static_cast<unsigned long long>(index) >= count) {
        return std::nullopt;
    }
    return static_cast<size_t>(index);
}

MmResult NameOf(const std::vector<VirtualDeviceSpec>& specs, int device, std::string& name) {
    const auto index = Resolve(device, specs.size());
    if (!index) {
        return MmBadDeviceId;
    }
    name = CutDeviceName(specs[*index].name);
    return MmNoError;
}

MmResult Query(const std::vector<VirtualDeviceSpec>& specs, int device, const WaveFormatEx& format,
               size_t* index) {
    const auto found = Resolve(device, specs.size());
    if (!found) {
        return MmBadDeviceId;
    }
    const auto& accepts = specs[*found].accepts;
    if (!(accepts ? accepts(format) : DefaultVirtualFormatRule(format))) {
        return WaveBadFormat;
    }
    *index = *found;
    return MmNoError;
}

DeviceCore* FirstOpen(const std::vector<DeviceCore*>& slots) {
    for (DeviceCore* core : slots) {
        if (core != nullptr) {
            return core;
        }
    }
    return nullptr;
}

// Opens one device of either direction; the two public Open calls differ only in their types.
template <typename Handle, typename Interface>
MmResult Open(const std::shared_ptr<VirtualDeviceShared>& shared, Direction direction, int device,
              const WaveFormatEx& format, MessageQueue& callback,
              std::unique_ptr<Interface>& opened) {
    const bool input = direction == Direction::Input;
    const VirtualDeviceConfig& config = shared->config;
    size_t index = 0;
    if (MmResult r = Query(input ? config.inputs : config.outputs, device, format, &index)) {
        return r;
    }
    std::vector<DeviceCore*>& slots = input ? shared->openInputs : shared->openOutputs;
    {
        std::lock_guard guard(shared->lock);
        if (slots[index] != nullptr) {
            return MmAllocated;
        }
    }
    // The factories run without the lock: they are the caller's code.
    std::unique_ptr<InputSource> source;
    std::unique_ptr<OutputSink> sink;
    if (input) {
        source = config.makeSource ? config.makeSource() : DefaultVirtualSource();
        if (!source) {
            return MmError;
        }
    } else {
        sink = config.makeSink ? config.makeSink() : MakeDiscardSink();
        if (!sink) {
            return MmError;
        }
        sink->Open(format);
    }
    OutputSink* const sinkToClose = sink.get();
    auto handle = std::make_unique<Handle>(shared);
    auto core =
        std::make_unique<DeviceCore>(*shared, direction, format, callback, handle->HandleId(),
                                     std::move(source), std::move(sink));
    {
        std::lock_guard guard(shared->lock);
        // Someone else may have opened the device while the factories ran.
        if (slots[index] == nullptr) {
            try {
                core->StartTimer();
            } catch (const std::system_error&) {
                if (sinkToClose != nullptr) {
                    sinkToClose->Close();
                }
                return MmNoMemory;
            }
            slots[index] = core.get();
            handle->Attach(std::move(core), slots, index);
            shared->changed.notify_all();
        }
    }
    if (core) {
        if (sinkToClose != nullptr) {
            sinkToClose->Close();
        }
        return MmAllocated;
    }
    opened = std::move(handle);
    return MmNoError;
}

}  // namespace

std::string CutDeviceName(const std::string& name) {
    if (name.size() <= MaxDeviceNameLength) {
        return name;
    }
    size_t length = MaxDeviceNameLength;
    // Back off over UTF-8 continuation bytes so the cut falls between characters.
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
        --length;
    }
    return name.substr(0, length);
}

VirtualDevices::VirtualDevices(VirtualDeviceConfig config)
    : shared_(std::make_shared<VirtualDeviceShared>(std::move(config))) {}

VirtualDevices::~VirtualDevices() = default;

unsigned VirtualDevices::InputDeviceCount() const {
    return static_cast<unsigned>(shared_->config.inputs.size());
}

unsigned VirtualDevices::OutputDeviceCount() const {
    return static_cast<unsigned>(shared_->config.outputs.size());
}

MmResult VirtualDevices::InputDeviceName(int device, std::string& name) const {
    return NameOf(shared_->config.inputs, device, name);
}

MmResult VirtualDevices::OutputDeviceName(int device, std::string& name) const {
    return NameOf(shared_->config.outputs, device, name);
}

MmResult VirtualDevices::QueryInputFormat(int device, const WaveFormatEx& format) const {
    size_t index = 0;
    return Query(shared_->config.inputs, device, format, &index);
}

MmResult VirtualDevices::QueryOutputFormat(int device, const WaveFormatEx& format) const {
    size_t index = 0;
    return Query(shared_->config.outputs, device, format, &index);
}

MmResult VirtualDevices::OpenInput(int device, const WaveFormatEx& format, MessageQueue& callback,
                                   std::unique_ptr<WaveInDevice>& opened) {
    return Open<VirtualWaveIn>(shared_, Direction::Input, device, format, callback, opened);
}

MmResult VirtualDevices::OpenOutput(int device, const WaveFormatEx& format, MessageQueue& callback,
                                    std::unique_ptr<WaveOutDevice>& opened) {
    return Open<VirtualWaveOut>(shared_, Direction::Output, device, format, callback, opened);
}

size_t VirtualDevices::CompleteInputBuffers(size_t n) {
    std::lock_guard guard(shared_->lock);
    DeviceCore* core = FirstOpen(shared_->openInputs);
    return core != nullptr ? core->CompleteManual(n) : 0;
}

size_t VirtualDevices::CompleteOutputBuffers(size_t n) {
    std::lock_guard guard(shared_->lock);
    DeviceCore* core = FirstOpen(shared_->openOutputs);
    return core != nullptr ? core->CompleteManual(n) : 0;
}

size_t VirtualDevices::QueuedInputBuffers() const {
    std::lock_guard guard(shared_->lock);
    DeviceCore* core = FirstOpen(shared_->openInputs);
    return core != nullptr ? core->Queued() : 0;
}

size_t VirtualDevices::QueuedOutputBuffers() const {
    std::lock_guard guard(shared_->lock);
    DeviceCore* core = FirstOpen(shared_->openOutputs);
    return core != nullptr ? core->Queued() : 0;
}

bool VirtualDevices::WaitForQueuedInputBuffers(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->lock);
    return shared_->changed.wait_for(lock, timeout, [&] {
        DeviceCore* core = FirstOpen(shared_->openInputs);
        return core != nullptr && core->Queued() >= n;
    });
}

bool VirtualDevices::WaitForQueuedOutputBuffers(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->lock);
    return shared_->changed.wait_for(lock, timeout, [&] {
        DeviceCore* core = FirstOpen(shared_->openOutputs);
        return core != nullptr && core->Queued() >= n;
    });
}

bool VirtualDevices::WaitForOutputRunning(bool running, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->lock);
    return shared_->changed.wait_for(lock, timeout, [&] {
        DeviceCore* core = FirstOpen(shared_->openOutputs);
        return core != nullptr && core->Running() == running;
    });
}

}  // namespace kora486
