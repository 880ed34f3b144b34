#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "engine/SampleFormat.h"
#include "files/FileFaults.h"
#include "platform/VirtualDevices.h"
#include "support/WavBuilder.h"
#include "surface/ControlFixture.h"
#include "surface/Kora486Ctrl.h"

namespace kora486 {
namespace {

using namespace std::chrono_literals;
using testing::Le32At;
using testing::ReadAll;
using testing::TextAt;
using testing::WavBuilder;
using testing::WriteAll;
namespace fs = std::filesystem;

// A 16-bit mono 8000 Hz WAV of the given frames, sample i holding i.
std::vector<uint8_t> Pcm16MonoWav(int frames, const std::vector<uint8_t>& after = {}) {
    std::vector<uint8_t> data;
    for (int i = 0; i < frames; ++i) {
        WavBuilder::Put16(data, static_cast<uint16_t>(i));
    }
    return WavBuilder()
        .Riff()
        .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16))
        .Chunk("data", data)
        .Raw(after)
        .Bytes();
}

class Kora486CtrlFileTest : public testing::ControlTest {};

TEST_F(Kora486CtrlFileTest, ResetMovesANewControlToReadyWithSilentLevels) {
    Kora486Ctrl fresh(devices);
    EXPECT_EQ(fresh.Status(), StatusNotInitialised);
    EXPECT_EQ(fresh.State().LeftOverload.load(), 1) << "a new control lights its bars";
    EXPECT_EQ(fresh.Reset(), ErrNone);
    EXPECT_EQ(fresh.Status(), StatusReady);
    EXPECT_EQ(fresh.State().LeftLevel.load(), SilenceLevel);
    EXPECT_EQ(fresh.State().RightOverload.load(), 0);
    EXPECT_EQ(fresh.Reset(), ErrNone);
    EXPECT_EQ(fresh.Status(), StatusReady);
}

TEST(Kora486CtrlProbe, ResetAsksTheDefaultInputForThePreferredPcmFormat) {
    struct Case {
        int16_t code;
        int16_t channels;
        int32_t rate;
        int expectedBits;  // 0: no probe
    };
    const Case cases[] = {
        {FormatPcm16, 2, 44100, 16}, {FormatPcm8, 1, 8000, 8},        {FormatALaw, 1, 8000, 16},
        {FormatMuLaw, 2, 22050, 16}, {FormatCompressed, 2, 44100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::vector<WaveFormatEx> asked;
        VirtualDeviceConfig config;
        config.clock = VirtualClock::Manual;
        config.inputs = {{"Picky", [&asked](const WaveFormatEx& f) {
                              asked.push_back(f);
                              return false;
                          }}};
        VirtualDevices devices(config);
        Kora486Ctrl ctrl(devices);
        ctrl.PutBitsPerSample(c.code);
        ctrl.PutNumChannels(c.channels);
        ctrl.PutSampleRate(c.rate);
        const int16_t result = ctrl.Reset();
        EXPECT_EQ(ctrl.Status(), StatusReady);
        if (c.expectedBits == 0) {
            EXPECT_EQ(result, ErrNone);
            EXPECT_TRUE(asked.empty());
            continue;
        }
        EXPECT_EQ(result, ErrDeviceFormat);
        EXPECT_EQ(ctrl.LastError(), ErrDeviceFormat);
        EXPECT_EQ(ctrl.LastError(), ErrNone) << "reading clears it";
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].formatTag, WaveFormatPcm);
        EXPECT_EQ(asked[0].bitsPerSample, c.expectedBits);
        EXPECT_EQ(asked[0].channels, c.channels);
        EXPECT_EQ(asked[0].blockAlign, c.channels * c.expectedBits / 8);
        EXPECT_EQ(asked[0].avgBytesPerSec, static_cast<uint32_t>(c.rate) * asked[0].blockAlign);
        EXPECT_EQ(ctrl.OpenNewFile("/nonexistent/never.wav"), ErrDeviceFormat)
            << "every open begins with Reset";
    }
}

