#include "files/RiffFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "files/FileFaults.h"
#include "files/MemoryMmioFile.h"

namespace kora486 {
namespace {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/riff-file-test-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

int64_t Tell(MmioFile& file) {
    return file.Seek(0, SeekOrigin::Current);
}

class RiffFileTest : public ::testing::Test {
protected:
    void TearDown() override { ClearFileFaults(); }
    TempDir dir_;
};

TEST_F(RiffFileTest, OpensInEachModeAndRefusesWritesWhenReadOnly) {
    struct Case {
        const char* name;
        FileOpenMode mode;
        bool fileExists;
        bool opens;
        int64_t length;
        bool writable;
    };
    const Case cases[] = {
        {"read a missing file", FileOpenMode::Read, false, false, 0, false},
        {"read-write a missing file", FileOpenMode::ReadWrite, false, false, 0, false},
        {"create a missing file", FileOpenMode::Create, false, true, 0, true},
        {"read an existing file", FileOpenMode::Read, true, true, 5, false},
        {"read-write an existing file", FileOpenMode::ReadWrite, true, true, 5, true},
        {"create truncates an existing file", FileOpenMode::Create, true, true, 0, true},
    };
    const std::vector<uint8_t> original = {'h', 'e', 'l', 'l', 'o'};
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.File("open" + std::to_string(index++) + ".wav");
        if (c.fileExists) {
            WriteFileBytes(path, original);
        }
        EXPECT_EQ(RiffFile::Exists(path), c.fileExists);

        std::string error;
        auto file = RiffFile::Open(path, c.mode, &error);
        ASSERT_EQ(file != nullptr, c.opens);
        if (!c.opens) {
            EXPECT_EQ(error, std::strerror(ENOENT));
            EXPECT_FALSE(RiffFile::Exists(path)) << "a failed open creates nothing";
            continue;
        }
        EXPECT_EQ(file->Path(), path);
        EXPECT_EQ(file->Length(), c.length);
        const uint8_t byte = 'X';
        file->Seek(0, SeekOrigin::End);
        EXPECT_EQ(file->Write(&byte, 1), c.writable ? 1 : -1);
        EXPECT_EQ(file->Close(), 0);
        EXPECT_EQ(file->Length(), -1) << "a closed file answers -1";
        EXPECT_EQ(file->Close(), -1);

        std::vector<uint8_t> expected = c.length > 0 ? original : std::vector<uint8_t>{};
        if (c.writable) {
            expected.push_back(byte);
        }
        EXPECT_EQ(FileBytes(path), expected);
        EXPECT_TRUE(RiffFile::Exists(path));
    }

    EXPECT_FALSE(RiffFile::Exists(dir_.Path())) << "a directory is not a file";
    std::string error;
    EXPECT_EQ(RiffFile::Open(dir_.Path(), FileOpenMode::Read, &error), nullptr);
    EXPECT_EQ(error, std::strerror(EISDIR));
}

TEST_F(RiffFileTest, SeeksFromEachOriginCountingBufferedData) {
    const std::string path = dir_.File("seek.wav");
    WriteFileBytes(path, Pattern(10, 0));
    auto file = RiffFile::Open(path, FileOpenMode::ReadWrite);
    ASSERT_NE(file, nullptr);
    file->Seek(0, SeekOrigin::End);
    ASSERT_EQ(file->Write(Pattern(6, 10).data(), 6), 6);  // still in the buffer

    struct Case {
        int64_t offset;
        SeekOrigin origin;
        int64_t expected;
    };
    const Case cases[] = {
        {0, SeekOrigin::End, 16},
        {4, SeekOrigin::Start, 4},
        {3, SeekOrigin::Current, 7},
        {-2, SeekOrigin::End, 14},
        {100, SeekOrigin::End, 116},
        {-1, SeekOrigin::Start, -1},
        {-117, SeekOrigin::Current, -1},
        {-17, SeekOrigin::End, -1},
        {INT64_MAX, SeekOrigin::Current, -1},
    };
    int64_t position = 16;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(file->Seek(c.offset, c.origin), c.expected);
        if (c.expected >= 0) {
            position = c.expected;
        }
        EXPECT_EQ(Tell(*file), position) << "a refused seek leaves the position";
    }
    EXPECT_EQ(file->Length(), 16) << "seeking past the end does not grow the file";
    EXPECT_EQ(file->Close(), 0);
    EXPECT_EQ(FileBytes(path), Pattern(16, 0));
}

