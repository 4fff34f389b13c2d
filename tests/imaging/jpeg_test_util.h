// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vistrel::test {

using Bytes = std::vector<std::uint8_t>;

// One marker segment of a JPEG stream. For SOS the payload holds the scan
// header only; the entropy-coded data that follows is skipped.
struct Segment {
    std::uint8_t marker = 0;
    Bytes payload;
};

Bytes ReadBytes(const QString& path);
void WriteBytes(const QString& path, const Bytes& bytes);

// Splits a stream into its marker segments, SOI and EOI included.
std::vector<Segment> ParseSegments(const Bytes& stream);

// The stream without any segment of the given marker (e.g. every DHT).
Bytes WithoutSegments(const Bytes& stream, std::uint8_t marker);

// The 64 entries of a DQT segment's tables, each in natural (row) order.
std::vector<std::array<int, 64>> QuantTables(const Segment& dqt);

// A stream made directly with libjpeg, independent of the code under test.
Bytes EncodeGrey(int width, int height, int quality);
Bytes EncodeCmyk(int width, int height);
// A progressive stream of a Format_BGR888 picture.
Bytes EncodeProgressive(const QImage& image);

// A Format_BGR888 picture whose every pixel holds the bytes (b, g, r).
QImage Filled(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r);
// A smooth colour gradient, for round trips.
QImage Gradient(int width, int height);

// Largest per-byte difference between two Format_BGR888 pictures of one size.
int MaxDifference(const QImage& a, const QImage& b);

}  // namespace vistrel::test