TEST_F(Kora486CtrlFileTest, NewFilesClosedAtOnceHaveTheirExactHeaders) {
    struct Case {
        int16_t code;
        int16_t channels;
        int32_t rate;
        uint16_t tag;
        uint16_t bits;
        size_t length;
    };
    const Case cases[] = {
        {FormatPcm16, 2, 44100, 1, 16, 46},
        {FormatPcm8, 1, 8000, 1, 8, 46},
        {FormatALaw, 2, 22050, 6, 8, 58},
        {FormatMuLaw, 1, 8000, 7, 8, 58},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        UseFormat(c.code, c.channels, c.rate);
        const std::string name = Path("new.wav");
        ASSERT_EQ(ctrl->OpenNewFile(name), ErrNone);
        EXPECT_EQ(ctrl->Status(), StatusFileOpen);
        EXPECT_EQ(ctrl->Filename(), name);
        EXPECT_EQ(ctrl->NumSamples(), 0);
        ASSERT_EQ(ctrl->Reset(), ErrNone);
        EXPECT_EQ(ctrl->Filename(), "");

        const auto bytes = ReadAll(name);
        ASSERT_EQ(bytes.size(), c.length);
        const uint16_t blockAlign = static_cast<uint16_t>(c.channels * c.bits / 8);
        EXPECT_EQ(TextAt(bytes, 0), "RIFF");
        EXPECT_EQ(Le32At(bytes, 4), c.length - 8);
        EXPECT_EQ(TextAt(bytes, 8), "WAVE");
        EXPECT_EQ(TextAt(bytes, 12), "fmt ");
        EXPECT_EQ(Le32At(bytes, 16), 18u);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20, bytes.begin() + 38),
                  WavBuilder::Format(c.tag, static_cast<uint16_t>(c.channels),
                                     static_cast<uint32_t>(c.rate), c.bits));
        EXPECT_EQ(blockAlign, bytes[32]);
        size_t data = 38;
        if (c.tag != 1) {
            EXPECT_EQ(TextAt(bytes, 38), "fact");
            EXPECT_EQ(Le32At(bytes, 42), 4u);
            EXPECT_EQ(Le32At(bytes, 46), 0u);
            data = 50;
        }
        EXPECT_EQ(TextAt(bytes, data), "data");
        EXPECT_EQ(Le32At(bytes, data + 4), 0u);
    }
}

TEST_F(Kora486CtrlFileTest, RecordedMuLawFileGetsItsFactValueAtClose) {
    UseFormat(FormatMuLaw, 1, 8000);  // 800 frames a buffer
    const std::string name = Path("mulaw.wav");
    ASSERT_EQ(ctrl->OpenNewFile(name), ErrNone);
    Record(2);
    EXPECT_EQ(ctrl->NumSamples(), 1600);
    auto bytes = ReadAll(name);
    EXPECT_EQ(Le32At(bytes, 54), 1600u) << "the data size is up to date after the recording";
    EXPECT_EQ(Le32At(bytes, 46), 0u) << "the fact value is right only after close";
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    bytes = ReadAll(name);
    ASSERT_EQ(bytes.size(), 58u + 1600u);
    EXPECT_EQ(Le32At(bytes, 4), 50u + 1600u);
    EXPECT_EQ(Le32At(bytes, 46), 1600u);
    EXPECT_EQ(Le32At(bytes, 54), 1600u);
    EXPECT_EQ(ctrl->NumSamples(), 0) << "no file open";
}

