#include "files/RiffChunks.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "files/MemoryMmioFile.h"
#include "files/RiffFile.h"

namespace kora486 {
namespace {

constexpr uint32_t WaveForm = FourCC("WAVE");
constexpr uint32_t FmtId = FourCC("fmt ");
constexpr uint32_t DataId = FourCC("data");
constexpr int64_t FourGiB = int64_t{1} << 32;

// Little-endian file images, written out field by field.
class Image {
public:
    Image& Id(const char (&code)[5]) { return U32(FourCC(code)); }
    Image& U32(uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    Image& Bytes(std::initializer_list<uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    std::vector<uint8_t> Take() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// Counts the writes that reach the file, so "writes nothing" can be checked directly.
class CountingFile final : public MmioFile {
public:
    explicit CountingFile(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
    int32_t Read(void* data, int32_t count) override { return inner_.Read(data, count); }
    int32_t Write(const void* data, int32_t count) override {
        ++writes;
        return inner_.Write(data, count);
    }
    MemoryMmioFile inner_;
    int writes = 0;
};

const std::vector<uint8_t> FmtBody = {1, 0, 1, 0, 0x44, 0xac, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0};
const std::vector<uint8_t> OddData = {1, 2, 3, 4, 5};

// RIFF/WAVE with a 16-byte "fmt " and a 5-byte "data" with its pad byte: 50 bytes.
std::vector<uint8_t> WaveImage() {
    Image image;
    image.Id("RIFF").U32(42).Id("WAVE").Id("fmt ").U32(16);
    image.Bytes({1, 0, 1, 0, 0x44, 0xac, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0});
    image.Id("data").U32(5).Bytes({1, 2, 3, 4, 5, 0});
    return image.Take();
}

int64_t Tell(MmioFile& file) {
    return file.Seek(0, SeekOrigin::Current);
}

void WriteWave(MmioFile& file) {
    ChunkInfo riff;
    riff.formType = WaveForm;
    ASSERT_EQ(CreateChunk(file, riff, true), 0);
    EXPECT_EQ(riff.id, RiffId);
    EXPECT_EQ(riff.dataOffset, 8u) << "the form type is the first data word";
    EXPECT_EQ(riff.flags, ChunkDirty);
    EXPECT_EQ(Tell(file), 12);

    ChunkInfo fmt{FmtId};
    ASSERT_EQ(CreateChunk(file, fmt, false), 0);
    EXPECT_EQ(fmt.dataOffset, 20u);
    ASSERT_EQ(file.Write(FmtBody.data(), 16), 16);
    ASSERT_EQ(AscendChunk(file, fmt), 0);
    EXPECT_EQ(fmt.size, 16u);
    EXPECT_EQ(fmt.flags, 0u);

    ChunkInfo data{DataId};
    ASSERT_EQ(CreateChunk(file, data, false), 0);
    ASSERT_EQ(file.Write(OddData.data(), 5), 5);
    ASSERT_EQ(AscendChunk(file, data), 0);
    EXPECT_EQ(data.size, 5u);
    EXPECT_EQ(Tell(file), 50) << "past the pad byte";

    ASSERT_EQ(AscendChunk(file, riff), 0);
    EXPECT_EQ(riff.size, 42u) << "the RIFF size counts the pad byte";
    EXPECT_EQ(Tell(file), 50);
}

void ReadWave(MmioFile& file) {
    ASSERT_EQ(file.Seek(0, SeekOrigin::Start), 0);
    ChunkInfo riff;
    riff.formType = WaveForm;
    ASSERT_EQ(DescendChunk(file, riff, nullptr, ChunkSearch::RiffByForm), 0);
    EXPECT_EQ(riff.size, 42u);
    EXPECT_EQ(riff.dataOffset, 8u);
    EXPECT_EQ(Tell(file), 12);

    ChunkInfo fmt{FmtId};
    ASSERT_EQ(DescendChunk(file, fmt, &riff, ChunkSearch::ById), 0);
    EXPECT_EQ(fmt.size, 16u);
    std::vector<uint8_t> body(16);
    ASSERT_EQ(file.Read(body.data(), 16), 16);
    EXPECT_EQ(body, FmtBody);
    ASSERT_EQ(AscendChunk(file, fmt), 0);

    ChunkInfo data{DataId};
    ASSERT_EQ(DescendChunk(file, data, &riff, ChunkSearch::ById), 0);
    EXPECT_EQ(data.size, 5u);
    EXPECT_EQ(data.dataOffset, 44u);
    std::vector<uint8_t> samples(5);
    ASSERT_EQ(file.Read(samples.data(), 5), 5);
    EXPECT_EQ(samples, OddData);
    ASSERT_EQ(AscendChunk(file, data), 0);
    EXPECT_EQ(Tell(file), 50);
    ASSERT_EQ(AscendChunk(file, riff), 0);
    EXPECT_EQ(Tell(file), 50);
}

class TempFile {
public:
    TempFile() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/riff-chunks-test-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
        }
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string Path() const { return dir_ + "/chunks.wav"; }
    std::vector<uint8_t> Bytes() const {
        std::ifstream in(Path(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::string dir_;
};

TEST(RiffChunks, FourCCPutsTheFirstCharacterInTheLowByte) {
    static_assert(FourCC("RIFF") == RiffId);
    static_assert(FourCC('f', 'm', 't', ' ') == 0x20746d66u);
    EXPECT_EQ(FourCCText(ListId), "LIST");
}

TEST(RiffChunks, WaveRoundTripsByteForByteInMemoryAndOnDisk) {
    MemoryMmioFile memory;
    WriteWave(memory);
    EXPECT_EQ(memory.Bytes(), WaveImage());
    ReadWave(memory);

    TempFile temp;
    auto disk = RiffFile::Open(temp.Path(), FileOpenMode::Create);
    ASSERT_NE(disk, nullptr);
    WriteWave(*disk);
    ReadWave(*disk);
    ASSERT_EQ(disk->Close(), 0);
    EXPECT_EQ(temp.Bytes(), WaveImage());
    auto again = RiffFile::Open(temp.Path(), FileOpenMode::Read);
    ASSERT_NE(again, nullptr);
    ReadWave(*again);
}

// RIFF/WAVE holding "junk" (3 bytes + pad), LIST/INFO with an empty "INAM", "fmt " (1 byte +
// pad) and "data" (2 bytes).
std::vector<uint8_t> MixedImage() {
    Image image;
    image.Id("RIFF").U32(56).Id("WAVE");
    image.Id("junk").U32(3).Bytes({7, 7, 7, 0});
    image.Id("LIST").U32(12).Id("INFO").Id("INAM").U32(0);
    image.Id("fmt ").U32(1).Bytes({9, 0});
    image.Id("data").U32(2).Bytes({5, 6});
    return image.Take();
}

TEST(RiffChunks, DescendSkipsUnknownAndOddSizedChunks) {
    struct Case {
        const char* name;
        int64_t start;
        bool inRiff;  // search within the RIFF chunk, else up to the end of the file
        ChunkSearch search;
        uint32_t id;
        uint32_t formType;
        std::optional<ChunkInfo> found;  // flags are always 0
        int64_t position;
    };
    using enum ChunkSearch;
    const uint32_t list = ListId;
    const Case cases[] = {
        {"the RIFF chunk", 0, false, RiffByForm, 0, WaveForm, ChunkInfo{RiffId, 56, WaveForm, 8},
         12},
        {"a RIFF chunk of another form", 0, false, RiffByForm, 0, FourCC("AVI "), {}, 0},
        {"the next chunk", 12, true, Next, 0, 0, ChunkInfo{FourCC("junk"), 3, 0, 20}, 20},
        {"past an odd-sized chunk", 12, true, ById, FmtId, 0, ChunkInfo{FmtId, 1, 0, 52}, 52},
        {"past a pad byte to the last", 12, true, ById, DataId, 0, ChunkInfo{DataId, 2, 0, 62}, 62},
        {"a list by its type", 12, true, ListByForm, 0, FourCC("INFO"),
         ChunkInfo{list, 12, FourCC("INFO"), 32}, 36},
        {"a list by its id", 12, true, ById, list, 0, ChunkInfo{list, 12, FourCC("INFO"), 32}, 36},
        {"a list of another type", 12, true, ListByForm, 0, FourCC("adtl"), {}, 0},
        {"an id that is not there", 12, true, ById, FourCC("cue "), 0, {}, 0},
        {"from a later chunk", 24, true, ById, DataId, 0, ChunkInfo{DataId, 2, 0, 62}, 62},
        {"without a parent", 12, false, ById, DataId, 0, ChunkInfo{DataId, 2, 0, 62}, 62},
    };
    const ChunkInfo riff{RiffId, 56, WaveForm, 8};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMmioFile file(MixedImage());
        ASSERT_EQ(file.Seek(c.start, SeekOrigin::Start), c.start);
        ChunkInfo chunk{c.id, 77, c.formType, 99, ChunkDirty};
        const ChunkInfo before = chunk;
        const int result = DescendChunk(file, chunk, c.inRiff ? &riff : nullptr, c.search);
        if (!c.found) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(chunk.size, before.size) << "a failed search leaves the descriptor";
            EXPECT_EQ(chunk.dataOffset, before.dataOffset);
            continue;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(FourCCText(chunk.id), FourCCText(c.found->id));
        EXPECT_EQ(chunk.size, c.found->size);
        EXPECT_EQ(chunk.formType, c.found->formType);
        EXPECT_EQ(chunk.dataOffset, c.found->dataOffset);
        EXPECT_EQ(chunk.flags, 0u);
        EXPECT_EQ(Tell(file), c.position);
    }
}

TEST(RiffChunks, DescendNeverLooksPastTheParent) {
    // In the LIST chunk only "INAM" is found; "fmt " lies behind it.
    MemoryMmioFile file(MixedImage());
    ChunkInfo list{ListId};
    list.formType = FourCC("INFO");
    ASSERT_EQ(file.Seek(12, SeekOrigin::Start), 12);
    ASSERT_EQ(DescendChunk(file, list, nullptr, ChunkSearch::ListByForm), 0);
    ChunkInfo name{FourCC("INAM")};
    ASSERT_EQ(DescendChunk(file, name, &list, ChunkSearch::ById), 0);
    EXPECT_EQ(name.dataOffset, 44u);
    ChunkInfo fmt{FmtId};
    for (int64_t start : {36, 44}) {  // from inside the list, and from just past it
        ASSERT_EQ(file.Seek(start, SeekOrigin::Start), start);
        EXPECT_EQ(DescendChunk(file, fmt, &list, ChunkSearch::ById), -1) << start;
    }

    // A RIFF size smaller than its content hides the chunks past that size, down to a form type
    // that does not fit; one larger than the file does not stop the search before the file ends.
    struct Case {
        const char* name;
        uint32_t riffSize;
        ChunkSearch search;
        uint32_t id;
        uint32_t formType;
        bool found;
    };
    const Case cases[] = {
        {"the size covers the data chunk", 56, ChunkSearch::ById, DataId, 0, true},
        {"the size ends before the data header", 42, ChunkSearch::ById, DataId, 0, false},
        {"the size ends inside the data header", 48, ChunkSearch::ById, DataId, 0, false},
        {"the size ends just after the data header", 54, ChunkSearch::ById, DataId, 0, true},
        {"the size is larger than the file", 0xffffffff, ChunkSearch::ById, DataId, 0, true},
        {"the size ends before a list's type", 24, ChunkSearch::ListByForm, 0, FourCC("INFO"),
         false},
        {"the size ends just after a list's type", 28, ChunkSearch::ListByForm, 0, FourCC("INFO"),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = MixedImage();
        for (int i = 0; i < 4; ++i) {
            bytes[4 + i] = static_cast<uint8_t>(c.riffSize >> (8 * i));
        }
        MemoryMmioFile wave(bytes);
        ChunkInfo riff;
        riff.formType = WaveForm;
        ASSERT_EQ(DescendChunk(wave, riff, nullptr, ChunkSearch::RiffByForm), 0);
        EXPECT_EQ(riff.size, c.riffSize);
        ChunkInfo chunk{c.id, 0, c.formType};
        EXPECT_EQ(DescendChunk(wave, chunk, &riff, c.search), c.found ? 0 : -1);
    }
}

TEST(RiffChunks, AscendOfACleanChunkWritesNothing) {
    CountingFile file(WaveImage());
    ChunkInfo riff;
    riff.formType = WaveForm;
    ASSERT_EQ(DescendChunk(file, riff, nullptr, ChunkSearch::RiffByForm), 0);
    ChunkInfo data{DataId};
    ASSERT_EQ(DescendChunk(file, data, &riff, ChunkSearch::ById), 0);
    uint8_t two[2];
    ASSERT_EQ(file.Read(two, 2), 2);  // a dirty ascend from here would write size 2

    ASSERT_EQ(AscendChunk(file, data), 0);
    EXPECT_EQ(Tell(file), 50) << "past the odd chunk and its pad byte";
    ASSERT_EQ(AscendChunk(file, riff), 0);
    EXPECT_EQ(file.writes, 0);
    EXPECT_EQ(file.inner_.Bytes(), WaveImage());
}

TEST(RiffChunks, TruncatedHeadersAreNotFound) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        ChunkSearch search;
        uint32_t id;
    };
    const Case cases[] = {
        {"an empty file", {}, ChunkSearch::Next, 0},
        {"only an id", Image().Id("data").Take(), ChunkSearch::Next, 0},
        {"seven header bytes", Image().Id("data").Bytes({1, 0, 0}).Take(), ChunkSearch::Next, 0},
        {"a RIFF header without its form type", Image().Id("RIFF").U32(4).Take(),
         ChunkSearch::RiffByForm, 0},
        {"a RIFF header with half a form type", Image().Id("RIFF").U32(4).Bytes({'W', 'A'}).Take(),
         ChunkSearch::RiffByForm, 0},
        {"a list too small for its type",
         Image().Id("LIST").U32(2).Bytes({1, 2}).Id("data").U32(0).Take(), ChunkSearch::ById,
         ListId},
        {"half a header after a whole chunk",
         Image().Id("junk").U32(2).Bytes({1, 2, 'd', 'a'}).Take(), ChunkSearch::ById, DataId},
        {"a header cut after its id", Image().Id("junk").U32(1).Bytes({1, 0}).Id("data").Take(),
         ChunkSearch::ById, DataId},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMmioFile file(c.bytes);
        ChunkInfo chunk{c.id, 0, WaveForm};
        EXPECT_EQ(DescendChunk(file, chunk, nullptr, c.search), -1);
    }
}

TEST(RiffChunks, ChunkSizesNearFourGiBNeverWrap) {
    // "junk" at 12 claims so much that its end, taken modulo 2^32, falls back into the file: on
    // itself (a search that never ends) or on the "data" header inside it (a false find).
    for (uint32_t junkSize : {0xfffffff8u, 0xffffffffu}) {
        SCOPED_TRACE(junkSize);
        const std::vector<uint8_t> bytes = Image()
                                               .Id("RIFF")
                                               .U32(0xffffffff)
                                               .Id("WAVE")
                                               .Id("junk")
                                               .U32(junkSize)
                                               .Id("data")
                                               .U32(0)
                                               .Take();
        for (bool inRiff : {true, false}) {
            MemoryMmioFile file(bytes);
            ChunkInfo riff;
            riff.formType = WaveForm;
            ASSERT_EQ(DescendChunk(file, riff, nullptr, ChunkSearch::RiffByForm), 0);
            ChunkInfo data{DataId};
            EXPECT_EQ(DescendChunk(file, data, inRiff ? &riff : nullptr, ChunkSearch::ById), -1);
        }
    }

    // A dirty size that is negative or needs more than 32 bits is refused before anything is
    // written.
    for (int64_t position : {int64_t{4}, FourGiB + 8, FourGiB + 9}) {
        SCOPED_TRACE(position);
        CountingFile file({});
        ChunkInfo data{DataId};
        ASSERT_EQ(CreateChunk(file, data, false), 0);
        file.Seek(position, SeekOrigin::Start);
        EXPECT_EQ(AscendChunk(file, data), -1);
        EXPECT_EQ(file.writes, 1) << "only the header of the create";
        EXPECT_EQ(file.inner_.Bytes(), Image().Id("data").U32(0).Take());
        EXPECT_EQ(data.flags, ChunkDirty);
    }

    // A chunk whose data would start beyond what a descriptor can hold is not created.
    CountingFile far({});
    far.Seek(FourGiB - 4, SeekOrigin::Start);
    ChunkInfo chunk{DataId};
    EXPECT_EQ(CreateChunk(far, chunk, false), -1);
    EXPECT_EQ(far.writes, 0);
}

// The largest sizes a chunk can have, written into a sparse file on disk.
TEST(RiffChunks, AscendWritesTheLargestSizes) {
    for (uint32_t size : {0xfffffffeu, 0xffffffffu}) {
        SCOPED_TRACE(size);
        TempFile temp;
        auto file = RiffFile::Open(temp.Path(), FileOpenMode::Create);
        ASSERT_NE(file, nullptr);
        ChunkInfo data{DataId};
        ASSERT_EQ(CreateChunk(*file, data, false), 0);
        const int64_t end = 8 + int64_t{size};
        ASSERT_EQ(file->Seek(end, SeekOrigin::Start), end);
        ASSERT_EQ(AscendChunk(*file, data), 0);
        EXPECT_EQ(data.size, size);
        EXPECT_EQ(Tell(*file), end + (size & 1));
        EXPECT_EQ(file->Length(), (size & 1) != 0 ? end + 1 : 8) << "only an odd size is padded";

        ASSERT_EQ(file->Seek(0, SeekOrigin::Start), 0);
        ChunkInfo back{DataId};
        ASSERT_EQ(DescendChunk(*file, back, nullptr, ChunkSearch::ById), 0);
        EXPECT_EQ(back.size, size);
        ASSERT_EQ(file->Close(), 0);
        std::ifstream in(temp.Path(), std::ios::binary);
        char header[8];
        in.read(header, 8);
        EXPECT_EQ(std::vector<uint8_t>(header, header + 8), Image().Id("data").U32(size).Take());
    }
}

}  // namespace
}  // namespace kora486
