#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "engine/G711.h"
#include "engine/SampleFormat.h"
#include "engine/ToneGenerator.h"
#include "shell/DesktopMixer.h"
#include "support/CountingSource.h"
#include "support/WavBuilder.h"
#include "surface/ControlFixture.h"

namespace kora486 {
namespace {

using namespace std::chrono_literals;
using testing::CountingSource;
using testing::Le32At;
using testing::ReadAll;
using testing::WavBuilder;
using testing::WriteAll;
namespace fs = std::filesystem;

constexpr size_t DataOffset = 44;         // of the canonical PCM files below
constexpr size_t NewFileDataOffset = 46;  // of the control's own, whose format has a cbSize

// Where the sound of a file made here or by the control begins.
size_t DataOffsetOf(const std::vector<uint8_t>& file) {
    return file.size() > 36 && file[36] == 'd' ? DataOffset : NewFileDataOffset;
}

// 16-bit samples from a formula, as little-endian bytes.
template <typename F>
std::vector<uint8_t> Samples16(size_t count, F value) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        WavBuilder::Put16(bytes, static_cast<uint16_t>(value(i)));
    }
    return bytes;
}

// What the counting input captures: sample k holds k.
std::vector<uint8_t> Counting(size_t first, size_t count) {
    return Samples16(count, [first](size_t i) { return first + i; });
}

// Sound that is neither the counting input nor a tone: sample i holds 20000 - 3i.
std::vector<uint8_t> OldSound(size_t samples) {
    return Samples16(samples, [](size_t i) { return 20000 - 3 * i; });
}

std::vector<uint8_t> Pcm16Wav(uint16_t channels, uint32_t rate, const std::vector<uint8_t>& data) {
    return WavBuilder()
        .Riff()
        .Chunk("fmt ", WavBuilder::Format(1, channels, rate, 16, 16))
        .Chunk("data", data)
        .Bytes();
}

std::vector<uint8_t> DataOf(const std::vector<uint8_t>& file) {
    return {file.begin() + static_cast<ptrdiff_t>(DataOffsetOf(file)), file.end()};
}

