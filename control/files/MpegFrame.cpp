#include "files/MpegFrame.h"

#include "files/LittleEndian.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

namespace {

// Bit rates in kbit/s by bit-rate index 0..14; index 0 is free format, 15 is forbidden.
constexpr int32_t BitRates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 Layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 Layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 Layer III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 Layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 II, III
};

// Sampling rates in Hz by version code (0 MPEG 2.5, 2 MPEG-2, 3 MPEG-1) and sampling index 0..2.
constexpr int32_t SamplingRates[4][3] = {
    {11025, 12000, 8000},
    {0, 0, 0},  // reserved version
    {22050, 24000, 16000},
    {44100, 48000, 32000},
};

constexpr int BitRateRow(int32_t version, int32_t layer) {
    if (version == MpegVersion1) {
        return MpegLayer1 - layer;  // Layer I row 0, II row 1, III row 2
    }
    return layer == MpegLayer1 ? 3 : 4;
}

// The nBlockSize numerator: 144 bytes per kbit/s per kHz for MPEG-1, half that for the
// half-length frames of MPEG-2 and 2.5.
constexpr int64_t BlockSizeFactor(int32_t version) {
    return version == MpegVersion1 ? 144000 : 72000;
}

}  // namespace

MpegFrameInfo FindMpegFrame(const uint8_t* bytes, size_t n, size_t* offset) {
    for (size_t p = 0; p + 3 < n; ++p) {
        const uint8_t* b = bytes + p;
        if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) {
            continue;
        }
        MpegFrameInfo f;
        f.version = (b[1] >> 3) & 3;
        f.layer = (b[1] >> 1) & 3;
        f.protection = b[1] & 1;
        f.bitRateIndex = b[2] >> 4;
        f.samplingIndex = (b[2] >> 2) & 3;
        f.padding = (b[2] >> 1) & 1;
        f.privateBit = b[2] & 1;
        f.channelMode = b[3] >> 6;
        f.modeExtension = (b[3] >> 4) & 3;
        f.copyright = (b[3] >> 3) & 1;
        f.original = (b[3] >> 2) & 1;
        f.emphasis = b[3] & 3;
        if (f.version == MpegVersionReserved || f.layer == 0 || f.bitRateIndex == 15 ||
            f.samplingIndex == 3) {
            continue;
        }
        f.bitRate = BitRates[BitRateRow(f.version, f.layer)][f.bitRateIndex];
        f.samplingRate = SamplingRates[f.version][f.samplingIndex];
        if (offset != nullptr) {
            *offset = p;
        }
        return f;
    }
    if (offset != nullptr) {
        *offset = n;
    }
    return MpegFrameInfo{};
}

std::array<uint8_t, MpegLayer3FormatSize> BuildMpegLayer3Format(const MpegFrameInfo& frame) {
    // A hand-made frame with a rate of 0 or below gets zeros, never a division by zero.
    const int64_t bitRate = frame.bitRate > 0 ? frame.bitRate : 0;
    const int64_t blockSize =
        frame.samplingRate > 0 ? bitRate * BlockSizeFactor(frame.version) / frame.samplingRate : 0;

    std::array<uint8_t, MpegLayer3FormatSize> r{};
    WriteLe16(&r[0], WaveFormatMpegLayer3);
    WriteLe16(&r[2], frame.channelMode == MpegChannelModeSingle ? 1 : 2);
    WriteLe32(&r[4], static_cast<uint32_t>(frame.samplingRate));
    WriteLe32(&r[8], static_cast<uint32_t>(bitRate * 1000 / 8));
    WriteLe16(&r[12], 1);  // nBlockAlign
    WriteLe16(&r[14], 0);  // wBitsPerSample
    WriteLe16(&r[16], MpegLayer3FormatSize - 18);
    WriteLe16(&r[18], 1);  // wID: MPEGLAYER3_ID_MPEG
    WriteLe32(&r[20], frame.padding != 0 ? 1 : 2);
    WriteLe16(&r[24], static_cast<uint32_t>(blockSize));
    WriteLe16(&r[26], 1);     // nFramesPerBlock
    WriteLe16(&r[28], 1393);  // nCodecDelay: what the platform's own Layer III records carry
    return r;
}

}  // namespace kora486
