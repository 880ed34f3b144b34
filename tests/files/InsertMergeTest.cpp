#include "files/InsertMerge.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>

#include "files/FileFaults.h"
#include "files/MemoryMmioFile.h"
#include "files/RiffFile.h"

namespace kora486 {
namespace {

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return bytes;
}

std::vector<uint8_t> Spliced(const std::vector<uint8_t>& file, size_t at,
                             const std::vector<uint8_t>& inserted) {
    std::vector<uint8_t> out(file.begin(), file.begin() + static_cast<ptrdiff_t>(at));
    out.insert(out.end(), inserted.begin(), inserted.end());
    out.insert(out.end(), file.begin() + static_cast<ptrdiff_t>(at), file.end());
    return out;
}

TEST(InsertMergeTest, InsertedBytesLandAtTheInsertPointWithTheTailAfterThem) {
    constexpr int64_t Piece = MergePieceBytes;
    struct Case {
        const char* name;
        size_t fileBytes;
        size_t insertAt;
        size_t insertBytes;
    };
    const Case cases[] = {
        {"at the start", 10000, 0, 1764},
        {"in the middle", 10000, 4321, 17},
        {"at the end", 10000, 10000, 500},
        {"tail of several pieces", 3 * Piece + 12345, 1000, 3000},
        {"insert longer than a piece and than the tail", Piece / 2, 100, Piece + 77},
        {"tail of exactly one piece", Piece + 44, 44, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto original = Pattern(c.fileBytes, 1);
        const auto inserted = Pattern(c.insertBytes, 99);
        MemoryMmioFile recording(original);
        MemoryMmioFile insert(inserted);
        ASSERT_EQ(
            MergeInsertFile(recording, insert, static_cast<int64_t>(c.insertBytes),
                            static_cast<int64_t>(c.insertAt), static_cast<int64_t>(c.fileBytes)),
            MergeOutcome::Merged);
        EXPECT_TRUE(recording.Bytes() == Spliced(original, c.insertAt, inserted));
    }
}

TEST(InsertMergeTest, NothingToInsertChangesNothing) {
    const auto original = Pattern(1000, 3);
    MemoryMmioFile recording(original);
    MemoryMmioFile insert;
    EXPECT_EQ(MergeInsertFile(recording, insert, 0, 10, 1000), MergeOutcome::Merged);
    EXPECT_EQ(recording.Bytes(), original);
}

TEST(InsertMergeTest, FailuresOnDiskAreReported) {
    char pattern[] = "/tmp/kora486-merge-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/file.wav";
    const auto original = Pattern(5000, 5);
    const auto inserted = Pattern(300, 50);
    struct Case {
        const char* name;
        FileFault fault;
        MergeOutcome outcome;
        bool unchanged;
    };
    const Case cases[] = {
        // A full disk: the file cannot grow past its end, and nothing has moved.
        {"no room", {FileOperation::Write, 5000, FaultKind::Fail}, MergeOutcome::NoRoom, true},
        {"tail read fails", {FileOperation::Read, 0, FaultKind::Fail}, MergeOutcome::Failed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            auto file = RiffFile::Open(path, FileOpenMode::Create);
            ASSERT_EQ(file->Write(original.data(), 5000), 5000);
        }
        auto recording = RiffFile::Open(path, FileOpenMode::ReadWrite);
        MemoryMmioFile insert(inserted);
        InjectFileFault(path, c.fault);
        EXPECT_EQ(MergeInsertFile(*recording, insert, 300, 1000, 5000), c.outcome);
        ClearFileFaults();
        ASSERT_EQ(recording->Close(), 0);
        if (c.unchanged) {
            auto reread = RiffFile::Open(path, FileOpenMode::Read);
            std::vector<uint8_t> head(5000);
            ASSERT_EQ(reread->Read(head.data(), 5000), 5000);
            EXPECT_EQ(head, original);
        }
    }
    std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace kora486