std::vector<uint8_t> Tone(const WaveFormatEx& format, double seconds) {
    std::vector<uint8_t> tone;
    RenderTone(format, 0, ToneFrames(seconds, format.samplesPerSec), tone);
    return tone;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// A control whose input counts, with temporary files made in a folder of the test's own.
class Kora486CtrlTransportTest : public testing::ControlTest {
protected:
    void SetUp() override {
        source = [] { return std::make_unique<CountingSource>(); };
        if (const char* old = std::getenv("TMPDIR")) {
            oldTmpdir_ = old;
        }
        testing::ControlTest::SetUp();
        fs::create_directory(dir / "tmp");
        setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    }

    void TearDown() override {
        testing::ControlTest::TearDown();
        if (oldTmpdir_) {
            setenv("TMPDIR", oldTmpdir_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

    bool TemporaryFolderIsEmpty() const { return fs::is_empty(dir / "tmp"); }

    std::string OpenWav(const std::string& name, const std::vector<uint8_t>& image) {
        const std::string path = Path(name);
        WriteAll(path, image);
        EXPECT_EQ(ctrl->OpenExistingOrNewFile(path), ErrNone);
        return path;
    }

    // The file as the header says: both sizes match what is there.
    static void ExpectConsistent(const std::vector<uint8_t>& file, size_t dataBytes) {
        const size_t offset = DataOffsetOf(file);
        ASSERT_EQ(file.size(), offset + dataBytes + dataBytes % 2);
        EXPECT_EQ(Le32At(file, 4), file.size() - 8);
        EXPECT_EQ(Le32At(file, offset - 4), dataBytes);
    }

private:
    std::optional<std::string> oldTmpdir_;
};

TEST_F(Kora486CtrlTransportTest, InsertOfOneSecondAtTheStartOfATenSecondFile) {
    const auto old = OldSound(2 * 441000);
    const std::string path = OpenWav("ten.wav", Pcm16Wav(2, 44100, old));
    ASSERT_EQ(ctrl->NumSamples(), 441000);
    ASSERT_EQ(ctrl->PutInsert(1), S_OK);
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);

    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    CaptureBuffers(5);
    // The recording keeps the mode it started in, and its position cannot move.
    ASSERT_EQ(ctrl->PutInsert(0), S_OK);
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(100), S_OK);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 22050);
    CaptureBuffers(5);
    EXPECT_FALSE(TemporaryFolderIsEmpty()) << "the sound waits in a TVM file";
    ctrl->Stop();
    ctrl->FinishRecordingFile();

    EXPECT_EQ(ctrl->CurrentSamplePosition(), 44100);
    EXPECT_EQ(ctrl->NumSamples(), 485100);
    EXPECT_TRUE(TemporaryFolderIsEmpty());
    EXPECT_EQ(ctrl->LastError(), ErrNone);
    const auto file = ReadAll(path);
    ExpectConsistent(file, 1764000 + 176400);
    auto expected = Counting(0, 2 * 44100);
    Append(expected, old);
    EXPECT_TRUE(DataOf(file) == expected) << "new sound first, the old sound unchanged after it";
}

TEST_F(Kora486CtrlTransportTest, OverwriteRecordings) {
    struct Case {
        const char* name;
        int32_t start;
        int32_t numSamples;  // after two buffers of 800 frames
    };
    const Case cases[] = {
        {"in the middle: the tail is untouched", 2000, 8000},
        {"from near the end: the file grows", 7500, 9100},
        {"at the end", 8000, 9600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto old = OldSound(8000);
        const std::string path = OpenWav("over.wav", Pcm16Wav(1, 8000, old));
        ASSERT_EQ(ctrl->PutCurrentSamplePosition(c.start), S_OK);
        Record(2);
        EXPECT_EQ(ctrl->CurrentSamplePosition(), c.start + 1600);
        EXPECT_EQ(ctrl->NumSamples(), c.numSamples);
        ASSERT_EQ(ctrl->Reset(), ErrNone);

        auto expected = old;
        expected.resize(2 * static_cast<size_t>(c.numSamples));
        const auto recorded = Counting(0, 1600);
        std::copy(recorded.begin(), recorded.end(), expected.begin() + 2 * c.start);
        const auto file = ReadAll(path);
        ExpectConsistent(file, expected.size());
        EXPECT_TRUE(DataOf(file) == expected);
    }
}

TEST_F(Kora486CtrlTransportTest, InsertThatWritesNothingLeavesTheFileAsItWas) {
    const auto image = Pcm16Wav(1, 8000, OldSound(8000));
    const std::string path = OpenWav("paused.wav", image);
    ASSERT_EQ(ctrl->PutInsert(1), S_OK);
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(4000), S_OK);
    ASSERT_EQ(ctrl->PutPaused(1), S_OK);
    Record(3);
    EXPECT_EQ(ctrl->NumSamples(), 8000);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 4000);
    EXPECT_TRUE(TemporaryFolderIsEmpty());
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(path), image);
}

TEST_F(Kora486CtrlTransportTest, RecordLimitOfOneFrameRecordsOneBufferAndStopsWith13) {
    ASSERT_EQ(ctrl->OpenNewFile(Path("limit.wav")), ErrNone);  // 16-bit stereo 44100
    ASSERT_EQ(ctrl->PutRecordLimit(1), S_OK);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    CaptureBuffers(1);
    ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);  // finds the limit reached
    ASSERT_TRUE(WaitForStatus(StatusFileOpen));
    ctrl->FinishRecordingFile();

    EXPECT_EQ(ctrl->State().RecordedSamples.load(), 4410);
    EXPECT_EQ(ctrl->NumSamples(), 4410);
    EXPECT_EQ(ctrl->State().StopError.load(), ErrRecordLimit);
    EXPECT_EQ(ctrl->LastError(), ErrRecordLimit);
    EXPECT_EQ(ctrl->StartRecording(), ErrRecordLimit) << "the limit holds for the whole file";
    EXPECT_EQ(ctrl->Status(), StatusFileOpen);
    ExpectConsistent(ReadAll(Path("limit.wav")), 17640);
}