TEST_F(RiffFileTest, ReadsSeePendingWritesAndAGapReadsAsZeros) {
    const std::string path = dir_.File("gap.wav");
    auto file = RiffFile::Open(path, FileOpenMode::Create);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write("ab", 2), 2);
    ASSERT_EQ(file->Seek(RiffFile::BufferSize + 10, SeekOrigin::Start), RiffFile::BufferSize + 10);
    ASSERT_EQ(file->Write("cd", 2), 2);

    std::vector<uint8_t> back(RiffFile::BufferSize + 20, 0xee);
    ASSERT_EQ(file->Seek(0, SeekOrigin::Start), 0);
    ASSERT_EQ(file->Read(back.data(), static_cast<int32_t>(back.size())),
              RiffFile::BufferSize + 12);
    std::vector<uint8_t> expected(RiffFile::BufferSize + 12, 0);
    expected[0] = 'a';
    expected[1] = 'b';
    expected[RiffFile::BufferSize + 10] = 'c';
    expected[RiffFile::BufferSize + 11] = 'd';
    back.resize(expected.size());
    EXPECT_EQ(back, expected);
    EXPECT_EQ(file->Read(back.data(), 1), 0) << "at the end";
    EXPECT_EQ(file->Read(back.data(), -1), -1);
    EXPECT_EQ(file->Write(back.data(), -1), -1);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_EQ(FileBytes(path), expected);
}

// Random seeks, reads, writes and flushes, mirrored on a MemoryMmioFile, must agree call by call,
// and after every flush the disk must hold the mirror's bytes. Positions cluster around the
// buffer's edges and counts straddle its size, so every path of the buffering is taken.
TEST_F(RiffFileTest, InterleavedOperationsMatchAMemoryFile) {
    constexpr int64_t B = RiffFile::BufferSize;
    std::mt19937 random(486);
    auto below = [&random](int64_t n) {
        return std::uniform_int_distribution<int64_t>(0, n - 1)(random);
    };
    std::vector<uint8_t> initial(static_cast<size_t>(2 * B + 1000));
    for (uint8_t& byte : initial) {
        byte = static_cast<uint8_t>(below(256));
    }
    const std::string path = dir_.File("mirror.wav");
    WriteFileBytes(path, initial);
    auto file = RiffFile::Open(path, FileOpenMode::ReadWrite);
    ASSERT_NE(file, nullptr);
    MemoryMmioFile mirror(initial);

    auto randomCount = [&]() -> int32_t {
        const int64_t kind = below(20);
        int64_t count = 0;
        if (kind < 10) {
            count = 1 + below(64);
        } else if (kind < 12) {
            count = B - 8 + below(16);
        } else if (kind < 17) {
            count = 1 + below(B);
        } else if (kind < 19) {
            count = B + below(2 * B);
        }
        return static_cast<int32_t>(count);
    };
    auto randomTarget = [&](int64_t length) {
        const int64_t bounded = std::min<int64_t>(length, 6 * B);
        switch (below(3)) {
            case 0:
                return below(bounded + 1);
            case 1:  // around a multiple of the buffer size
                return std::max<int64_t>(0, below(bounded / B + 2) * B + below(9) - 4);
            default:  // around the end, sometimes past it
                return std::max<int64_t>(0, bounded + below(200) - 100);
        }
    };

    std::vector<uint8_t> data;
    std::vector<uint8_t> got;
    std::vector<uint8_t> want;
    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const int64_t length = static_cast<int64_t>(mirror.Bytes().size());
        switch (below(8)) {
            case 0: {
                const int64_t target = randomTarget(length);
                ASSERT_EQ(file->Seek(target, SeekOrigin::Start),
                          mirror.Seek(target, SeekOrigin::Start));
                break;
            }
            case 1: {
                const int64_t offset = below(4) == 0 ? below(2 * B) - B : below(128) - 64;
                ASSERT_EQ(file->Seek(offset, SeekOrigin::Current),
                          mirror.Seek(offset, SeekOrigin::Current));
                break;
            }
            case 2: {
                const int64_t offset = length > 6 * B ? -length / 2 : below(300) - 200;
                ASSERT_EQ(file->Seek(offset, SeekOrigin::End),
                          mirror.Seek(offset, SeekOrigin::End));
                break;
            }
            case 3:
            case 4: {
                const int32_t count = randomCount();
                got.assign(static_cast<size_t>(count), 0xaa);
                want.assign(static_cast<size_t>(count), 0xaa);
                ASSERT_EQ(file->Read(got.data(), count), mirror.Read(want.data(), count));
                ASSERT_EQ(got, want);
                break;
            }
            case 5:
            case 6: {
                const int32_t count = randomCount();
                data.resize(static_cast<size_t>(count));
                for (uint8_t& byte : data) {
                    byte = static_cast<uint8_t>(1 + step % 255);
                }
                ASSERT_EQ(file->Write(data.data(), count), mirror.Write(data.data(), count));
                break;
            }
            case 7:
                if (below(8) == 0) {
                    ASSERT_EQ(file->Flush(), 0);
                    ASSERT_EQ(FileBytes(path), mirror.Bytes());
                }
                break;
        }
        ASSERT_EQ(file->Length(), static_cast<int64_t>(mirror.Bytes().size()));
        ASSERT_EQ(Tell(*file), mirror.Position());
    }
    ASSERT_EQ(file->Close(), 0);
    EXPECT_EQ(FileBytes(path), mirror.Bytes());

    auto again = RiffFile::Open(path, FileOpenMode::Read);
    ASSERT_NE(again, nullptr);
    std::vector<uint8_t> whole(mirror.Bytes().size() + 1);
    ASSERT_EQ(again->Read(whole.data(), static_cast<int32_t>(whole.size())),
              static_cast<int32_t>(mirror.Bytes().size()));
    whole.pop_back();
    EXPECT_EQ(whole, mirror.Bytes());
}

