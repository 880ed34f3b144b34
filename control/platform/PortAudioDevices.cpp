#include "platform/PortAudioDevices.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/SpscRing.h"
#include "platform/VirtualDevices.h"

namespace kora486 {

namespace {

// ALSA and JACK report every device they probe and fail to open on stderr. The control writes no
// log, and a host's terminal should not fill with their chatter either.
void SilentAlsa(const char*, int, const char*, int, const char*, ...) {}
void SilentJack(const char*) {}

void QuietSoundLibraries() {
    snd_lib_error_set_handler(SilentAlsa);
    // libjack comes in with PortAudio's JACK host API; it is looked up rather than linked, as
    // nothing else of JACK is used.
    using JackPrint = void (*)(const char*);
    for (const char* setter : {"jack_set_error_function", "jack_set_info_function"}) {
        if (void* symbol = dlsym(RTLD_DEFAULT, setter)) {
            reinterpret_cast<void (*)(JackPrint)>(symbol)(SilentJack);
        }
    }
}

}  // namespace

// PortAudio for as long as any service or device lives: initialised by the first holder in the
// process, terminated after the last (SharedSession). PortAudio's calls are not safe to make from
// several threads at once, so every one outside the callback is made under `calls`.
class PortAudioSession {
public:
    PortAudioSession() {
        QuietSoundLibraries();
        const PaError result = Pa_Initialize();
        started_ = result == paNoError;
        if (!started_) {
            error_ = Pa_GetErrorText(result);
        }
    }
    ~PortAudioSession() {
        if (started_) {
            Pa_Terminate();
        }
    }
    PortAudioSession(const PortAudioSession&) = delete;
    PortAudioSession& operator=(const PortAudioSession&) = delete;

    bool Started() const { return started_; }
    const std::string& Error() const { return error_; }

    std::mutex calls;

private:
    bool started_ = false;
    std::string error_;
};

// One service's overrun and underrun totals, counted by its devices' callbacks.
struct PortAudioTotals {
    std::atomic<uint64_t> inputOverruns{0};
    std::atomic<uint64_t> outputUnderruns{0};
};

namespace {

std::shared_ptr<PortAudioSession> SharedSession() {
    static std::mutex lock;
    static std::weak_ptr<PortAudioSession> current;
    std::lock_guard guard(lock);
    std::shared_ptr<PortAudioSession> session = current.lock();
    if (!session) {
        session = std::make_shared<PortAudioSession>();
        current = session;
    }
    return session;
}

enum class Direction { Input, Output };

MmResult FromPaError(PaError error) {
    switch (error) {
        case paNoError:
            return MmNoError;
        case paInvalidChannelCount:
        case paInvalidSampleRate:
        case paSampleFormatNotSupported:
        case paBadIODeviceCombination:
            return WaveBadFormat;
        case paInvalidDevice:
            return MmBadDeviceId;
        case paDeviceUnavailable:
            return MmAllocated;
        case paInsufficientMemory:
            return MmNoMemory;
        default:
            return MmError;
    }
}

// The engine moves 8-bit unsigned and 16-bit signed PCM, which PortAudio calls paUInt8 and
// paInt16; anything else is refused before PortAudio is asked.
bool IsMovablePcm(const WaveFormatEx& f) {
    return f.formatTag == WaveFormatPcm && (f.bitsPerSample == 8 || f.bitsPerSample == 16) &&
           f.channels > 0 && f.samplesPerSec > 0 &&
           f.blockAlign == f.channels * (f.bitsPerSample / 8);
}

PaStreamParameters ParametersFor(int index, double latency, const WaveFormatEx& f) {
    PaStreamParameters p{};
    p.device = index;
    p.channelCount = f.channels;
    p.sampleFormat = f.bitsPerSample == 8 ? paUInt8 : paInt16;
    p.suggestedLatency = latency;
    p.hostApiSpecificStreamInfo = nullptr;
    return p;
}

// Room for the host to be late: the engine's ten buffers hold a second, but a device buffer
// shorter than a scheduler slice on a busy machine would still break up.
constexpr double MinimumLatency = 0.05;

// The state of one open device. The engine's side (every member but Capture, Play and the
// service thread's loop) runs under lock_; the callback takes no lock.
//
// Where a header is: queued by the engine into pending_, taken by the callback as current_,
// handed when full (or played) to done_, and posted by the service thread. A reset first stops
// the stream, after which this thread is the only one touching the rings and current_, and posts
// done_, current_ and pending_ in that order, which is queue order.
class StreamCore {
public:
    StreamCore(std::shared_ptr<PortAudioSession> session, std::shared_ptr<PortAudioTotals> totals,
               Direction direction, const WaveFormatEx& format, MessageQueue& callback,
               uintptr_t handle)
        : session_(std::move(session)),
          totals_(std::move(totals)),
          direction_(direction),
          format_(format),
          callback_(callback),
          handle_(handle),
          silence_(format.bitsPerSample == 8 ? 0x80 : 0) {
        sem_init(&wake_, 0, 0);
    }