TEST_F(Kora486CtrlTransportTest, RecordingStopsBeforeTheFileOutgrowsItsSizes) {
    // Lowered limits stand for 4 GiB of data and 2^31 - 1 frames: room for 2000 frames.
    struct Case {
        const char* name;
        int64_t maxRiffSize;
        int32_t maxFrames;
    };
    const Case cases[] = {
        {"RIFF size", 4000 + NewFileDataOffset - 8 + 1, INT32_MAX},
        {"frame count", UINT32_MAX, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseFormat(FormatPcm16, 1, 8000);
        const std::string path = Path("full.wav");
        ASSERT_EQ(ctrl->OpenNewFile(path), ErrNone);
        ctrl->State().MaxRiffSize = c.maxRiffSize;
        ctrl->State().MaxFrames = c.maxFrames;
        ASSERT_EQ(ctrl->StartRecording(), ErrNone);
        CaptureBuffers(2);
        ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);  // 2400 frames would not fit
        ASSERT_TRUE(WaitForStatus(StatusFileOpen));
        ctrl->FinishRecordingFile();

        EXPECT_EQ(ctrl->LastError(), ErrRecordLimit);
        EXPECT_EQ(ctrl->NumSamples(), 1600);
        const auto file = ReadAll(path);
        ExpectConsistent(file, 3200);
        EXPECT_TRUE(DataOf(file) == Counting(0, 1600));
        ctrl->State().MaxRiffSize = UINT32_MAX;
        ctrl->State().MaxFrames = INT32_MAX;
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlTransportTest, FailedWriteStopsWith8AndKeepsWhatWasWritten) {
    UseFormat(FormatPcm16, 1, 8000);
    const std::string path = Path("fails.wav");
    ASSERT_EQ(ctrl->OpenNewFile(path), ErrNone);
    InjectFileFault(path, {FileOperation::Write, NewFileDataOffset + 3200, FaultKind::Fail});
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    CaptureBuffers(2);
    ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);
    ASSERT_TRUE(WaitForStatus(StatusFileOpen));
    ClearFileFaults();
    ctrl->FinishRecordingFile();

    EXPECT_EQ(ctrl->State().StopError.load(), ErrRecordWrite);
    EXPECT_EQ(ctrl->LastError(), ErrRecordWrite);
    EXPECT_EQ(ctrl->NumSamples(), 1600);
    const auto file = ReadAll(path);
    ExpectConsistent(file, 3200);
    EXPECT_TRUE(DataOf(file) == Counting(0, 1600));
}

