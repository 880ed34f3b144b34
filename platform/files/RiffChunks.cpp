#include "files/RiffChunks.h"

#include "files/LittleEndian.h"

#include <limits>

namespace kora486 {

namespace {

constexpr int64_t HeaderSize = 8;
constexpr int64_t FormTypeSize = 4;

// RIFF chunks are padded to an even length; the pad byte is not counted in the size.
int64_t PaddedEnd(int64_t dataOffset, uint32_t size) {
    return dataOffset + size + (size & 1);
}

bool IdMatches(ChunkSearch search, uint32_t wanted, uint32_t id) {
    switch (search) {
        case ChunkSearch::Next:
            return true;
        case ChunkSearch::ById:
            return id == wanted;
        case ChunkSearch::RiffByForm:
            return id == RiffId;
        case ChunkSearch::ListByForm:
            return id == ListId;
    }
    return false;
}

}  // namespace

std::string FourCCText(uint32_t code) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        text[i] = static_cast<char>((code >> (8 * i)) & 0xff);
    }
    return text;
}

int CreateChunk(MmioFile& file, ChunkInfo& chunk, bool riffOrList) {
    const int64_t position = file.Seek(0, SeekOrigin::Current);
    if (position < 0 || position + HeaderSize > std::numeric_limits<uint32_t>::max()) {
        return -1;
    }
    const uint32_t id = !riffOrList ? chunk.id : chunk.id == ListId ? ListId : RiffId;
    uint8_t header[HeaderSize + FormTypeSize] = {};
    WriteLe32(header, id);
    WriteLe32(header + 4, 0);
    WriteLe32(header + 8, chunk.formType);
    // One write for the whole header, so a failure never leaves half a header unreported.
    const int32_t length =
        static_cast<int32_t>(riffOrList ? HeaderSize + FormTypeSize : HeaderSize);
    if (file.Write(header, length) != length) {
        return -1;
    }
    chunk.id = id;
    chunk.size = 0;
    chunk.dataOffset = static_cast<uint32_t>(position + HeaderSize);
    chunk.flags = ChunkDirty;
    return 0;
}

int DescendChunk(MmioFile& file, ChunkInfo& chunk, const ChunkInfo* parent, ChunkSearch search) {
    int64_t position = file.Seek(0, SeekOrigin::Current);
    if (position < 0) {
        return -1;
    }
    // Without a parent the end of the file stops the search: a header there cannot be read.
    const int64_t end = parent != nullptr ? int64_t{parent->dataOffset} + parent->size
                                          : std::numeric_limits<int64_t>::max();
    for (;;) {
        if (position > end - HeaderSize) {
            return -1;
        }
        uint8_t header[HeaderSize];
        if (file.Read(header, HeaderSize) != HeaderSize) {
            return -1;
        }
        const uint32_t id = ReadLe32(header);
        const uint32_t size = ReadLe32(header + 4);
        const int64_t dataOffset = position + HeaderSize;

        bool found = IdMatches(search, chunk.id, id);
        uint32_t formType = 0;
        if (found && (id == RiffId || id == ListId)) {
            if (size < FormTypeSize) {
                found = false;
            } else {
                uint8_t form[FormTypeSize];
                if (dataOffset > end - FormTypeSize ||
                    file.Read(form, FormTypeSize) != FormTypeSize) {
                    return -1;
                }
                formType = ReadLe32(form);
                const bool byForm =
                    search == ChunkSearch::RiffByForm || search == ChunkSearch::ListByForm;
                found = !byForm || formType == chunk.formType;
            }
        }
        if (found) {
            if (dataOffset > std::numeric_limits<uint32_t>::max()) {
                return -1;  // the descriptor cannot say where this chunk is
            }
            chunk.id = id;
            chunk.size = size;
            chunk.formType = formType;
            chunk.dataOffset = static_cast<uint32_t>(dataOffset);
            chunk.flags = 0;
            return 0;
        }

        position = PaddedEnd(dataOffset, size);
        if (position > end - HeaderSize) {
            return -1;
        }
        if (file.Seek(position, SeekOrigin::Start) != position) {
            return -1;
        }
    }
}

int AscendChunk(MmioFile& file, ChunkInfo& chunk) {
    if ((chunk.flags & ChunkDirty) != 0) {
        const int64_t position = file.Seek(0, SeekOrigin::Current);
        if (position < 0 || chunk.dataOffset < HeaderSize) {
            return -1;
        }
        const int64_t size = position - chunk.dataOffset;
        if (size < 0 || size > std::numeric_limits<uint32_t>::max()) {
            return -1;
        }
        if ((size & 1) != 0) {
            const uint8_t pad = 0;
            if (file.Write(&pad, 1) != 1) {
                return -1;
            }
        }
        const int64_t sizeField = int64_t{chunk.dataOffset} - 4;
        uint8_t bytes[4];
        WriteLe32(bytes, static_cast<uint32_t>(size));
        if (file.Seek(sizeField, SeekOrigin::Start) != sizeField || file.Write(bytes, 4) != 4) {
            return -1;
        }
        chunk.size = static_cast<uint32_t>(size);
        chunk.flags &= ~ChunkDirty;
    }
    const int64_t end = PaddedEnd(chunk.dataOffset, chunk.size);
    return file.Seek(end, SeekOrigin::Start) == end ? 0 : -1;
}

}  // namespace kora486