TEST_F(RiffFileTest, InjectedReadWriteAndSeekFaultsFireAtTheirByte) {
    struct Case {
        const char* name;
        FileFault fault;
        FileOperation call;  // Read, Write or Seek
        int64_t position;    // where the call starts; for Seek its target
        int32_t count;
        int64_t expected;
        int64_t positionAfter;
    };
    using enum FileOperation;
    const Case cases[] = {
        {"read before the fault byte", {Read, 32}, Read, 0, 32, 32, 32},
        {"read reaching the fault byte", {Read, 32}, Read, 30, 4, -1, 30},
        {"read past the fault byte", {Read, 32}, Read, 40, 1, -1, 40},
        {"empty read past the fault byte", {Read, 32}, Read, 40, 0, 0, 40},
        {"short read", {Read, 32, FaultKind::Short}, Read, 28, 10, 4, 32},
        {"short read at the fault byte", {Read, 32, FaultKind::Short}, Read, 32, 8, 0, 32},
        {"write before the fault byte", {Write, 32}, Write, 0, 32, 32, 32},
        {"write reaching the fault byte", {Write, 32}, Write, 30, 4, -1, 30},
        {"short write", {Write, 20, FaultKind::Short}, Write, 16, 16, 4, 20},
        {"short write past the fault byte", {Write, 20, FaultKind::Short}, Write, 30, 4, 0, 30},
        {"seek below the fault byte", {Seek, 32}, Seek, 31, 0, 31, 31},
        {"seek to the fault byte", {Seek, 32}, Seek, 32, 0, -1, 0},
        {"seek past the fault byte", {Seek, 32}, Seek, 1000, 0, -1, 0},
    };
    const std::vector<uint8_t> original = Pattern(64, 0);
    const std::vector<uint8_t> written = Pattern(64, 0x80);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.File("fault.wav");
        WriteFileBytes(path, original);
        auto file = RiffFile::Open(path, FileOpenMode::ReadWrite);
        ASSERT_NE(file, nullptr);
        std::vector<uint8_t> expected = original;
        {
            ScopedFileFault fault(path, c.fault);
            std::vector<uint8_t> buffer(static_cast<size_t>(c.count) + 1, 0xee);
            switch (c.call) {
                case Read:
                    ASSERT_EQ(file->Seek(c.position, SeekOrigin::Start), c.position);
                    ASSERT_EQ(file->Read(buffer.data(), c.count), c.expected);
                    for (int64_t i = 0; i < c.expected; ++i) {
                        EXPECT_EQ(buffer[i], original[c.position + i]);
                    }
                    EXPECT_EQ(buffer[std::max<int64_t>(c.expected, 0)], 0xee);
                    break;
                case Write:
                    ASSERT_EQ(file->Seek(c.position, SeekOrigin::Start), c.position);
                    ASSERT_EQ(file->Write(written.data(), c.count), c.expected);
                    for (int64_t i = 0; i < c.expected; ++i) {
                        expected[c.position + i] = written[i];
                    }
                    break;
                default:
                    ASSERT_EQ(file->Seek(c.position, SeekOrigin::Start), c.expected);
                    break;
            }
            EXPECT_EQ(Tell(*file), c.positionAfter);
        }
        // Out of scope the fault is gone.
        EXPECT_EQ(file->Seek(c.position, SeekOrigin::Start), c.position);
        uint8_t byte;
        EXPECT_EQ(file->Seek(0, SeekOrigin::Start), 0);
        EXPECT_EQ(file->Read(&byte, 1), 1);
        EXPECT_EQ(file->Close(), 0);
        EXPECT_EQ(FileBytes(path), expected);
    }
}