TEST_F(Kora486CtrlTransportTest, EveryStretchBetweenPausesIsFramedByItsTones) {
    const WaveFormatEx format = BuildWaveFormat(FormatPcm16, 1, 8000);
    const auto pre = Tone(format, 0.05);    // 400 frames
    const auto post = Tone(format, 0.025);  // 200 frames
    ASSERT_EQ(pre.size(), 800u);

    // Three stretches of sound; the input counts on while a pause drops its buffers.
    std::vector<uint8_t> stretches;
    for (const auto& [first, frames] : {std::pair{0, 1600}, {2400, 1600}, {4800, 800}}) {
        Append(stretches, pre);
        Append(stretches, Counting(static_cast<size_t>(first), static_cast<size_t>(frames)));
        Append(stretches, post);
    }

    for (const bool insert : {false, true}) {
        SCOPED_TRACE(insert ? "insert" : "overwrite");
        const auto old = OldSound(1000);
        const std::string path = OpenWav("tones.wav", Pcm16Wav(1, 8000, old));
        ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
        ASSERT_EQ(ctrl->PutInsert(insert ? 1 : 0), S_OK);
        ASSERT_EQ(ctrl->PutPreToneDuration(0.05f), S_OK);
        ASSERT_EQ(ctrl->PutPostToneDuration(0.025f), S_OK);
        ASSERT_EQ(ctrl->StartRecording(), ErrNone);
        for (const int paused : {0, 0, 1, 0, 0, 1, 0}) {
            ASSERT_EQ(ctrl->PutPaused(static_cast<int16_t>(paused)), S_OK);
            CaptureBuffers(1);
        }
        ctrl->Stop();
        ctrl->FinishRecordingFile();

        auto expected = stretches;
        if (insert) {
            Append(expected, old);
        }
        EXPECT_EQ(ctrl->NumSamples(), static_cast<int32_t>(expected.size() / 2));
        EXPECT_EQ(ctrl->CurrentSamplePosition(), static_cast<int32_t>(stretches.size() / 2));
        EXPECT_EQ(ctrl->State().RecordedSamples.load(), 4000) << "tones are not counted";
        EXPECT_TRUE(DataOf(ReadAll(path)) == expected);
        ASSERT_EQ(ctrl->PutInsert(0), S_OK);
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlTransportTest, G711RecordingWritesOneByteForEveryDeviceSample) {
    for (const SampleFormatCode code : {FormatALaw, FormatMuLaw}) {
        SCOPED_TRACE(code);
        UseFormat(code, 1, 8000);
        const std::string path = Path("g711.wav");
        ASSERT_EQ(ctrl->OpenNewFile(path), ErrNone);
        ASSERT_EQ(ctrl->PutPreToneDuration(0.0625f), S_OK);  // 500 tone codes first
        Record(3);                                           // device buffers of 1600 bytes
        EXPECT_EQ(ctrl->NumSamples(), 500 + 2400);
        ASSERT_EQ(ctrl->Reset(), ErrNone);

        const auto file = ReadAll(path);
        const auto data = std::vector<uint8_t>(file.end() - 2400, file.end());
        for (size_t i = 0; i < data.size(); ++i) {
            const auto sample = static_cast<int16_t>(i);
            ASSERT_EQ(data[i], code == FormatALaw ? LinearToALaw(sample) : LinearToMuLaw(sample))
                << "sample " << i;
        }
        ASSERT_EQ(ctrl->PutPreToneDuration(0.0f), S_OK);
    }
}

TEST_F(Kora486CtrlTransportTest, PlaybackToTheEnd) {
    struct Case {
        const char* name;
        int32_t frames;
        size_t afterTen;  // buffers still queued once the first ten have played
    };
    const Case cases[] = {
        {"1 s: ten full buffers", 44100, 0},
        {"1.05 s: an eleventh of half a buffer", 46305, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sound = OldSound(2 * static_cast<size_t>(c.frames));
        OpenWav("play.wav", Pcm16Wav(2, 44100, sound));
        ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
        played->Clear();
        ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
        EXPECT_EQ(ctrl->Status(), StatusPlaying);
        EXPECT_EQ(devices.QueuedOutputBuffers(), 10u);
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(devices.CompleteOutputBuffers(1), 1u);
        }
        EXPECT_EQ(played->Size(), 176400u) << "ten buffers of 17640 bytes";
        if (c.afterTen > 0) {
            ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(c.afterTen, 5s));
        }
        PlayToTheEnd();

        EXPECT_EQ(played->Bytes(), sound) << "every byte once, in order";
        EXPECT_EQ(ctrl->CurrentSamplePosition(), c.frames);
        EXPECT_EQ(ctrl->State().StopError.load(), ErrNone);
        const auto codes = Notifications();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), NotifyPlaybackStopped), 1);
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlTransportTest, PlaybackThatCannotStart) {
    EXPECT_EQ(ctrl->StartPlayback(), ErrWrongState) << "no file open";
    EXPECT_EQ(ctrl->LastError(), ErrWrongState);
    EXPECT_EQ(ctrl->LastError(), ErrNone) << "reading clears it";

    OpenWav("end.wav", Pcm16Wav(1, 8000, OldSound(800)));
    ASSERT_EQ(ctrl->CurrentSamplePosition(), 800) << "a file opens at its end";
    EXPECT_EQ(ctrl->StartPlayback(), ErrPlayStart);
    EXPECT_EQ(ctrl->Status(), StatusFileOpen);
    EXPECT_EQ(ctrl->LastError(), ErrPlayStart);
    EXPECT_EQ(devices.QueuedOutputBuffers(), 0u);
}

