#pragma once

#include <cstdint>
#include <string>

#include "files/ChunkInfo.h"
#include "files/MmioFile.h"

namespace kora486 {

/// A four-character code as RIFF stores it: the first character in the low byte.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
    return uint32_t{static_cast<uint8_t>(a)} | uint32_t{static_cast<uint8_t>(b)} << 8 |
           uint32_t{static_cast<uint8_t>(c)} << 16 | uint32_t{static_cast<uint8_t>(d)} << 24;
}

/// FourCC("fmt ") from a four-character string literal.
constexpr uint32_t FourCC(const char (&code)[5]) {
    return FourCC(code[0], code[1], code[2], code[3]);
}

/// The four characters of a code, for messages.
std::string FourCCText(uint32_t code);

inline constexpr uint32_t RiffId = FourCC('R', 'I', 'F', 'F');
inline constexpr uint32_t ListId = FourCC('L', 'I', 'S', 'T');

/// What DescendChunk looks for.
enum class ChunkSearch {
    Next,        ///< the next chunk, whatever its id
    ById,        ///< the next chunk with id chunk.id
    RiffByForm,  ///< the next RIFF chunk of form type chunk.formType
    ListByForm,  ///< the next LIST chunk of list type chunk.formType
};

/// Starts a chunk at the current position: writes the id, a size of 0 and, for RIFF and LIST
/// chunks, the form type from chunk.formType.
///
/// @param riffOrList true for a RIFF chunk, or a LIST chunk when chunk.id is already ListId
///        (the id is set accordingly); false for a plain chunk with id chunk.id.
/// @return 0, with chunk.size 0, chunk.dataOffset the position after the size field (for RIFF
///         and LIST chunks the form type is the first data word, as in the file) and chunk.flags
///         ChunkDirty; or -1 when the header could not be written or its data offset does not
///         fit 32 bits (then nothing is written and chunk is unchanged).
int CreateChunk(MmioFile& file, ChunkInfo& chunk, bool riffOrList);

/// Finds a chunk from the current position and enters it.
///
/// Reads chunk headers, skipping whole chunks with their pad bytes, until one matches search.
/// Only headers that lie wholly before the end of parent (parent->dataOffset + parent->size) are
/// looked at, or before the end of the file when parent is null; a parent whose size is smaller
/// than its content therefore hides the chunks past its size. A RIFF or LIST chunk too small to
/// hold its form type never matches. Chunk sizes are added in 64 bits, so no size wraps a search
/// back into the file.
///
/// @return 0, with chunk's id, size, formType (0 for plain chunks) and dataOffset filled, flags
///         cleared, and the position at the chunk's first data byte (for RIFF and LIST chunks,
///         just past the form type); or -1 when no such chunk is found (a header that does not
///         fit, a read or seek failure, the end of parent or file reached). On -1, chunk is
///         unchanged and the position is wherever the search stopped.
int DescendChunk(MmioFile& file, ChunkInfo& chunk, const ChunkInfo* parent, ChunkSearch search);

/// Leaves a chunk: positions the file just past the chunk and its pad byte.
///
/// A chunk marked ChunkDirty first gets its size brought up to date: the size is the current
/// position minus chunk.dataOffset; when it is odd a zero pad byte is written at the position;
/// the size is written into the header (at dataOffset - 4), and the mark is cleared. A chunk not
/// marked is left without writing anything.
///
/// @return 0, or -1 when a seek or write failed, or when the dirty size is negative, does not
///         fit 32 bits, or there is no header before the data (dataOffset below 8); in these
///         cases nothing is written and chunk is unchanged.
int AscendChunk(MmioFile& file, ChunkInfo& chunk);

}  // namespace kora486