TEST_F(Kora486CtrlFileTest, OpenNewFileRefusals) {
    const std::string open = Path("open.wav");
    ASSERT_EQ(ctrl->OpenNewFile(open), ErrNone);
    ASSERT_EQ(ctrl->Reset(), ErrNone);

    // Play-only refuses before anything is closed.
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(open), ErrNone);
    ctrl->Reset();
    ASSERT_EQ(ctrl->PutPlayOnly(1), S_OK);
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(open), ErrNone);
    EXPECT_EQ(ctrl->OpenNewFile(Path("other.wav")), ErrPlayOnly);
    EXPECT_EQ(ctrl->OpenTemporaryFile(), ErrPlayOnly);
    EXPECT_EQ(ctrl->Status(), StatusFileOpen) << "the open file stays open";
    EXPECT_EQ(ctrl->LastError(), ErrPlayOnly);
    EXPECT_EQ(ctrl->OpenExistingOrNewFile(Path("missing.wav")), ErrPlayOnly);
    EXPECT_EQ(ctrl->Status(), StatusReady);
    EXPECT_FALSE(fs::exists(Path("missing.wav")));
    ASSERT_EQ(ctrl->PutPlayOnly(0), S_OK);

    EXPECT_EQ(ctrl->OpenNewFile(Path("no/such/folder.wav")), ErrFileOpen);
    EXPECT_EQ(ctrl->LastError(), ErrFileOpen);
    EXPECT_EQ(ctrl->Status(), StatusReady);
    EXPECT_EQ(ctrl->Filename(), "");

    struct Fault {
        const char* name;
        FileFault fault;
    };
    const Fault faults[] = {
        {"header write fails", {FileOperation::Write, 20, FaultKind::Fail}},
        {"format record written short", {FileOperation::Write, 30, FaultKind::Short}},
        {"data chunk header fails", {FileOperation::Write, 40, FaultKind::Fail}},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        const std::string name = Path("faulty.wav");
        ScopedFileFault fault(name, f.fault);
        EXPECT_EQ(ctrl->OpenNewFile(name), ErrFileWrite);
        EXPECT_EQ(ctrl->Status(), StatusReady);
        EXPECT_EQ(ctrl->Filename(), "");
        EXPECT_EQ(ctrl->LastError(), ErrFileWrite);
    }
}

TEST_F(Kora486CtrlFileTest, TemporaryFilesAreMadeInTmpdirAndDeletedUnlessKept) {
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    setenv("TMPDIR", dir.c_str(), 1);

    ASSERT_EQ(ctrl->OpenTemporaryFile(), ErrNone);
    const std::string first = ctrl->Filename();
    EXPECT_EQ(fs::path(first).parent_path(), dir);
    EXPECT_EQ(fs::path(first).filename().string().rfind("TVM", 0), 0u) << first;
    EXPECT_EQ(ctrl->TemporaryFile(), 1);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_FALSE(fs::exists(first)) << "a temporary file is deleted when it is closed";

    ASSERT_EQ(ctrl->OpenTemporaryFile(), ErrNone);
    const std::string kept = ctrl->Filename();
    ctrl->PutTemporaryFile(0);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(kept).size(), 46u) << "cleared before Reset, the recording is kept";

    // Reopening the open temporary file's own name: Reset deletes it first, so it is new.
    ASSERT_EQ(ctrl->OpenTemporaryFile(), ErrNone);
    const std::string again = ctrl->Filename();
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(again), ErrNone);
    EXPECT_EQ(ctrl->TemporaryFile(), 0);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(again).size(), 46u);

    setenv("TMPDIR", (dir / "missing").c_str(), 1);
    EXPECT_EQ(ctrl->OpenTemporaryFile(), ErrFileOpen);
    EXPECT_EQ(ctrl->Status(), StatusReady);

    if (saved) {
        setenv("TMPDIR", savedValue.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

TEST_F(Kora486CtrlFileTest, ExistingFileSetsTheFormatPropertiesAndOpensAtItsEnd) {
    std::vector<uint8_t> data(22050, 128);
    const std::string name = Path("mono8.wav");
    WriteAll(name, WavBuilder()
                       .Riff()
                       .Chunk("fmt ", WavBuilder::Format(1, 1, 22050, 8))
                       .Chunk("LIST", {'I', 'N', 'F', 'O'})
                       .Chunk("data", data)
                       .Bytes());
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    EXPECT_EQ(ctrl->SampleRate(), 22050);
    EXPECT_EQ(ctrl->NumChannels(), 1);
    EXPECT_EQ(ctrl->BitsPerSample(), 8);
    EXPECT_EQ(ctrl->NumSamples(), 22050);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 22050);
    EXPECT_DOUBLE_EQ(ctrl->TotalTime(), 1.0);
    EXPECT_EQ(ctrl->Filename(), name);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ctrl->SampleRate(), 22050) << "the file's format stays after close";
    EXPECT_EQ(ctrl->BitsPerSample(), 8);
    EXPECT_EQ(ReadAll(name).size(), 8u + 4 + 26 + 12 + 8 + 22050) << "nothing was rewritten";
}