    ~StreamCore() {
        {
            std::lock_guard guard(lock_);
            if (open_) {
                ResetLocked();
                ShutdownLocked();
            }
        }
        JoinService();
        sem_destroy(&wake_);
    }

    StreamCore(const StreamCore&) = delete;
    StreamCore& operator=(const StreamCore&) = delete;

    MmResult Open(int index, double latency) {
        const PaStreamParameters p = ParametersFor(index, latency, format_);
        const bool input = direction_ == Direction::Input;
        PaError result;
        {
            std::lock_guard calls(session_->calls);
            result = Pa_OpenStream(&stream_, input ? &p : nullptr, input ? nullptr : &p,
                                   format_.samplesPerSec, paFramesPerBufferUnspecified,
                                   paClipOff | paDitherOff, &StreamCore::OnAudio, this);
        }
        if (result != paNoError) {
            stream_ = nullptr;
            return FromPaError(result);
        }
        try {
            service_ = std::thread([this] { ServiceLoop(); });
        } catch (const std::system_error&) {
            CloseStream();
            return MmNoMemory;
        }
        std::lock_guard guard(lock_);
        open_ = true;
        // An output plays (silence, until something is written) from the moment it opens.
        if (!input && !StartStreamLocked()) {
            ShutdownLocked();
            return MmError;
        }
        return MmNoError;
    }

    MmResult Prepare(WaveHeader& h) {
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
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
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
        if ((h.flags & WhdrInQueue) != 0) {
            return WaveStillPlaying;
        }
        h.flags &= ~WhdrPrepared;
        return MmNoError;
    }

    MmResult Queue(WaveHeader& h) {
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
        if ((h.flags & WhdrPrepared) == 0) {
            return WaveUnprepared;
        }
        if ((h.flags & WhdrInQueue) != 0) {
            return WaveStillPlaying;
        }
        if (h.data == nullptr || h.bufferLength == 0) {
            return MmInvalidParameter;
        }
        if (queued_ >= PortAudioDevices::MaxQueuedBuffers) {
            return MmNoMemory;
        }
        // A reset output runs again with its next buffer; the stream starts before the header
        // is queued, so a failed start leaves nothing queued that could never come back.
        if (direction_ == Direction::Output && !streaming_ &&
            !paused_.load(std::memory_order_relaxed) && !StartStreamLocked()) {
            return MmError;
        }
        h.flags = (h.flags & ~WhdrDone) | WhdrInQueue;
        if (direction_ == Direction::Input) {
            h.bytesRecorded = 0;
        }
        ++queued_;
        pending_.Push(&h);  // never full: queued_ bounds every ring
        return MmNoError;
    }

    // Input Start.
    MmResult Start() {
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
        return streaming_ || StartStreamLocked() ? MmNoError : MmError;
    }

    MmResult Pause() {
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
        paused_.store(true, std::memory_order_release);
        return MmNoError;
    }

    MmResult Restart() {
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
        paused_.store(false, std::memory_order_release);
        return streaming_ || StartStreamLocked() ? MmNoError : MmError;
    }

    MmResult Reset() {
        std::lock_guard guard(lock_);
        if (!open_) {
            return MmInvalidHandle;
        }
        ResetLocked();
        return MmNoError;
    }

    MmResult Close() {
        {
            std::lock_guard guard(lock_);
            if (!open_) {
                return MmInvalidHandle;
            }
            if (queued_ > 0) {
                return WaveStillPlaying;
            }
            ShutdownLocked();
        }
        JoinService();
        return MmNoError;
    }

