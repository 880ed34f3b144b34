#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/WaveFormatEx.h"

namespace kora486 {

/// Where a virtual output device's played sound goes.
///
/// The device calls Open when it is opened, Consume with each played buffer in play order, and
/// Close when it is closed, from whichever thread is driving it and never from two threads at once.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual void Open(const WaveFormatEx& format) = 0;
    virtual void Consume(const uint8_t* data, uint32_t bytes) = 0;
    virtual void Close() = 0;
    /// The first thing that went wrong, for sinks that can fail (the WAV file sink); nullopt while
    /// all is well.
    virtual std::optional<std::string> Failure() const { return std::nullopt; }
};

/// Everything a memory sink was given, kept for a test to look at. Any thread may call any member.
class MemoryRecording {
public:
    /// The format of the latest Open; a zeroed record before the first one.
    WaveFormatEx Format() const;
    /// A copy of every byte played since creation or the last Clear, in play order, across opens.
    std::vector<uint8_t> Bytes() const;
    size_t Size() const;
    /// True between the sink's Open and its Close.
    bool IsOpen() const;
    void Clear();

    /// Called by the memory sink.
    void Open(const WaveFormatEx& format);
    void Append(const uint8_t* data, uint32_t bytes);
    void Close();

private:
    mutable std::mutex lock_;
    WaveFormatEx format_;
    std::vector<uint8_t> bytes_;
    bool open_ = false;
};

/// Throws the sound away.
std::unique_ptr<OutputSink> MakeDiscardSink();

/// Appends the sound to `into`, which must not be null.
std::unique_ptr<OutputSink> MakeMemorySink(std::shared_ptr<MemoryRecording> into);

/// Writes the sound to a PCM WAV file at path, created (or replaced) at Open; the sizes in its
/// header are written at Close. The first failure to create or write stops the writing for good
/// and is reported by Failure(); the data chunk stops short of 4 GiB.
std::unique_ptr<OutputSink> MakeWavFileSink(const std::string& path);

}  // namespace kora486