TEST_F(Kora486CtrlFileTest, MissingFileIsCreatedAsANewOne) {
    const std::string name = Path("fresh.wav");
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    EXPECT_EQ(ctrl->NumSamples(), 0);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(name).size(), 46u);
}

// Each malformed file is refused with its code, or opens with only the frames that exist.
TEST_F(Kora486CtrlFileTest, MalformedWavFiles) {
    const auto fmt16 = WavBuilder::Format(1, 1, 8000, 16);
    const std::vector<uint8_t> data(100, 0);  // 50 frames
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int16_t error;
        int32_t frames;  // when it opens
    };
    const std::vector<Case> cases = {
        {"empty file", {}, ErrNotWave, 0},
        {"truncated RIFF header", {'R', 'I', 'F', 'F', 10, 0}, ErrNotWave, 0},
        {"not WAVE", WavBuilder().Riff("AVI ").Chunk("fmt ", fmt16).Chunk("data", data).Bytes(),
         ErrNotWave, 0},
        {"truncated fmt header", WavBuilder().Riff().Raw({'f', 'm', 't', ' ', 18}).Bytes(),
         ErrNotWave, 0},
        {"data and no fmt", WavBuilder().Riff().Chunk("data", data).Bytes(), ErrNotWave, 0},
        {"fmt after data", WavBuilder().Riff().Chunk("data", data).Chunk("fmt ", fmt16).Bytes(),
         ErrNotWave, 0},
        {"fact after data",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", fmt16)
             .Chunk("data", data)
             .Chunk("fact", WavBuilder::Le32(50))
             .Bytes(),
         ErrNotWave, 0},
        {"no data chunk", WavBuilder().Riff().Chunk("fmt ", fmt16).Bytes(), ErrNotWave, 0},
        {"fmt size past the end", WavBuilder().Riff().Chunk("fmt ", fmt16, 5000).Bytes(),
         ErrNotWave, 0},
        {"fmt size near 2^32", WavBuilder().Riff().Chunk("fmt ", fmt16, 0xFFFFFFF0).Bytes(),
         ErrNotWave, 0},
        {"short fact",
         WavBuilder().Riff().Chunk("fmt ", fmt16).Chunk("fact", {1, 0}).Chunk("data", data).Bytes(),
         ErrNotWave, 0},
        {"RIFF size smaller than its content",
         WavBuilder().Riff().Chunk("fmt ", fmt16).Chunk("data", data).Bytes(20), ErrNotWave, 0},
        {"zero channels",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::FormatFields(1, 0, 8000, 16000, 2, 16))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"zero block align",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::FormatFields(1, 1, 8000, 16000, 0, 16))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"rate not in the list",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::Format(1, 1, 44000, 16))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"24-bit PCM",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 24))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"unknown tag without a codec",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::Format(0x1234, 1, 8000, 16))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"compressed body shorter than its cbSize",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::FormatFields(0x11, 1, 8000, 4055, 256, 4, 20, 2 + 30))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"fmt body of 0 bytes", WavBuilder().Riff().Chunk("fmt ", {}).Chunk("data", data).Bytes(),
         ErrFormatUnusable, 0},
        {"fmt body of 14 bytes",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16, 14))
             .Chunk("data", data)
             .Bytes(),
         ErrFormatUnusable, 0},
        {"fmt body of 16 bytes",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16, 16))
             .Chunk("data", data)
             .Bytes(),
         ErrNone, 50},
        {"fmt body of 17 bytes",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16, 17))
             .Chunk("data", data)
             .Bytes(),
         ErrNone, 50},
        {"odd chunk sizes are skipped with their pad",
         WavBuilder()
             .Riff()
             .Chunk("junk", {1, 2, 3})
             .Chunk("fmt ", fmt16)
             .Chunk("odd ", {1})
             .Chunk("data", data)
             .Bytes(),
         ErrNone, 50},
        {"data size past the end keeps the bytes present",
         WavBuilder().Riff().Chunk("fmt ", fmt16).Chunk("data", data, 4000).Bytes(), ErrNone, 50},
        {"data size near 2^32",
         WavBuilder().Riff().Chunk("fmt ", fmt16).Chunk("data", data, 0xFFFFFFFE).Bytes(0xFFFFFFF0),
         ErrNone, 50},
        {"fact counts the frames",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", fmt16)
             .Chunk("fact", WavBuilder::Le32(20))
             .Chunk("data", data)
             .Bytes(),
         ErrNone, 20},
        {"fact claiming frames that are not there",
         WavBuilder()
             .Riff()
             .Chunk("fmt ", fmt16)
             .Chunk("fact", WavBuilder::Le32(5000))
             .Chunk("data", data)
             .Bytes(),
         ErrNone, 50},
        {"bytes after the RIFF chunk are ignored",
         WavBuilder().Riff().Chunk("fmt ", fmt16).Chunk("data", data).Bytes(), ErrNone, 50},
    };
    ASSERT_EQ(ctrl->PutPlayOnly(1), S_OK);  // nothing here may be rewritten
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = Path("bad.wav");
        WriteAll(name, c.bytes);
        EXPECT_EQ(ctrl->OpenExistingOrNewFile(name), c.error);
        if (c.error == ErrNone) {
            EXPECT_EQ(ctrl->Status(), StatusFileOpen);
            EXPECT_EQ(ctrl->NumSamples(), c.frames);
            EXPECT_EQ(ctrl->CurrentSamplePosition(), c.frames);
        } else {
            EXPECT_EQ(ctrl->Status(), StatusReady);
            EXPECT_EQ(ctrl->Filename(), "");
            EXPECT_EQ(ctrl->LastError(), c.error);
        }
        ctrl->Reset();
        EXPECT_EQ(ReadAll(name), c.bytes) << "a play-only open never writes";
    }
}

