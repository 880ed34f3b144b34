#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>

#include "engine/SampleFormat.h"
#include "files/FileFaults.h"
#include "support/WavBuilder.h"
#include "surface/ControlFixture.h"
#include "surface/Kora486Ctrl.h"

namespace kora486 {
namespace {

using testing::Le32At;
using testing::ReadAll;
using testing::TextAt;
using testing::WavBuilder;
using testing::WriteAll;
namespace fs = std::filesystem;

// The layout of a PCM file with an 18-byte "fmt " body.
constexpr size_t RiffSizeAt = 4;
constexpr size_t DataSizeAt = 42;
constexpr size_t DataAt = 46;

// Frame i holds i on the left and 30000 + i on the right.
std::vector<uint8_t> StereoFrames(int count) {
    std::vector<uint8_t> data;
    for (int i = 0; i < count; ++i) {
        WavBuilder::Put16(data, static_cast<uint16_t>(i));
        WavBuilder::Put16(data, static_cast<uint16_t>(30000 + i));
    }
    return data;
}

std::vector<uint8_t> MonoFrames(int count) {
    std::vector<uint8_t> data;
    for (int i = 0; i < count; ++i) {
        WavBuilder::Put16(data, static_cast<uint16_t>(i));
    }
    return data;
}

std::vector<uint8_t> StereoWav(int frames) {
    return WavBuilder()
        .Riff()
        .Chunk("fmt ", WavBuilder::Format(1, 2, 8000, 16))
        .Chunk("data", StereoFrames(frames))
        .Bytes();
}

// The original frame number a 16-bit frame of the file now holds.
int FrameAt(const std::vector<uint8_t>& bytes, size_t dataAt, int frameBytes, int frame) {
    const size_t at = dataAt + static_cast<size_t>(frame * frameBytes);
    return bytes.at(at) | bytes.at(at + 1) << 8;
}

// Points TMPDIR at a folder for the life of the object.
class ScopedTmpDir {
public:
    explicit ScopedTmpDir(const fs::path& folder) {
        if (const char* old = std::getenv("TMPDIR")) {
            saved_ = old;
        }
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (saved_) {
            setenv("TMPDIR", saved_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

private:
    std::optional<std::string> saved_;
};

class Kora486CtrlEditTest : public testing::ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        name = Path("take.wav");
    }

    // Opens a 1000-frame 16-bit stereo 8000 Hz file at the position given.
    void OpenStereo(int32_t position) {
        WriteAll(name, StereoWav(1000));
        ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
        ASSERT_EQ(ctrl->PutCurrentSamplePosition(position), S_OK);
    }

    // The files in the test's folder: a copy left behind by a repack would show here.
    size_t FilesInFolder() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
    }