    uint64_t Xruns() const { return xruns_.load(std::memory_order_relaxed); }

private:
    static int OnAudio(const void* input, void* output, unsigned long frames,
                       const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags flags,
                       void* self) {
        auto* core = static_cast<StreamCore*>(self);
        if (core->direction_ == Direction::Input) {
            core->Capture(static_cast<const uint8_t*>(input), frames, flags);
        } else {
            // A host that gives no usable time (none, in the past, or seconds ahead) has its
            // buffers done when they are copied.
            PaTime dacTime = 0;
            if (time != nullptr && time->currentTime > 0) {
                const PaTime ahead = time->outputBufferDacTime - time->currentTime;
                if (ahead >= 0 && ahead < 2.0) {
                    dacTime = time->outputBufferDacTime;
                }
            }
            core->Play(static_cast<uint8_t*>(output), frames, flags, dacTime);
        }
        return paContinue;
    }

    // Callback only: copies the captured frames into the queued headers.
    void Capture(const uint8_t* in, unsigned long frames, PaStreamCallbackFlags flags) {
        if ((flags & paInputOverflow) != 0) {
            CountXrun();
        }
        size_t bytes = frames * format_.blockAlign;
        bool handed = false;
        while (bytes > 0) {
            WaveHeader* h = TakeCurrent();
            if (h == nullptr) {
                // Nobody gave a buffer to capture into: this sound is lost.
                CountXrun();
                break;
            }
            uint32_t filled = filled_.load(std::memory_order_relaxed);
            const size_t n = std::min<size_t>(bytes, h->bufferLength - filled);
            if (in != nullptr) {
                std::memcpy(h->data + filled, in, n);
                in += n;
            } else {
                std::memset(h->data + filled, silence_, n);
            }
            bytes -= n;
            filled += static_cast<uint32_t>(n);
            filled_.store(filled, std::memory_order_relaxed);
            if (filled == h->bufferLength) {
                h->bytesRecorded = filled;
                HandOver(h, 0);
                handed = true;
            }
        }
        if (handed) {
            sem_post(&wake_);
        }
    }

    // Callback only: plays the queued headers, or silence while paused or out of buffers.
    // dacTime is when the first frame of `out` will be heard, in stream time (0: unknown).
    void Play(uint8_t* out, unsigned long frames, PaStreamCallbackFlags flags, PaTime dacTime) {
        if ((flags & paOutputUnderflow) != 0) {
            CountXrun();
        }
        const uint8_t* const start = out;
        size_t bytes = frames * format_.blockAlign;
        if (paused_.load(std::memory_order_acquire)) {
            std::memset(out, silence_, bytes);
            return;
        }
        bool handed = false;
        while (bytes > 0) {
            const bool hadCurrent = current_.load(std::memory_order_relaxed) != nullptr;
            WaveHeader* h = TakeCurrent();
            if (h == nullptr) {
                std::memset(out, silence_, bytes);
                if (played_.load(std::memory_order_relaxed)) {
                    starved_.store(true, std::memory_order_relaxed);
                }
                break;
            }
            if (!hadCurrent && starved_.exchange(false, std::memory_order_relaxed)) {
                // Silence went out between two buffers.
                CountXrun();
            }
            uint32_t filled = filled_.load(std::memory_order_relaxed);
            const size_t n = std::min<size_t>(bytes, h->bufferLength - filled);
            std::memcpy(out, h->data + filled, n);
            out += n;
            bytes -= n;
            filled += static_cast<uint32_t>(n);
            filled_.store(filled, std::memory_order_relaxed);
            if (filled == h->bufferLength) {
                // The buffer is done when its last frame is heard, not when it is copied: a
                // device closed on the last message must not cut off what is still on its way.
                const auto framesBefore = static_cast<double>(out - start) / format_.blockAlign;
                HandOver(h, dacTime > 0 ? dacTime + framesBefore / format_.samplesPerSec : 0);
                played_.store(true, std::memory_order_relaxed);
                handed = true;
            }
        }
        if (handed) {
            sem_post(&wake_);
        }
    }