TEST_F(Kora486CtrlTransportTest, PausedPlaybackKeepsItsBuffersAndResumesASecondOn) {
    OpenWav("pause.wav", Pcm16Wav(1, 8000, OldSound(24000)));
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
    ASSERT_EQ(ctrl->PutPaused(1), S_OK);
    ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
    EXPECT_EQ(devices.QueuedOutputBuffers(), 10u) << "filled, but not sounding";
    EXPECT_EQ(devices.CompleteOutputBuffers(1), 0u);

    ASSERT_EQ(ctrl->PutPaused(0), S_OK);
    ASSERT_TRUE(devices.WaitForOutputRunning(true, 5s));
    ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(10, 5s));
    // Resuming hands the queued ring back as played: the sound goes on from where reading was.
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 8000);
    ASSERT_EQ(devices.CompleteOutputBuffers(2), 2u);
    ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(10, 5s));

    ASSERT_EQ(ctrl->PutPaused(1), S_OK);
    ASSERT_TRUE(devices.WaitForOutputRunning(false, 5s));
    EXPECT_EQ(devices.CompleteOutputBuffers(1), 0u);
    EXPECT_EQ(devices.QueuedOutputBuffers(), 10u);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 9600);

    ASSERT_EQ(ctrl->PutPaused(0), S_OK);
    PlayToTheEnd();
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 24000);
    EXPECT_EQ(ctrl->State().StopError.load(), ErrNone);
}

TEST_F(Kora486CtrlTransportTest, PositionRules) {
    EXPECT_EQ(ctrl->PutCurrentSamplePosition(10), S_OK);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 0) << "ignored with no file open";
    ctrl->PutCurrentTimePosition(1.0);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 0);

    OpenWav("pos.wav", Pcm16Wav(1, 8000, OldSound(1000)));
    struct Case {
        int32_t put;
        int32_t position;
    };
    for (const Case& c : {Case{-5, 1000}, {2000, 1000}, {500, 500}, {0, 0}, {1000, 1000}}) {
        SCOPED_TRACE(c.put);
        ASSERT_EQ(ctrl->PutCurrentSamplePosition(c.put), S_OK);
        EXPECT_EQ(ctrl->CurrentSamplePosition(), c.position);
    }
    ctrl->PutCurrentTimePosition(0.0625);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 500);
    EXPECT_DOUBLE_EQ(ctrl->CurrentTimePosition(), 0.0625);
    EXPECT_DOUBLE_EQ(ctrl->TotalTime(), 0.125);
    ctrl->PutCurrentTimePosition(-1.0);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 1000) << "negative means the end";
    ctrl->PutCurrentTimePosition(1e300);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 1000);
}

TEST_F(Kora486CtrlTransportTest, PositionMovedWhilePlayingTakesEffectAtTheNextRefill) {
    const auto sound = OldSound(40000);
    OpenWav("move.wav", Pcm16Wav(1, 8000, sound));
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
    played->Clear();
    ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
    ASSERT_EQ(devices.CompleteOutputBuffers(1), 1u);
    ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(10, 5s));  // refilled with 8000..8799

    ASSERT_EQ(ctrl->PutCurrentSamplePosition(16000), S_OK);
    PlayToTheEnd();
    // The second already queued plays out; the refills after the move read from 24000 on.
    std::vector<uint8_t> expected(sound.begin(), sound.begin() + 2 * 8800);
    expected.insert(expected.end(), sound.begin() + 2 * 24000, sound.end());
    EXPECT_TRUE(played->Bytes() == expected);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 40000);
}

TEST_F(Kora486CtrlTransportTest, PositionMovedDuringAnOverwriteRecording) {
    const auto old = OldSound(8000);
    const std::string path = OpenWav("jump.wav", Pcm16Wav(1, 8000, old));
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    CaptureBuffers(1);
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(5000), S_OK);
    CaptureBuffers(1);
    ctrl->Stop();
    ctrl->FinishRecordingFile();

    auto expected = old;
    const auto first = Counting(0, 800);
    const auto second = Counting(800, 800);
    std::copy(first.begin(), first.end(), expected.begin());
    std::copy(second.begin(), second.end(), expected.begin() + 2 * 5000);
    EXPECT_TRUE(DataOf(ReadAll(path)) == expected);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 5800);
}

