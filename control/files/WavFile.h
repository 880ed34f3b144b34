#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/ControlCodes.h"
#include "engine/RecorderState.h"
#include "files/MmioFile.h"

namespace kora486 {

// The layout of the control's WAV files and the moments their sizes are brought up to date.
// Host thread only, and only while no recording or playback runs.

/// Writes the header of a new WAV file: RIFF "WAVE", "fmt " with the format record, "fact" for
/// every format but PCM, and an empty "data" chunk the file is left inside. Fills the chunk
/// descriptors and HasFactChunk. ErrFileWrite when a step fails or writes short.
ErrorCode WriteWavHeader(MmioFile& file, RecorderState& state,
                         std::span<const uint8_t> formatRecord);

/// What an existing WAV file says about itself.
struct WavHeader {
    std::vector<uint8_t> formatBody;  ///< the whole "fmt " body
    bool hasFact = false;
    uint32_t factValue = 0;
};

/// Finds RIFF "WAVE", its "fmt ", an optional "fact" before "data", and "data", filling the
/// chunk descriptors and HasFactChunk. The data chunk never claims more bytes than the file
/// holds. ErrNotWave when the structure is not there.
ErrorCode ReadWavHeader(MmioFile& file, RecorderState& state, WavHeader& header);

/// The format of a PCM, A-law or µ-law body: fills WaveFormat and NumSamples (from the fact
/// value when there is one, never past the frames present). ErrFormatUnusable for a rate the
/// system does not know or a block align of 0.
ErrorCode AcceptUncompressedFormat(const WavHeader& header, RecorderState& state);

/// True when a compressed body holds the 18 + cbSize bytes its record claims.
bool IsCompleteFormatBody(std::span<const uint8_t> body);

/// Byte offset inside the data of a frame position of the open file.
int64_t DataBytesOfFrames(const RecorderState& state, int64_t frames);

/// After a recording: ends the data chunk at frame NumSamples and the RIFF chunk after it, finds
/// both again so they hold the new sizes, and leaves the file at CurrentSamplePosition. A
/// data-only file's size becomes the end of its data. Failing steps are passed over. The file
/// is flushed, so that what is on disk is a whole file.
void FinishRecordingFile(MmioFile& file, RecorderState& state, bool dataOnly);

/// Before a WAV file is closed: ends the data chunk at frame NumSamples, writes the fact value
/// unless the file is play-only, and ends the RIFF chunk. Failing steps are passed over.
void FixUpWavFileForClose(MmioFile& file, RecorderState& state, bool playOnly);

}  // namespace kora486
