#pragma once

#include <cstdint>

namespace kora486 {

/// The control's state as the host sees it.
enum StatusCode : int16_t {
    StatusNotInitialised = 0,
    StatusReady = 1,
    StatusFileOpen = 2,
    StatusRecording = 3,
    StatusPlaying = 4,
};

/// The one vocabulary of method results, LastError and the stop events.
enum ErrorCode : int16_t {
    ErrNone = 0,
    ErrDeviceFormat = 1,
    ErrFileOpen = 2,
    ErrFileWrite = 3,
    ErrNotWave = 4,
    ErrFormatUnusable = 5,
    ErrNoEngine = 6,
    ErrWrongState = 7,
    ErrRecordWrite = 8,
    ErrRecordStart = 9,
    ErrPlayStart = 10,
    ErrPlayRead = 11,
    ErrOperationFailed = 12,
    ErrRecordLimit = 13,
    ErrNoAcm = 14,
    ErrChooserCancelled = 15,
    ErrFormatText = 16,
    ErrNoAcmFormat = 17,
    ErrPlayOnly = 18,
};

}  // namespace kora486