TEST_F(Kora486CtrlTransportTest, VoxPausesAfterVoxTimePlusOneQuietBuffers) {
    // Two buffers of sound, six quiet ones, two of sound; mono, so channels 2 and 3 mean 1.
    source = [] { return MakeLevelsSource({-20, -20, -50, -50, -50, -50, -50, -50, -20, -20}); };
    struct Case {
        int16_t channel;
        int32_t frames;
        int voxChanges;
    };
    for (const Case& c : {Case{1, 7 * 800, 2}, {2, 7 * 800, 2}, {3, 7 * 800, 2}, {0, 8000, 0}}) {
        SCOPED_TRACE(c.channel);
        UseFormat(FormatPcm16, 1, 8000);
        ASSERT_EQ(ctrl->OpenNewFile(Path("vox.wav")), ErrNone);
        ASSERT_EQ(ctrl->PutVoxChannel(c.channel), S_OK);
        ASSERT_EQ(ctrl->PutVoxStartLevel(-30.0f), S_OK);
        ASSERT_EQ(ctrl->PutVoxStopLevel(-40.0f), S_OK);
        ASSERT_EQ(ctrl->PutVoxTime(3), S_OK);
        Notifications();
        ASSERT_EQ(ctrl->StartRecording(), ErrNone);
        EXPECT_EQ(ctrl->PutVoxChannel(1), DISP_E_EXCEPTION);
        EXPECT_EQ(ctrl->PropertyErrorDescription(),
                  "VoxChannel cannot be changed during recording");
        int16_t pausedAfter[10];
        for (int16_t& paused : pausedAfter) {
            CaptureBuffers(1);
            paused = ctrl->VoxPaused();
        }
        ctrl->Stop();
        const auto codes = Notifications();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), NotifyVoxState), c.voxChanges);
        EXPECT_EQ(ctrl->NumSamples(), c.frames) << "buffers paused by VOX are dropped";
        if (c.channel != 0) {
            // The fourth quiet buffer (the sixth) pauses; the first loud one resumes.
            const int16_t expected[10] = {0, 0, 0, 0, 0, 1, 1, 1, 0, 0};
            EXPECT_TRUE(std::equal(std::begin(pausedAfter), std::end(pausedAfter), expected));
        }
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }
}

TEST_F(Kora486CtrlTransportTest, GetLevelsReportsTheRunAndAnOverloadForTenBuffers) {
    source = [] {
        return MakeLevelsSource(
            {0, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999});
    };
    float left = 1, right = 1;
    int16_t leftOver = 1, rightOver = 1;
    ctrl->GetLevels(left, leftOver, right, rightOver);
    EXPECT_EQ(std::tuple(left, leftOver, right, rightOver), std::tuple(0.0f, 0, 0.0f, 0));

    UseFormat(FormatPcm16, 1, 8000);
    ASSERT_EQ(ctrl->OpenNewFile(Path("levels.wav")), ErrNone);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    for (int buffer = 0; buffer < 12; ++buffer) {
        SCOPED_TRACE(buffer);
        CaptureBuffers(1);
        ctrl->GetLevels(left, leftOver, right, rightOver);
        EXPECT_EQ(leftOver, buffer < 10 ? 1 : 0);
        EXPECT_NEAR(left, buffer == 0 ? -0.000265f : SilenceLevel, 1e-6);
        EXPECT_EQ(std::tuple(right, rightOver), std::tuple(left, leftOver)) << "mono";
    }
    ctrl->Stop();
    ctrl->GetLevels(left, leftOver, right, rightOver);
    EXPECT_EQ(std::tuple(left, leftOver, right, rightOver), std::tuple(0.0f, 0, 0.0f, 0));
}