    // Callback only: the header being filled or played, taking the next queued one if needed.
    WaveHeader* TakeCurrent() {
        WaveHeader* h = current_.load(std::memory_order_relaxed);
        if (h == nullptr) {
            if (auto next = pending_.Pop()) {
                h = *next;
                current_.store(h, std::memory_order_relaxed);
                filled_.store(0, std::memory_order_relaxed);
            }
        }
        return h;
    }

    void HandOver(WaveHeader* h, PaTime due) {
        done_.Push({h, due});  // never full: queued_ bounds every ring
        current_.store(nullptr, std::memory_order_relaxed);
        filled_.store(0, std::memory_order_relaxed);
    }

    void CountXrun() {
        xruns_.fetch_add(1, std::memory_order_relaxed);
        (direction_ == Direction::Input ? totals_->inputOverruns : totals_->outputUnderruns)
            .fetch_add(1, std::memory_order_relaxed);
    }

    // Posts the buffer-done messages the callback handed over, each output buffer once it has
    // been heard. MessageQueue::Post takes a lock and may allocate, which is why the callback
    // does not post itself.
    void ServiceLoop() {
        double wait = -1;  // seconds until the oldest handed-over buffer is due; -1: none waits
        for (;;) {
            if (wait < 0) {
                while (sem_wait(&wake_) != 0 && errno == EINTR) {
                }
            } else {
                timespec deadline{};
                clock_gettime(CLOCK_REALTIME, &deadline);
                const auto ns = static_cast<long>(std::min(wait, 0.1) * 1e9);
                deadline.tv_nsec += ns;
                deadline.tv_sec += deadline.tv_nsec / 1'000'000'000;
                deadline.tv_nsec %= 1'000'000'000;
                sem_timedwait(&wake_, &deadline);
            }
            if (quit_.load(std::memory_order_acquire)) {
                return;
            }
            std::lock_guard guard(lock_);
            wait = PostDueLocked();
        }
    }

    // Posts the handed-over buffers that are due, in order; answers the seconds until the next
    // one is, or -1 when none is left.
    double PostDueLocked() {
        while (const Done* next = done_.Peek()) {
            if (next->due > 0 && streaming_) {
                const double left = next->due - Pa_GetStreamTime(stream_);
                if (left > 0) {
                    return left;
                }
            }
            PostDone(*done_.Pop()->header);
        }
        return -1;
    }

    // From here the header belongs to the engine again.
    void PostDone(WaveHeader& h) {
        h.flags = (h.flags | WhdrDone) & ~WhdrInQueue;
        --queued_;
        callback_.Post(direction_ == Direction::Input ? MmWimData : MmWomDone, handle_,
                       reinterpret_cast<intptr_t>(&h));
    }

    void ResetLocked() {
        StopStreamLocked();
        // The callback has stopped: this thread owns the rings' consumer sides and current_.
        while (auto done = done_.Pop()) {
            PostDone(*done->header);
        }
        if (WaveHeader* h = current_.load(std::memory_order_relaxed)) {
            if (direction_ == Direction::Input) {
                h->bytesRecorded = filled_.load(std::memory_order_relaxed);
            }
            current_.store(nullptr, std::memory_order_relaxed);
            filled_.store(0, std::memory_order_relaxed);
            PostDone(*h);
        }
        while (auto h = pending_.Pop()) {
            if (direction_ == Direction::Input) {
                (*h)->bytesRecorded = 0;
            }
            PostDone(**h);
        }
        played_.store(false, std::memory_order_relaxed);
        starved_.store(false, std::memory_order_relaxed);
        // A reset input waits for Start; a reset output is running, not paused, and sounds again
        // with the next buffer written.
        paused_.store(false, std::memory_order_release);
    }

    bool StartStreamLocked() {
        std::lock_guard calls(session_->calls);
        streaming_ = Pa_StartStream(stream_) == paNoError;
        return streaming_;
    }

    // Abort, not stop: a reset returns the buffers now rather than after they drain, and a close
    // comes after every buffer has been heard.
    void StopStreamLocked() {
        if (streaming_) {
            std::lock_guard calls(session_->calls);
            Pa_AbortStream(stream_);
            streaming_ = false;
        }
    }

    void CloseStream() {
        std::lock_guard calls(session_->calls);
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }

    // Stops and closes the stream and tells the service thread to end; JoinService waits for it
    // without the lock, which the thread may be waiting on.
    void ShutdownLocked() {
        StopStreamLocked();
        CloseStream();
        open_ = false;
        quit_.store(true, std::memory_order_release);
        sem_post(&wake_);
    }

    void JoinService() {
        if (service_.joinable()) {
            service_.join();
        }
    }

    const std::shared_ptr<PortAudioSession> session_;
    const std::shared_ptr<PortAudioTotals> totals_;
    const Direction direction_;
    const WaveFormatEx format_;
    MessageQueue& callback_;
    const uintptr_t handle_;
    const uint8_t silence_;

    // The engine's side; guarded by lock_.
    std::mutex lock_;
    PaStream* stream_ = nullptr;
    bool open_ = false;
    bool streaming_ = false;
    size_t queued_ = 0;  // headers queued and not yet posted back

    SpscRing<WaveHeader*, PortAudioDevices::MaxQueuedBuffers> pending_;  // engine -> callback
    struct Done {
        WaveHeader* header;
        PaTime due;  // stream time its last frame is heard; 0: at once
    };
    SpscRing<Done, PortAudioDevices::MaxQueuedBuffers> done_;  // callback -> poster
    // The callback's own; read by a reset once the stream has stopped.
    std::atomic<WaveHeader*> current_{nullptr};
    std::atomic<uint32_t> filled_{0};  // bytes of current_ captured or played
    std::atomic<bool> played_{false};
    std::atomic<bool> starved_{false};
    std::atomic<bool> paused_{false};
    std::atomic<uint64_t> xruns_{0};

    sem_t wake_;  // posted by the callback, which must not block; counts, so no wake-up is lost
    std::atomic<bool> quit_{false};
    std::thread service_;
};

class PaWaveIn final : public PortAudioWaveIn {
public:
    std::unique_ptr<StreamCore> core;

    uintptr_t HandleId() const {
        return reinterpret_cast<uintptr_t>(static_cast<const WaveInDevice*>(this));
    }
    MmResult PrepareHeader(WaveHeader& h) override { return core->Prepare(h); }
    MmResult UnprepareHeader(WaveHeader& h) override { return core->Unprepare(h); }
    MmResult AddBuffer(WaveHeader& h) override { return core->Queue(h); }
    MmResult Start() override { return core->Start(); }
    MmResult Reset() override { return core->Reset(); }
    MmResult Close() override { return core->Close(); }
    uint64_t Overruns() const override { return core->Xruns(); }
};

class PaWaveOut final : public PortAudioWaveOut {
public:
    std::unique_ptr<StreamCore> core;

    uintptr_t HandleId() const {
        return reinterpret_cast<uintptr_t>(static_cast<const WaveOutDevice*>(this));
    }
    MmResult PrepareHeader(WaveHeader& h) override { return core->Prepare(h); }
    MmResult UnprepareHeader(WaveHeader& h) override { return core->Unprepare(h); }
    MmResult Write(WaveHeader& h) override { return core->Queue(h); }
    MmResult Pause() override { return core->Pause(); }
    MmResult Restart() override { return core->Restart(); }
    MmResult Reset() override { return core->Reset(); }
    MmResult Close() override { return core->Close(); }
    uint64_t Underruns() const override { return core->Xruns(); }
};

}  // namespace

PortAudioDevices::PortAudioDevices()
    : session_(SharedSession()), totals_(std::make_shared<PortAudioTotals>()) {
    if (!session_->Started()) {
        return;
    }
    std::lock_guard calls(session_->calls);
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex defaultInput = Pa_GetDefaultInputDevice();
    const PaDeviceIndex defaultOutput = Pa_GetDefaultOutputDevice();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr) {
            continue;
        }
        const std::string name = CutDeviceName(info->name != nullptr ? info->name : "");
        if (info->maxInputChannels > 0) {
            if (i == defaultInput) {
                defaultInput_ = static_cast<int>(inputs_.size());
            }
            inputs_.push_back({i, name, std::max(info->defaultHighInputLatency, MinimumLatency)});
        }
        if (info->maxOutputChannels > 0) {
            if (i == defaultOutput) {
                defaultOutput_ = static_cast<int>(outputs_.size());
            }
            outputs_.push_back({i, name, std::max(info->defaultHighOutputLatency, MinimumLatency)});
        }
    }
}