TEST_F(Kora486CtrlFileTest, ReadFaultsRefuseTheFile) {
    const std::string name = Path("readfault.wav");
    WriteAll(name, Pcm16MonoWav(100));
    struct Case {
        const char* name;
        FileFault fault;
        int16_t error;
    };
    const Case cases[] = {
        {"open fails", {FileOperation::Open, 0, FaultKind::Fail}, ErrFileOpen},
        {"RIFF header unreadable", {FileOperation::Read, 4, FaultKind::Fail}, ErrNotWave},
        {"fmt body read short", {FileOperation::Read, 30, FaultKind::Short}, ErrNotWave},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedFileFault fault(name, c.fault);
        EXPECT_EQ(ctrl->OpenExistingOrNewFile(name), c.error);
        EXPECT_EQ(ctrl->Status(), StatusReady);
    }
}

TEST_F(Kora486CtrlFileTest, ResetWhileOverwritingTheMiddleKeepsTheTail) {
    UseFormat(FormatPcm16, 1, 8000);
    const std::string name = Path("middle.wav");
    const auto original = Pcm16MonoWav(8000);
    WriteAll(name, original);
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    ctrl->State().CurrentSamplePosition = 0;
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    ASSERT_TRUE(devices.WaitForQueuedInputBuffers(RingBufferCount, 5s));
    ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);
    ASSERT_TRUE(devices.WaitForQueuedInputBuffers(RingBufferCount, 5s));
    ASSERT_EQ(ctrl->Reset(), ErrNone);  // no FinishRecordingFile: the window never ran

    const auto bytes = ReadAll(name);
    ASSERT_EQ(bytes.size(), original.size());
    EXPECT_EQ(Le32At(bytes, 42), 16000u) << "the data chunk still ends at frame 8000";
    EXPECT_EQ(Le32At(bytes, 4), original.size() - 8);
    EXPECT_NE(std::vector<uint8_t>(bytes.begin() + 46, bytes.begin() + 46 + 1600),
              std::vector<uint8_t>(original.begin() + 46, original.begin() + 46 + 1600));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 46 + 1600, bytes.end()),
              std::vector<uint8_t>(original.begin() + 46 + 1600, original.end()));
    ctrl->FinishRecordingFile();  // the late notification finds no open file
}