TEST_F(Kora486CtrlTransportTest, ResetWhileRunningStopsAndClosesTheFile) {
    for (const bool recording : {true, false}) {
        SCOPED_TRACE(recording ? "recording" : "playing");
        UseFormat(FormatPcm16, 1, 8000);
        const std::string path = Path(recording ? "rec.wav" : "play.wav");
        ASSERT_EQ(ctrl->OpenNewFile(path), ErrNone);
        if (recording) {
            ASSERT_EQ(ctrl->StartRecording(), ErrNone);
            CaptureBuffers(2);
        } else {
            Record(2);
            ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
            ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
        }
        Notifications();
        EXPECT_EQ(ctrl->Reset(), ErrNone);
        EXPECT_EQ(ctrl->Status(), StatusReady);
        EXPECT_EQ(ctrl->NumSamples(), 0);
        const auto codes = Notifications();
        EXPECT_EQ(std::count(codes.begin(), codes.end(),
                             recording ? NotifyRecordingStopped : NotifyPlaybackStopped),
                  1)
            << "the stopped event still follows";
        ExpectConsistent(ReadAll(path), 3200);
        ctrl->FinishRecordingFile();  // the late notification finds no open file
    }
}

TEST_F(Kora486CtrlTransportTest, StartsThatAreRefusedOrFail) {
    EXPECT_EQ(ctrl->StartRecording(), ErrWrongState);
    ASSERT_EQ(ctrl->PutPlayOnly(1), S_OK);
    EXPECT_EQ(ctrl->StartRecording(), ErrPlayOnly) << "PlayOnly is tested first";
    ASSERT_EQ(ctrl->PutPlayOnly(0), S_OK);

    UseFormat(FormatPcm16, 1, 8000);
    ASSERT_EQ(ctrl->OpenNewFile(Path("devices.wav")), ErrNone);
    ASSERT_EQ(ctrl->PutRecordDevice(99), S_OK) << "no test against the device count";
    EXPECT_EQ(ctrl->StartRecording(), ErrRecordStart);
    EXPECT_EQ(ctrl->Status(), StatusFileOpen);
    EXPECT_TRUE(TemporaryFolderIsEmpty());
    ASSERT_EQ(ctrl->PutRecordDevice(-1), S_OK);
    Record(2);

    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
    ASSERT_EQ(ctrl->PutPlaybackDevice(99), S_OK);
    EXPECT_EQ(ctrl->StartPlayback(), ErrPlayStart);
    ASSERT_EQ(ctrl->PutPlaybackDevice(-1), S_OK);
    EXPECT_EQ(ctrl->StartPlayback(), ErrNone);
}

TEST_F(Kora486CtrlTransportTest, DevicesAndMixer) {
    EXPECT_EQ(ctrl->NRecordDevices(), 1);
    EXPECT_EQ(ctrl->NPlaybackDevices(), 1);
    EXPECT_EQ(ctrl->RecordDeviceName(-1), "Virtual Input") << "-1 is the default device";
    EXPECT_EQ(ctrl->PlaybackDeviceName(0), "Virtual Output");
    EXPECT_EQ(ctrl->RecordDeviceName(1), "") << "past the count: empty, no error";
    EXPECT_EQ(ctrl->LastError(), ErrNone);

    setenv(MixerVariable, (dir / "no-such-mixer").c_str(), 1);
    EXPECT_EQ(ctrl->ShowMixer(1), ErrOperationFailed);
    EXPECT_EQ(ctrl->LastError(), ErrOperationFailed);
    unsetenv(MixerVariable);
}