TEST_F(RiffFileTest, InjectedOpenAndCloseFaults) {
    const std::string path = dir_.File("open-close.wav");
    WriteFileBytes(path, Pattern(8, 0));
    {
        ScopedFileFault fault(path, {FileOperation::Open});
        for (FileOpenMode mode :
             {FileOpenMode::Read, FileOpenMode::ReadWrite, FileOpenMode::Create}) {
            std::string error;
            EXPECT_EQ(RiffFile::Open(path, mode, &error), nullptr);
            EXPECT_EQ(error, std::strerror(EIO));
        }
        EXPECT_TRUE(RiffFile::Exists(path)) << "the existence check is not an open";
        EXPECT_EQ(FileBytes(path), Pattern(8, 0)) << "a failed Create truncates nothing";
    }

    auto file = RiffFile::Open(path, FileOpenMode::ReadWrite);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write("zz", 2), 2);
    InjectFileFault(path, {FileOperation::Close});
    EXPECT_EQ(file->Close(), -1);
    EXPECT_EQ(file->Write("zz", 2), -1) << "closed all the same";
    std::vector<uint8_t> expected = Pattern(8, 0);
    expected[0] = expected[1] = 'z';
    EXPECT_EQ(FileBytes(path), expected) << "the buffer was still written back";
}

TEST_F(RiffFileTest, FaultsFollowThePathAndTheirLifetime) {
    const std::string path = dir_.File("life.wav");
    const std::string other = dir_.File("other.wav");
    auto file = RiffFile::Open(path, FileOpenMode::Create);
    auto otherFile = RiffFile::Open(other, FileOpenMode::Create);
    ASSERT_NE(file, nullptr);
    ASSERT_NE(otherFile, nullptr);
    const uint8_t byte = 1;

    // Another spelling of the path, injected after the open, still reaches the open file.
    InjectFileFault(dir_.Path() + "/./sub/../life.wav", {FileOperation::Write, 0});
    EXPECT_EQ(file->Write(&byte, 1), -1);
    EXPECT_EQ(file->Write(&byte, 1), -1) << "stays armed";
    EXPECT_EQ(otherFile->Write(&byte, 1), 1) << "other paths are untouched";
    ClearFileFaults();
    EXPECT_EQ(file->Write(&byte, 1), 1);

    InjectFileFault(path, {FileOperation::Write, 0, FaultKind::Fail, /*once=*/true});
    EXPECT_EQ(file->Write(&byte, 1), -1);
    EXPECT_EQ(file->Write(&byte, 1), 1) << "a once fault fires once";

    InjectFileFault(path, {FileOperation::Read, 0});
    {
        ScopedFileFault write(path, {FileOperation::Write, 0});
        EXPECT_EQ(file->Write(&byte, 1), -1);
    }
    EXPECT_EQ(file->Write(&byte, 1), 1) << "the scoped fault removed only itself";
    file->Seek(0, SeekOrigin::Start);
    uint8_t back;
    EXPECT_EQ(file->Read(&back, 1), -1);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_EQ(otherFile->Close(), 0);
}

// /dev/full accepts every buffered write and fails every write-back, as a full disk does.
TEST_F(RiffFileTest, FailingWriteBackFailsTheCallThatTriggersIt) {
    const std::string full = "/dev/full";
    if (access(full.c_str(), W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/full";
    }
    struct Case {
        const char* name;
        int64_t (*trigger)(RiffFile&);
        int64_t expected;
    };
    const Case cases[] = {
        {"flush", [](RiffFile& f) -> int64_t { return f.Flush(); }, -1},
        {"sync", [](RiffFile& f) -> int64_t { return f.Sync(); }, -1},
        {"close", [](RiffFile& f) -> int64_t { return f.Close(); }, -1},
        {"seek out of the buffer",
         [](RiffFile& f) { return f.Seek(4 * RiffFile::BufferSize, SeekOrigin::Start); }, -1},
        {"read past the buffered data",
         [](RiffFile& f) -> int64_t {
             uint8_t byte;
             return f.Read(&byte, 1);
         },
         -1},
        // The bytes that still fit are moved; then the full buffer must go, and cannot.
        {"write beyond the buffer",
         [](RiffFile& f) -> int64_t {
             std::vector<uint8_t> more(RiffFile::BufferSize);
             return f.Write(more.data(), RiffFile::BufferSize);
         },
         RiffFile::BufferSize - 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = RiffFile::Open(full, FileOpenMode::ReadWrite);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->Write("0123456789", 10), 10) << "buffered";
        EXPECT_EQ(c.trigger(*file), c.expected);
        EXPECT_EQ(file->Close(), -1) << "the data is still not on disk";
    }

    auto file = RiffFile::Open(full, FileOpenMode::ReadWrite);
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> large(RiffFile::BufferSize);
    EXPECT_EQ(file->Write(large.data(), RiffFile::BufferSize), -1)
        << "a direct write fails at once";
    EXPECT_EQ(file->Close(), 0);
}

}  // namespace
}  // namespace kora486
