#pragma once

#include <cstdint>

namespace kora486 {

/// The descriptor of one RIFF chunk of an open file, as the multimedia file service keeps it.
struct ChunkInfo {
    uint32_t id = 0;          ///< four-character code, first character in the low byte
    uint32_t size = 0;        ///< bytes of chunk data, pad byte not counted
    uint32_t formType = 0;    ///< form or list type of RIFF and LIST chunks
    uint32_t dataOffset = 0;  ///< absolute offset of the chunk's data in the file
    uint32_t flags = 0;       ///< ChunkDirty when the size must be rewritten on leaving the chunk
};

/// The chunk's data was written to, so its size is rewritten when the chunk is left.
inline constexpr uint32_t ChunkDirty = 0x10000000;

}  // namespace kora486