TEST_F(Kora486CtrlFileTest, ChunksAfterTheDataSurviveARecordingPastTheEnd) {
    UseFormat(FormatPcm16, 1, 8000);
    const std::string name = Path("tail.wav");
    const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 5, 0, 0, 0, 'I', 'N', 'F', 'O', 'x', 0};
    WriteAll(name, Pcm16MonoWav(100, list));
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(name), ErrNone);
    Record(2);  // 1600 frames appended at the end
    ASSERT_EQ(ctrl->NumSamples(), 1700);
    ASSERT_EQ(ctrl->Reset(), ErrNone);

    const auto bytes = ReadAll(name);
    const size_t dataEnd = 46 + 1700 * 2;
    ASSERT_EQ(bytes.size(), dataEnd + list.size());
    EXPECT_EQ(Le32At(bytes, 42), 3400u);
    EXPECT_EQ(Le32At(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + dataEnd, bytes.end()), list);
}

TEST_F(Kora486CtrlFileTest, DataOnlyFiles) {
    const std::string pcm = Path("raw.pcm");
    WriteAll(pcm, std::vector<uint8_t>(1001, 7));
    UseFormat(FormatPcm16, 1, 8000);
    ASSERT_EQ(ctrl->PutDataOnly(1), S_OK);
    ASSERT_EQ(ctrl->OpenExistingOrNewFile(pcm), ErrNone);
    EXPECT_EQ(ctrl->NumSamples(), 500);
    EXPECT_EQ(ctrl->CurrentSamplePosition(), 500);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(pcm).size(), 1001u) << "data-only files get no fix-up";

    const std::string created = Path("new.pcm");
    ASSERT_EQ(ctrl->OpenNewFile(created), ErrNone);
    ASSERT_EQ(ctrl->Reset(), ErrNone);
    EXPECT_EQ(ReadAll(created).size(), 0u);

    ASSERT_EQ(ctrl->PutDataOnly(2), S_OK);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> layerOne(100, 0);
    layerOne[10] = 0xFF;
    layerOne[11] = 0xFF;  // MPEG-1 Layer I
    layerOne[12] = 0x90;
    const Case refused[] = {
        {"no frame header", std::vector<uint8_t>(3000, 0x55)},
        {"Layer I frame", layerOne},
        {"empty", {}},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        WriteAll(Path("bare.mp3"), c.bytes);
        EXPECT_EQ(ctrl->OpenExistingOrNewFile(Path("bare.mp3")), ErrFormatUnusable);
        EXPECT_EQ(ctrl->Status(), StatusReady);
    }

    struct Fault {
        const char* name;
        int16_t dataOnly;
        FileFault fault;
    };
    const Fault faults[] = {
        {"length unknown", 1, {FileOperation::Seek, 0, FaultKind::Fail}},
        {"first read of an MPEG file", 2, {FileOperation::Read, 0, FaultKind::Fail}},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        ASSERT_EQ(ctrl->PutDataOnly(f.dataOnly), S_OK);
        ScopedFileFault fault(pcm, f.fault);
        EXPECT_EQ(ctrl->OpenExistingOrNewFile(pcm), ErrFileOpen);
        EXPECT_EQ(ctrl->Status(), StatusReady);
        EXPECT_EQ(ctrl->LastError(), ErrFileOpen);
    }
}