PortAudioDevices::~PortAudioDevices() = default;

const PortAudioDevices::Entry* PortAudioDevices::Resolve(bool input, int device) const {
    const std::vector<Entry>& entries = input ? inputs_ : outputs_;
    if (device == WaveMapper) {
        device = input ? defaultInput_ : defaultOutput_;
    }
    if (device < 0 || static_cast<size_t>(device) >= entries.size()) {
        return nullptr;
    }
    return &entries[static_cast<size_t>(device)];
}

unsigned PortAudioDevices::InputDeviceCount() const {
    return static_cast<unsigned>(inputs_.size());
}

unsigned PortAudioDevices::OutputDeviceCount() const {
    return static_cast<unsigned>(outputs_.size());
}

MmResult PortAudioDevices::InputDeviceName(int device, std::string& name) const {
    const Entry* entry = Resolve(true, device);
    if (entry == nullptr) {
        return MmBadDeviceId;
    }
    name = entry->name;
    return MmNoError;
}

MmResult PortAudioDevices::OutputDeviceName(int device, std::string& name) const {
    const Entry* entry = Resolve(false, device);
    if (entry == nullptr) {
        return MmBadDeviceId;
    }
    name = entry->name;
    return MmNoError;
}

namespace {

MmResult QueryFormat(PortAudioSession& session, bool input, int index, double latency,
                     const WaveFormatEx& format) {
    if (!IsMovablePcm(format)) {
        return WaveBadFormat;
    }
    const PaStreamParameters p = ParametersFor(index, latency, format);
    std::lock_guard calls(session.calls);
    const PaError result =
        Pa_IsFormatSupported(input ? &p : nullptr, input ? nullptr : &p, format.samplesPerSec);
    return result == paFormatIsSupported ? MmNoError : FromPaError(result);
}

}  // namespace

MmResult PortAudioDevices::QueryInputFormat(int device, const WaveFormatEx& format) const {
    const Entry* entry = Resolve(true, device);
    if (entry == nullptr) {
        return MmBadDeviceId;
    }
    return QueryFormat(*session_, true, entry->index, entry->latency, format);
}

MmResult PortAudioDevices::QueryOutputFormat(int device, const WaveFormatEx& format) const {
    const Entry* entry = Resolve(false, device);
    if (entry == nullptr) {
        return MmBadDeviceId;
    }
    return QueryFormat(*session_, false, entry->index, entry->latency, format);
}

MmResult PortAudioDevices::OpenInput(int device, const WaveFormatEx& format, MessageQueue& callback,
                                     std::unique_ptr<WaveInDevice>& opened) {
    const Entry* entry = Resolve(true, device);
    if (entry == nullptr) {
        return MmBadDeviceId;
    }
    if (!IsMovablePcm(format)) {
        return WaveBadFormat;
    }
    auto handle = std::make_unique<PaWaveIn>();
    handle->core = std::make_unique<StreamCore>(session_, totals_, Direction::Input, format,
                                                callback, handle->HandleId());
    if (const MmResult result = handle->core->Open(entry->index, entry->latency)) {
        return result;
    }
    opened = std::move(handle);
    return MmNoError;
}

MmResult PortAudioDevices::OpenOutput(int device, const WaveFormatEx& format,
                                      MessageQueue& callback,
                                      std::unique_ptr<WaveOutDevice>& opened) {
    const Entry* entry = Resolve(false, device);
    if (entry == nullptr) {
        return MmBadDeviceId;
    }
    if (!IsMovablePcm(format)) {
        return WaveBadFormat;
    }
    auto handle = std::make_unique<PaWaveOut>();
    handle->core = std::make_unique<StreamCore>(session_, totals_, Direction::Output, format,
                                                callback, handle->HandleId());
    if (const MmResult result = handle->core->Open(entry->index, entry->latency)) {
        return result;
    }
    opened = std::move(handle);
    return MmNoError;
}

const std::string& PortAudioDevices::StartError() const {
    return session_->Error();
}

uint64_t PortAudioDevices::InputOverruns() const {
    return totals_->inputOverruns.load(std::memory_order_relaxed);
}

uint64_t PortAudioDevices::OutputUnderruns() const {
    return totals_->outputUnderruns.load(std::memory_order_relaxed);
}

}  // namespace kora486