TEST_F(Kora486CtrlTransportTest, SettingsRefusedWithTheirTexts) {
    struct Case {
        std::function<HResult(Kora486Ctrl&)> put;
        const char* text;
    };
    const Case cases[] = {
        {[](auto& c) { return c.PutPreToneDuration(-0.5f); },
         "KORA486 PreToneDuration must be non-negative"},
        {[](auto& c) { return c.PutPostToneDuration(std::nanf("")); },
         "KORA486 PostToneDuration must be non-negative"},
        {[](auto& c) { return c.PutRecordLimit(-1); },
         "KORA486 RecordLimit must be zero or positive"},
        {[](auto& c) { return c.PutInsert(2); }, "KORA486 Insert must be 0 or 1"},
        {[](auto& c) { return c.PutRecordDevice(-2); },
         "KORA486 RecordDevice must be -1, 0 or positive"},
        {[](auto& c) { return c.PutPlaybackDevice(-2); },
         "KORA486 PlaybackDevice must be -1, 0 or positive"},
        {[](auto& c) { return c.PutVoxChannel(4); }, "VoxChannel must be 0..3"},
        {[](auto& c) { return c.PutVoxStartLevel(0.5f); }, "VoxStartLevel must be 0 or negative"},
        {[](auto& c) { return c.PutVoxStopLevel(0.1f); }, "VoxStopLevel must be 0 or negative"},
        {[](auto& c) { return c.PutVoxTime(-1); }, "VoxTime must be 0 or positive"},
        {[](auto& c) { return c.PutNumSegments(0); },
         "KORA486 NumSegments must be in the range 1 to 20"},
        {[](auto& c) { return c.PutNumSegments(21); },
         "KORA486 NumSegments must be in the range 1 to 20"},
        {[](auto& c) { return c.PutOrientation(4); },
         "KORA486 Orientation must be in the range 0 to 3"},
        {[](auto& c) { return c.PutStyle(2); }, "KORA486 Style must be 0 or 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.put(*ctrl), DISP_E_EXCEPTION);
        EXPECT_EQ(ctrl->PropertyErrorDescription(), c.text);
    }
    EXPECT_EQ(ctrl->PreToneDuration(), 0.0f);
    EXPECT_EQ(ctrl->Insert(), 0);
    EXPECT_EQ(ctrl->RecordDevice(), -1);
    EXPECT_EQ(ctrl->VoxTime(), 0);
    EXPECT_EQ(ctrl->NumSegments(), 8);
    EXPECT_EQ(ctrl->PutNumSegments(20), S_OK);
    EXPECT_EQ(ctrl->PutNumSegments(1), S_OK);
    EXPECT_EQ(ctrl->NumSegments(), 1);

    ASSERT_EQ(ctrl->PutSampleRate(8000), S_OK);
    ASSERT_EQ(ctrl->PutRecordLimit(8001), S_OK);
    EXPECT_DOUBLE_EQ(ctrl->RecordTimeLimit(), 1.000125);
    EXPECT_EQ(ctrl->PutVoxStartLevel(0.0f), S_OK);
}

}  // namespace
}  // namespace kora486

namespace kora486 {
namespace {

// Devices that complete every buffer the moment it is queued: a run can start and end before
// the host's start call looks at the engine again.
TEST(Kora486CtrlFastDevicesTest, RunsThatEndAtOnceStillStartAndStop) {
    VirtualDeviceConfig config;
    config.clock = VirtualClock::Fast;
    VirtualDevices devices(std::move(config));
    Kora486Ctrl ctrl(devices);
    ASSERT_EQ(ctrl.Reset(), ErrNone);
    ASSERT_EQ(ctrl.PutSampleRate(8000), S_OK);
    ASSERT_EQ(ctrl.PutNumChannels(1), S_OK);
    char pattern[] = "/tmp/kora486-fast-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/fast.wav";
    for (int run = 0; run < 50; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(ctrl.OpenNewFile(path), ErrNone);
        ASSERT_EQ(ctrl.PutRecordLimit(800), S_OK);
        ASSERT_EQ(ctrl.StartRecording(), ErrNone);
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (ctrl.Status() != StatusFileOpen && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(ctrl.Status(), StatusFileOpen);
        EXPECT_EQ(ctrl.LastError(), ErrRecordLimit);
        ctrl.FinishRecordingFile();
        ASSERT_EQ(ctrl.PutCurrentSamplePosition(0), S_OK);
        ASSERT_EQ(ctrl.StartPlayback(), ErrNone);
        while (ctrl.Status() != StatusFileOpen && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(ctrl.Status(), StatusFileOpen);
        EXPECT_EQ(ctrl.CurrentSamplePosition(), 800);
    }
    ASSERT_EQ(ctrl.Reset(), ErrNone);
    std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace kora486
