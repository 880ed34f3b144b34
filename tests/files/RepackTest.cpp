#include "files/Repack.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "files/DeleteSound.h"
#include "files/FileFaults.h"
#include "files/MemoryMmioFile.h"

namespace kora486 {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 13 + i / 509);
    }
    return bytes;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST(RepackedLength, IsTheEndOfWhatTheFileUses) {
    struct Case {
        const char* name;
        bool dataOnly;
        uint32_t riffSize;
        uint32_t dataOffset;
        uint32_t dataSize;
        size_t fileBytes;
        std::optional<int64_t> length;
    };
    const Case cases[] = {
        {"spare bytes after the RIFF chunk", false, 1000, 46, 900, 2000, 1008},
        {"no spare bytes", false, 1000, 46, 900, 1008, std::nullopt},
        {"a RIFF chunk longer than the file", false, 1000, 46, 900, 500, std::nullopt},
        {"a new file whose RIFF size is not written yet", false, 0, 46, 900, 5000, std::nullopt},
        {"a RIFF size that ends inside the data", false, 100, 46, 900, 2000, 946},
        {"odd data keeps its pad byte", false, 100, 46, 901, 2000, 948},
        {"data-only with spare bytes", true, 0, 0, 1800, 2000, 1800},
        {"data-only without", true, 0, 0, 2000, 2000, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecorderState state;
        state.RiffChunk.dataOffset = 8;
        state.RiffChunk.size = c.riffSize;
        state.DataChunk.dataOffset = c.dataOffset;
        state.DataChunk.size = c.dataSize;
        MemoryMmioFile file(std::vector<uint8_t>(c.fileBytes));
        EXPECT_EQ(RepackedLength(file, state, c.dataOnly), c.length);
    }
}

class ShortenByCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kora486-repack-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        ClearFileFaults();
        fs::remove_all(dir);
    }

    // Files in the folder other than the one given: a copy left behind would be one.
    std::vector<std::string> Others(const fs::path& keep) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename() != keep.filename()) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    fs::path dir;
};

TEST_F(ShortenByCopyTest, KeepsTheLeadingBytesAndThePermissionBits) {
    const fs::path file = dir / "take.wav";
    const auto original = Pattern(3 * EditPieceBytes + 1234);
    WriteFile(file, original);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);

    const int64_t keep = 2 * EditPieceBytes + 99;
    ASSERT_TRUE(ShortenByCopy(file.string(), keep));
    const auto after = ReadFile(file);
    EXPECT_TRUE(after == std::vector<uint8_t>(original.begin(), original.begin() + keep));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_TRUE(Others(file).empty());
}

TEST_F(ShortenByCopyTest, ANameWithoutAFolderWorksInTheCurrentOne) {
    const fs::path saved = fs::current_path();
    fs::current_path(dir);
    WriteFile("here.wav", Pattern(5000));
    const bool shortened = ShortenByCopy("here.wav", 3000);
    fs::current_path(saved);
    ASSERT_TRUE(shortened);
    EXPECT_EQ(fs::file_size(dir / "here.wav"), 3000u);
    EXPECT_TRUE(Others(dir / "here.wav").empty());
}

TEST_F(ShortenByCopyTest, ALinkStillNamesTheFileItPointsAt) {
    fs::create_directory(dir / "takes");
    const fs::path target = dir / "takes" / "real.wav";
    const fs::path link = dir / "link.wav";
    WriteFile(target, Pattern(4000));
    fs::create_symlink(target, link);
    ASSERT_TRUE(ShortenByCopy(link.string(), 1000));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::file_size(target), 1000u);
    EXPECT_EQ(Others(link), std::vector<std::string>{"takes"});
    EXPECT_EQ(fs::directory_iterator(dir / "takes")->path(), target) << "no copy left";
}

TEST_F(ShortenByCopyTest, AFailedCopyLeavesTheOldFileAndNoCopy) {
    const fs::path file = dir / "take.wav";
    const auto original = Pattern(2 * EditPieceBytes + 10);
    struct Case {
        const char* name;
        FileFault fault;
    };
    const Case cases[] = {
        {"the old file does not open", {FileOperation::Open}},
        {"a read stops short", {FileOperation::Read, EditPieceBytes + 5, FaultKind::Short}},
        {"a read fails", {FileOperation::Read, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(file, original);
        ScopedFileFault fault(file.string(), c.fault);
        EXPECT_FALSE(ShortenByCopy(file.string(), 2 * EditPieceBytes));
        EXPECT_TRUE(ReadFile(file) == original);
        EXPECT_TRUE(Others(file).empty());
    }
    EXPECT_FALSE(ShortenByCopy((dir / "missing" / "take.wav").string(), 10))
        << "no copy can be made in a folder that does not exist";
}

}  // namespace
}  // namespace kora486