    std::string name;
};

TEST_F(Kora486CtrlEditTest, DeleteSamplesCutsAtThePositionAndKeepsTheFileLength) {
    struct Case {
        const char* name;
        int32_t position;
        int32_t frames;
        int32_t remaining;
    };
    const Case cases[] = {
        {"in the middle", 200, 100, 900},           {"exactly to the end", 200, 800, 200},
        {"past the end", 200, 5000, 200},           {"at the end", 1000, 50, 1000},
        {"the largest count", 200, INT32_MAX, 200}, {"nothing", 200, 0, 1000},
        {"a negative count", 200, -5, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenStereo(c.position);
        const auto before = ReadAll(name);
        ASSERT_EQ(ctrl->DeleteSamples(c.frames), ErrNone);
        EXPECT_EQ(ctrl->LastError(), ErrNone);
        EXPECT_EQ(ctrl->NumSamples(), c.remaining);
        EXPECT_EQ(ctrl->CurrentSamplePosition(), c.position);

        const auto after = ReadAll(name);
        EXPECT_EQ(after.size(), before.size()) << "the file keeps its length until a repack";
        EXPECT_EQ(Le32At(after, DataSizeAt), 4u * c.remaining);
        EXPECT_EQ(Le32At(after, RiffSizeAt), 38u + 4 * c.remaining);
        const int removed = 1000 - c.remaining;
        for (int frame : {0, c.position - 1, c.position, c.remaining - 1}) {
            if (frame >= 0 && frame < c.remaining) {
                const int expected = frame < c.position ? frame : frame + removed;
                EXPECT_EQ(FrameAt(after, DataAt, 4, frame), expected) << "frame " << frame;
                EXPECT_EQ(after.at(DataAt + 4 * frame + 2) | after.at(DataAt + 4 * frame + 3) << 8,
                          30000 + expected);
            }
        }
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlEditTest, DeleteTimeCountsFramesInTheFilesRate) {
    const auto mono = WavBuilder()
                          .Riff()
                          .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16))
                          .Chunk("data", MonoFrames(8000))
                          .Bytes();
    struct Case {
        double seconds;
        int32_t remaining;
    };
    const Case cases[] = {
        {0.5, 4000},  {0.0, 8000}, {-1.0, 8000}, {std::numeric_limits<double>::quiet_NaN(), 8000},
        {1e12, 1000},  // more frames than a count holds: to the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        WriteAll(name, mono);
        ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
        ctrl->PutCurrentSamplePosition(1000);
        EXPECT_EQ(ctrl->DeleteTime(c.seconds), ErrNone);
        EXPECT_EQ(ctrl->NumSamples(), c.remaining);
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlEditTest, EditsNeedAnIdleFileThatMayBeWritten) {
    using Member = std::function<int16_t(Kora486Ctrl&)>;
    const std::pair<const char*, Member> members[] = {
        {"DeleteSamples", [](Kora486Ctrl& c) { return c.DeleteSamples(10); }},
        {"DeleteTime", [](Kora486Ctrl& c) { return c.DeleteTime(0.01); }},
        {"RePack", [](Kora486Ctrl& c) { return c.RePack(); }},
    };
    struct Case {
        const char* name;
        std::function<void()> setUp;
        int16_t error;
    };
    const Case cases[] = {
        {"no file", [] {}, ErrWrongState},
        {"a play-only file",
         [this] {
             ASSERT_EQ(ctrl->PutPlayOnly(1), S_OK);
             OpenStereo(200);
         },
         ErrPlayOnly},
        {"playing",
         [this] {
             OpenStereo(0);
             ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
         },
         ErrWrongState},
    };
    for (const Case& c : cases) {
        for (const auto& [memberName, member] : members) {
            SCOPED_TRACE(std::string(c.name) + ", " + memberName);
            c.setUp();
            const auto before = ReadAll(name);
            const int32_t frames = ctrl->NumSamples();
            EXPECT_EQ(member(*ctrl), c.error);
            EXPECT_EQ(ctrl->LastError(), c.error);
            EXPECT_EQ(ctrl->NumSamples(), frames);
            ctrl->Stop();
            EXPECT_TRUE(ReadAll(name) == before);
            ASSERT_EQ(ctrl->Reset(), ErrNone);
            ASSERT_EQ(ctrl->PutPlayOnly(0), S_OK);
        }
    }
}

TEST_F(Kora486CtrlEditTest, RePackShortensTheFileToItsRiffChunk) {
    OpenStereo(200);
    ASSERT_EQ(ctrl->DeleteSamples(100), ErrNone);
    ASSERT_EQ(ctrl->RePack(), ErrNone);

    auto after = ReadAll(name);
    EXPECT_EQ(after.size(), 8 + Le32At(after, RiffSizeAt));
    EXPECT_EQ(after.size(), DataAt + 3600);
    EXPECT_EQ(ctrl->Status(), StatusFileOpen);
    EXPECT_EQ(ctrl->Filename(), name);
    EXPECT_EQ(ctrl->NumSamples(), 900);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 200);
    EXPECT_EQ(ctrl->TemporaryFile(), 0);
    EXPECT_EQ(FrameAt(after, DataAt, 4, 200), 300);
    EXPECT_EQ(FrameAt(after, DataAt, 4, 899), 999);
    EXPECT_EQ(FilesInFolder(), 1u) << "no copy is left behind";

    EXPECT_EQ(ctrl->RePack(), ErrNone) << "nothing left to do";
    EXPECT_EQ(ctrl->Status(), StatusFileOpen);
    EXPECT_EQ(ReadAll(name), after);

    // The reopened file goes on being edited from its position.
    ASSERT_EQ(ctrl->DeleteSamples(1), ErrNone);
    EXPECT_EQ(FrameAt(ReadAll(name), DataAt, 4, 200), 301);
}

TEST_F(Kora486CtrlEditTest, RePackOfATemporaryFileKeepsItTemporaryAndAtItsPosition) {
    ScopedTmpDir tmp(dir);
    UseFormat(FormatPcm16, 1, 8000);
    ASSERT_EQ(ctrl->OpenTemporaryFile(), ErrNone);
    const std::string temporary = ctrl->Filename();
    ASSERT_EQ(fs::path(temporary).parent_path(), dir);
    Record(3);  // 2400 frames
    ctrl->PutCurrentSamplePosition(1000);
    ASSERT_EQ(ctrl->DeleteSamples(800), ErrNone);
    ASSERT_EQ(ctrl->RePack(), ErrNone);

    EXPECT_EQ(ctrl->TemporaryFile(), 1);
    EXPECT_EQ(ctrl->Filename(), temporary);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 1000);
    EXPECT_EQ(ctrl->NumSamples(), 1600);
    EXPECT_EQ(fs::file_size(temporary), DataAt + 3200);
    EXPECT_EQ(FilesInFolder(), 1u);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_FALSE(fs::exists(temporary)) << "still deleted at close";
}

TEST_F(Kora486CtrlEditTest, ARecordingJustStoppedIsFinishedBeforeAnEdit) {
    UseFormat(FormatPcm16, 1, 8000);
    const std::pair<const char*, std::function<int16_t()>> edits[] = {
        {"DeleteSamples", [this] { return ctrl->DeleteSamples(800); }},
        {"RePack", [this] { return ctrl->RePack(); }},
    };
    for (const auto& [editName, edit] : edits) {
        SCOPED_TRACE(editName);
        ASSERT_EQ(ctrl->OpenNewFile(name), ErrNone);
        // The notification window has not brought the sizes up to date yet.
        ASSERT_EQ(ctrl->StartRecording(), ErrNone);
        CaptureBuffers(3);
        ctrl->Stop();
        ASSERT_EQ(Le32At(ReadAll(name), RiffSizeAt), 0u);
        ctrl->PutCurrentSamplePosition(800);

        ASSERT_EQ(edit(), ErrNone);
        const bool cut = std::string(editName) == "DeleteSamples";
        const uint32_t bytes = cut ? 3200 : 4800;
        const auto after = ReadAll(name);
        EXPECT_EQ(after.size(), DataAt + 4800) << "a new file has no spare bytes to repack";
        EXPECT_EQ(Le32At(after, DataSizeAt), bytes);
        EXPECT_EQ(Le32At(after, RiffSizeAt), 38 + bytes);
        EXPECT_EQ(ctrl->NumSamples(), cut ? 1600 : 2400);
        ctrl->FinishRecordingFile();  // the late notification changes nothing
        EXPECT_EQ(ReadAll(name), after);
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlEditTest, ANewFileIsNeverShortened) {
    ASSERT_EQ(ctrl->OpenNewFile(name), ErrNone);
    EXPECT_EQ(ctrl->RePack(), ErrNone);
    EXPECT_EQ(ctrl->Status(), StatusFileOpen);
    EXPECT_EQ(ReadAll(name).size(), DataAt);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(Le32At(ReadAll(name), RiffSizeAt), 38u);
}

TEST_F(Kora486CtrlEditTest, AFailedCopyLeavesTheOldFileOpenAndUnchanged) {
    struct Case {
        const char* name;
        FileFault fault;
    };
    const Case cases[] = {
        {"the old file does not open for the copy",
         {FileOperation::Open, 0, FaultKind::Fail, true}},
        {"a read of the copy stops short", {FileOperation::Read, 1000, FaultKind::Short, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenStereo(200);
        ASSERT_EQ(ctrl->DeleteSamples(100), ErrNone);
        const auto before = ReadAll(name);
        InjectFileFault(name, c.fault);

        EXPECT_EQ(ctrl->RePack(), ErrOperationFailed);
        EXPECT_EQ(ctrl->LastError(), ErrOperationFailed);
        EXPECT_EQ(ctrl->Status(), StatusFileOpen);
        EXPECT_EQ(ctrl->Filename(), name);
        EXPECT_EQ(ctrl->NumSamples(), 900);
        EXPECT_EQ(ctrl->CurrentSamplePosition(), 200);
        EXPECT_EQ(ReadAll(name), before);
        EXPECT_EQ(FilesInFolder(), 1u);
        ClearFileFaults();
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlEditTest, ADataOnlyFileIsCutAndRepacked) {
    ASSERT_EQ(ctrl->PutDataOnly(1), S_OK);
    UseFormat(FormatPcm16, 1, 8000);
    WriteAll(name, MonoFrames(1000));
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    ctrl->PutCurrentSamplePosition(200);
    ASSERT_EQ(ctrl->DeleteSamples(100), ErrNone);
    EXPECT_EQ(ctrl->NumSamples(), 900);
    EXPECT_EQ(ReadAll(name).size(), 2000u);

    ASSERT_EQ(ctrl->RePack(), ErrNone);
    const auto after = ReadAll(name);
    ASSERT_EQ(after.size(), 1800u);
    EXPECT_EQ(FrameAt(after, 0, 2, 199), 199);
    EXPECT_EQ(FrameAt(after, 0, 2, 200), 300);
    EXPECT_EQ(FrameAt(after, 0, 2, 899), 999);
    EXPECT_EQ(ctrl->NumSamples(), 900);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 200);
}

TEST_F(Kora486CtrlEditTest, AListChunkAfterTheDataStaysInsideTheFile) {
    std::vector<uint8_t> info = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M',
                                 4,   0,   0,   0,   'T', 'a', 'k', 'e'};
    const auto list = WavBuilder().Chunk("LIST", info).Bytes();
    WriteAll(name, WavBuilder()
                       .Riff()
                       .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16))
                       .Chunk("data", MonoFrames(1000))
                       .Raw(list)
                       .Bytes());
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    ctrl->PutCurrentSamplePosition(200);
    ASSERT_EQ(ctrl->DeleteSamples(100), ErrNone);
    ASSERT_EQ(ctrl->RePack(), ErrNone);

    const auto after = ReadAll(name);
    const size_t dataEnd = DataAt + 1800;
    ASSERT_EQ(after.size(), dataEnd + list.size());
    EXPECT_EQ(Le32At(after, RiffSizeAt), after.size() - 8);
    EXPECT_TRUE(std::equal(list.begin(), list.end(), after.begin() + dataEnd));
    EXPECT_EQ(FrameAt(after, DataAt, 2, 200), 300);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(name), after) << "the close has nothing to change";
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    EXPECT_EQ(ctrl->NumSamples(), 900);
    EXPECT_TRUE(ctrl->State().TrailingChunks == list);
}

TEST_F(Kora486CtrlEditTest, AMuLawFileKeepsItsFrameCountThroughRePack) {
    constexpr size_t FactValueAt = 46;
    constexpr size_t MuLawDataAt = 58;
    UseFormat(FormatMuLaw, 1, 8000);
    ASSERT_EQ(ctrl->OpenNewFile(name), ErrNone);
    Record(3);  // 2400 frames; the fact value on disk is still 0
    ctrl->PutCurrentSamplePosition(1000);
    ASSERT_EQ(ctrl->DeleteSamples(400), ErrNone);
    ASSERT_EQ(ctrl->RePack(), ErrNone);

    EXPECT_EQ(ctrl->NumSamples(), 2000);
    const auto after = ReadAll(name);
    EXPECT_EQ(after.size(), MuLawDataAt + 2000);
    EXPECT_EQ(TextAt(after, 38), "fact");
    EXPECT_EQ(Le32At(after, FactValueAt), 2000u);
}

}  // namespace
}  // namespace kora486
