#include "engine/G711.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kora486 {

namespace {

constexpr int SegmentCount = 8;

constexpr int SearchSegment(int32_t value, const int16_t* table, int count) {
    for (int index = 0; index < count; ++index) {
        if (value <= table[index]) {
            return index;
        }
    }
    return count;
}

// The biased magnitude of the most negative 32-bit input does not fit 32 bits; every value past
// 0x7FFF is segment 8 all the same.
int SegmentOfMagnitude(int64_t magnitude) {
    const int64_t searched = std::min<int64_t>(magnitude, std::numeric_limits<int32_t>::max());
    return FindSegment(static_cast<int32_t>(searched), G711SegmentEnds, SegmentCount);
}

constexpr int32_t DecodeALawStepwise(uint8_t code) {
    const int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    switch (seg) {
        case 0:
            t += 8;
            break;
        case 1:
            t += 0x108;
            break;
        default:
            t = (t + 0x108) << (seg - 1);
            break;
    }
    return (a & 0x80) ? t : -t;
}

constexpr int32_t DecodeMuLawStepwise(uint8_t code) {
    const int u = ~code & 0xFF;
    const int t = (((u & 0x0F) << 3) + 132) << ((u & 0x70) >> 4);
    return (u & 0x80) ? 132 - t : t - 132;
}

// Decoding is 256 entries, cheap enough to build at compile time.
template <int32_t (*Decode)(uint8_t)>
constexpr std::array<int16_t, 256> MakeDecodeTable() {
    std::array<int16_t, 256> table{};
    for (int code = 0; code < 256; ++code) {
        table[code] = static_cast<int16_t>(Decode(static_cast<uint8_t>(code)));
    }
    return table;
}

constexpr std::array<int16_t, 256> ALawDecodeTable = MakeDecodeTable<DecodeALawStepwise>();
constexpr std::array<int16_t, 256> MuLawDecodeTable = MakeDecodeTable<DecodeMuLawStepwise>();

// One code for every 16-bit sample, indexed by the sample's bit pattern. 65536 evaluations are
// past some compilers' constexpr step limits, so the table is built on first use instead; the
// engine thread then pays only for a guard check per buffer.
using EncodeTable = std::array<uint8_t, 65536>;

template <uint8_t (*Encode)(int32_t)>
EncodeTable MakeEncodeTable() {
    EncodeTable table;
    for (uint32_t pattern = 0; pattern < table.size(); ++pattern) {
        table[pattern] = Encode(static_cast<int16_t>(pattern));
    }
    return table;
}

const EncodeTable& ALawEncodeTable() {
    static const EncodeTable table = MakeEncodeTable<g711reference::LinearToALaw>();
    return table;
}

const EncodeTable& MuLawEncodeTable() {
    static const EncodeTable table = MakeEncodeTable<g711reference::LinearToMuLaw>();
    return table;
}

// True when sample holds a 16-bit value; the table answers those, the algorithm the rest.
bool IsSixteenBit(int32_t sample) {
    return static_cast<uint32_t>(sample) + 0x8000u <= 0xFFFFu;
}

}  // namespace

int FindSegment(int32_t value, const int16_t* table, int count) {
    return SearchSegment(value, table, count);
}

uint8_t LinearToALaw(int32_t sample) {
    if (!IsSixteenBit(sample)) {
        return g711reference::LinearToALaw(sample);
    }
    return ALawEncodeTable()[static_cast<uint16_t>(sample)];
}

int32_t ALawToLinear(uint8_t code) {
    return ALawDecodeTable[code];
}

uint8_t LinearToMuLaw(int32_t sample) {
    if (!IsSixteenBit(sample)) {
        return g711reference::LinearToMuLaw(sample);
    }
    return MuLawEncodeTable()[static_cast<uint16_t>(sample)];
}

int32_t MuLawToLinear(uint8_t code) {
    return MuLawDecodeTable[code];
}

void EncodeALaw(const int16_t* samples, uint8_t* codes, size_t count) {
    const EncodeTable& table = ALawEncodeTable();
    for (size_t i = 0; i < count; ++i) {
        codes[i] = table[static_cast<uint16_t>(samples[i])];
    }
}

void EncodeMuLaw(const int16_t* samples, uint8_t* codes, size_t count) {
    const EncodeTable& table = MuLawEncodeTable();
    for (size_t i = 0; i < count; ++i) {
        codes[i] = table[static_cast<uint16_t>(samples[i])];
    }
}

void DecodeALaw(const uint8_t* codes, int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        samples[i] = ALawDecodeTable[codes[i]];
    }
}

void DecodeMuLaw(const uint8_t* codes, int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        samples[i] = MuLawDecodeTable[codes[i]];
    }
}

namespace g711reference {

uint8_t LinearToALaw(int32_t sample) {
    // 64 bits so that negating the most negative input is defined.
    int64_t v = sample;
    int mask = 0;
    if (v >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        v = -v - 8;
        if (v < 0) {
            v = 0;
        }
    }
    const int seg = SegmentOfMagnitude(v);
    if (seg == SegmentCount) {
        return static_cast<uint8_t>(0x7F ^ mask);
    }
    int code = seg << 4;
    if (seg < 2) {
        code += static_cast<int>((v >> 4) & 0x0F);
    } else {
        code += static_cast<int>((v >> (seg + 3)) & 0x0F);
    }
    return static_cast<uint8_t>((code ^ mask) & 0xFF);
}

int32_t ALawToLinear(uint8_t code) {
    return DecodeALawStepwise(code);
}

uint8_t LinearToMuLaw(int32_t sample) {
    constexpr int64_t Bias = 132;
    // 64 bits so that biasing the extreme inputs cannot overflow.
    int64_t v = sample;
    int mask = 0;
    if (v < 0) {
        v = Bias - v;
        mask = 0x7F;
    } else {
        v = v + Bias;
        mask = 0xFF;
    }
    const int seg = SegmentOfMagnitude(v);
    if (seg == SegmentCount) {
        return static_cast<uint8_t>(0x7F ^ mask);
    }
    const int code = (seg << 4) + static_cast<int>((v >> (seg + 3)) & 0x0F);
    return static_cast<uint8_t>((code ^ mask) & 0xFF);
}

int32_t MuLawToLinear(uint8_t code) {
    return DecodeMuLawStepwise(code);
}

}  // namespace g711reference

}  // namespace kora486
