#include "files/MemoryMmioFile.h"

#include <gtest/gtest.h>

namespace kora486 {
namespace {

TEST(MemoryMmioFile, SeeksFromEachOriginAndRefusesBeforeTheStart) {
    MemoryMmioFile file(std::vector<uint8_t>(10, 0));
    struct Case {
        int64_t offset;
        SeekOrigin origin;
        int64_t expected;
    };
    const Case cases[] = {
        {4, SeekOrigin::Start, 4}, {2, SeekOrigin::Current, 6},    {-3, SeekOrigin::End, 7},
        {5, SeekOrigin::End, 15},  {-16, SeekOrigin::Current, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(file.Seek(c.offset, c.origin), c.expected) << c.offset;
    }
    EXPECT_EQ(file.Position(), 15) << "a refused seek leaves the position";
}

TEST(MemoryMmioFile, ReadsShortAtTheEndAndWritesGrowTheFile) {
    MemoryMmioFile file;
    const uint8_t bytes[] = {1, 2, 3, 4};
    file.Seek(2, SeekOrigin::Start);
    EXPECT_EQ(file.Write(bytes, 4), 4);
    EXPECT_EQ(file.Bytes(), (std::vector<uint8_t>{0, 0, 1, 2, 3, 4}));

    uint8_t back[8] = {};
    file.Seek(3, SeekOrigin::Start);
    EXPECT_EQ(file.Read(back, 8), 3);
    EXPECT_EQ(back[0], 2);
    EXPECT_EQ(file.Read(back, 8), 0);
    EXPECT_EQ(file.Read(back, -1), -1);
}

}  // namespace
}  // namespace kora486
