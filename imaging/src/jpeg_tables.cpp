// SPDX-License-Identifier: MIT
#include "imaging/jpeg_tables.h"

#include <array>
#include <cstddef>
#include <numeric>
#include <span>

namespace vistrel {

namespace {

constexpr std::uint8_t kPrefix = 0xFF;
constexpr std::uint8_t kSOI = 0xD8;
constexpr std::uint8_t kEOI = 0xD9;
constexpr std::uint8_t kSOS = 0xDA;
constexpr std::uint8_t kDHT = 0xC4;

// A Huffman table as a DHT segment holds it: how many codes of each length
// from 1 to 16 bits, then the symbols in code order.
struct THuffmanTable {
    std::uint8_t tableClass;  // 0 DC, 1 AC
    std::uint8_t number;
    std::array<std::uint8_t, 16> counts;
    std::span<const std::uint8_t> symbols;
};

constexpr std::uint8_t kDcSymbols[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr std::uint8_t kAcLuminanceSymbols[] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr std::uint8_t kAcChrominanceSymbols[] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// In the order libjpeg writes them for a colour picture.
constexpr THuffmanTable kStandardTables[] = {
    {0, 0, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, kDcSymbols},
    {1, 0, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d}, kAcLuminanceSymbols},
    {0, 1, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, kDcSymbols},
    {1, 1, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}, kAcChrominanceSymbols},
};

static_assert(std::accumulate(kStandardTables[1].counts.begin(), kStandardTables[1].counts.end(),
                              0) == sizeof kAcLuminanceSymbols);
static_assert(std::accumulate(kStandardTables[3].counts.begin(), kStandardTables[3].counts.end(),
                              0) == sizeof kAcChrominanceSymbols);

std::size_t BigEndian16(const std::uint8_t* at) {
    return static_cast<std::size_t>(at[0]) << 8 | at[1];
}

bool IsFrameHeader(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != kDHT && marker != 0xC8 && marker != 0xCC;
}

bool IsArithmetic(std::uint8_t frameMarker) {
    return frameMarker >= 0xC9;
}

// Which tables, [class][number], the segments so far define or the scan uses.
using TTableSet = std::array<std::array<bool, 4>, 2>;

// Records the tables of one DHT segment's payload; false when it is broken.
bool ReadTables(const std::uint8_t* data, std::size_t size, TTableSet& defined) {
    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t tableClass = data[pos] >> 4;
        const std::uint8_t number = data[pos] & 0x0F;
        if (tableClass > 1 || number > 3 || size - pos < 17) {
            return false;
        }
        std::size_t symbols = 0;
        for (std::size_t i = 1; i <= 16; ++i) {
            symbols += data[pos + i];
        }
        if (symbols > 256 || size - pos - 17 < symbols) {
            return false;
        }
        defined[tableClass][number] = true;
        pos += 17 + symbols;
    }
    return true;
}

// The tables a scan header's payload uses; false when it is too short.
bool ScanTables(const std::uint8_t* data, std::size_t size, bool lossless, TTableSet& used) {
    if (size < 1 || size < 1 + 2 * std::size_t{data[0]} + 3) {
        return false;
    }
    const std::size_t components = data[0];
    const std::uint8_t spectralStart = data[1 + 2 * components];
    const std::uint8_t spectralEnd = data[2 + 2 * components];
    for (std::size_t i = 0; i < components; ++i) {
        const std::uint8_t tables = data[2 + 2 * i];
        if (lossless || spectralStart == 0) {
            used[0][(tables >> 4) & 3] = true;
        }
        if (!lossless && spectralEnd > 0) {
            used[1][tables & 3] = true;
        }
        if ((tables >> 4) > 3 || (tables & 0x0F) > 3) {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> StandardSegments(const TTableSet& defined) {
    std::vector<std::uint8_t> bytes;
    for (const THuffmanTable& table : kStandardTables) {
        if (defined[table.tableClass][table.number]) {
            continue;
        }
        const std::size_t length = 2 + 1 + 16 + table.symbols.size();
        bytes.insert(bytes.end(),
                     {kPrefix, kDHT, static_cast<std::uint8_t>(length >> 8),
                      static_cast<std::uint8_t>(length & 0xFF),
                      static_cast<std::uint8_t>(table.tableClass << 4 | table.number)});
        bytes.insert(bytes.end(), table.counts.begin(), table.counts.end());
        bytes.insert(bytes.end(), table.symbols.begin(), table.symbols.end());
    }
    return bytes;
}

// Whether the scan finds every table it uses; a missing one beyond the
// standard numbers cannot be supplied.
TJpegTables Judge(const TTableSet& defined, const TTableSet& used) {
    bool missing = false;
    for (int tableClass = 0; tableClass < 2; ++tableClass) {
        for (int number = 0; number < 4; ++number) {
            if (used[tableClass][number] && !defined[tableClass][number]) {
                if (number > 1) {
                    return TJpegTables::Malformed;
                }
                missing = true;
            }
        }
    }
    return missing ? TJpegTables::Added : TJpegTables::Complete;
}

}  // namespace

TJpegTables CompleteHuffmanTables(std::vector<std::uint8_t>& stream) {
    const std::uint8_t* data = stream.data();
    const std::size_t size = stream.size();
    if (size < 2 || data[0] != kPrefix || data[1] != kSOI) {
        return TJpegTables::Malformed;
    }
    TTableSet defined{};
    std::uint8_t frame = 0;
    std::size_t pos = 2;
    for (;;) {
        // As a decoder does, stray bytes before a marker and fill bytes are skipped.
        while (pos < size && data[pos] != kPrefix) {
            ++pos;
        }
        const std::size_t markerStart = pos;
        while (pos < size && data[pos] == kPrefix) {
            ++pos;
        }
        if (pos >= size) {
            return TJpegTables::Malformed;
        }
        const std::uint8_t marker = data[pos++];
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue;  // no segment follows
        }
        if (marker == kSOI || marker == kEOI || size - pos < 2) {
            return TJpegTables::Malformed;
        }
        const std::size_t length = BigEndian16(data + pos);
        if (length < 2 || size - pos < length) {
            return TJpegTables::Malformed;
        }
        const std::uint8_t* payload = data + pos + 2;
        if (marker == kDHT && !ReadTables(payload, length - 2, defined)) {
            return TJpegTables::Malformed;
        }
        if (IsFrameHeader(marker) && frame == 0) {
            frame = marker;
        }
        if (marker == kSOS) {
            if (frame == 0) {
                return TJpegTables::Malformed;  // a scan before any frame header
            }
            if (IsArithmetic(frame)) {
                return TJpegTables::Complete;
            }
            TTableSet used{};
            if (!ScanTables(payload, length - 2, frame == 0xC3, used)) {
                return TJpegTables::Malformed;
            }
            const TJpegTables verdict = Judge(defined, used);
            if (verdict == TJpegTables::Added) {
                const std::vector<std::uint8_t> tables = StandardSegments(defined);
                stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(markerStart),
                              tables.begin(), tables.end());
            }
            return verdict;
        }
        pos += length;
    }
}

}  // namespace vistrel