TEST_F(Kora486CtrlFileTest, FileModePropertiesAreRefusedWhileAFileIsOpen) {
    struct Case {
        const char* name;
        std::function<HResult()> put;
        const char* refusal;  // null: accepted with no file open
    };
    const std::vector<Case> closed = {
        {"DataOnly 3", [&] { return ctrl->PutDataOnly(3); }, "DataOnly must be 0, 1 or 2"},
        {"DataOnly -1", [&] { return ctrl->PutDataOnly(-1); }, "DataOnly must be 0, 1 or 2"},
        {"DataOnly 2", [&] { return ctrl->PutDataOnly(2); }, nullptr},
        {"DataOnly 0", [&] { return ctrl->PutDataOnly(0); }, nullptr},
        {"PlayOnly 5", [&] { return ctrl->PutPlayOnly(5); }, nullptr},
        {"PlayOnly 0", [&] { return ctrl->PutPlayOnly(0); }, nullptr},
        {"SampleRate 44000", [&] { return ctrl->PutSampleRate(44000); },
         "KORA486 SampleRate must be one of 192000, 96000, 88200, 64000, 48000, 44100, 32000, "
         "22050, 16000, 11025, 8000, 6000"},
        {"BitsPerSample 24", [&] { return ctrl->PutBitsPerSample(24); },
         "KORA486 BitsPerSample must 8, 16 or a special format code"},
        {"NumChannels 3", [&] { return ctrl->PutNumChannels(3); },
         "KORA486 NumChannels must be 1 or 2"},
        {"RecordTimeLimit -1", [&] { return ctrl->PutRecordTimeLimit(-1.0); },
         "KORA486 RecordTimeLimit must be zero or positive"},
        {"RecordTimeLimit NaN", [&] { return ctrl->PutRecordTimeLimit(std::nan("")); },
         "KORA486 RecordTimeLimit must be zero or positive"},
    };
    for (const Case& c : closed) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.put(), c.refusal ? DISP_E_EXCEPTION : S_OK);
        if (c.refusal) {
            EXPECT_EQ(ctrl->PropertyErrorDescription(), c.refusal);
        }
    }
    EXPECT_EQ(ctrl->PlayOnly(), 0);
    ctrl->PutPlayOnly(5);
    EXPECT_EQ(ctrl->PlayOnly(), 1) << "any non-zero value is stored as 1";
    ctrl->PutPlayOnly(0);

    ASSERT_EQ(ctrl->OpenNewFile(Path("open.wav")), ErrNone);
    const std::vector<Case> open = {
        {"DataOnly", [&] { return ctrl->PutDataOnly(1); },
         "KORA486 cannot change DataOnly whilst a file is open"},
        {"DataOnly out of range", [&] { return ctrl->PutDataOnly(7); },
         "KORA486 cannot change DataOnly whilst a file is open"},
        {"PlayOnly", [&] { return ctrl->PutPlayOnly(1); },
         "KORA486 cannot change PlayOnly whilst a file is open"},
        {"SampleRate", [&] { return ctrl->PutSampleRate(8000); },
         "KORA486 cannot change SampleRate whilst a file is open"},
        {"BitsPerSample", [&] { return ctrl->PutBitsPerSample(8); },
         "KORA486 cannot change BitsPerSample whilst a file is open"},
        {"NumChannels", [&] { return ctrl->PutNumChannels(1); },
         "KORA486 cannot change NumChannels whilst a file is open"},
        {"TemporaryFile is stored at any time", [&] { return ctrl->PutTemporaryFile(0); }, nullptr},
    };
    for (const Case& c : open) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.put(), c.refusal ? DISP_E_EXCEPTION : S_OK);
        if (c.refusal) {
            EXPECT_EQ(ctrl->PropertyErrorDescription(), c.refusal);
        }
    }
    EXPECT_EQ(ctrl->DataOnly(), 0);
    EXPECT_EQ(ctrl->PlayOnly(), 0);
    EXPECT_EQ(ctrl->SampleRate(), 44100);
}

TEST_F(Kora486CtrlFileTest, RecordTimeLimitFollowsTheSampleRate) {
    ASSERT_EQ(ctrl->PutSampleRate(8000), S_OK);
    ASSERT_EQ(ctrl->PutRecordTimeLimit(10.0), S_OK);
    EXPECT_EQ(ctrl->RecordLimit(), 80000);
    ASSERT_EQ(ctrl->PutSampleRate(22050), S_OK);
    EXPECT_EQ(ctrl->RecordLimit(), 220500);
    ASSERT_EQ(ctrl->PutRecordTimeLimit(1e12), S_OK);
    EXPECT_EQ(ctrl->RecordLimit(), INT32_MAX) << "no overflow for a limit past what frames count";
}

}  // namespace
}  // namespace kora486
