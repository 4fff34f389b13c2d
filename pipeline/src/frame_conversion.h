// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "pipeline/yuv_tables.h"

namespace vistrel {

// Row converters into a 24-bit picture of width x height pixels whose rows
// start every `stride` bytes at `target` (a negative stride fills it bottom
// up). The callers check the frame length.
//
// The YUV converters take the tables that FillYuvTables makes. They run
// vector code where the processor has a vector unit, which computes the same
// entries instead of looking them up and gives the same bytes; the
// ...Reference variants use only the tables.
//
// sourceStride: bytes from the start of one source row to the next (a
// driver's bytes per line); 0 means unpadded rows. It may not be shorter than
// a row: std::invalid_argument.

// Uncompressed BGR rows. bottomUp: the first source row is the bottom row.
void CopyRgbRows(const std::uint8_t* data, int width, int height, bool bottomUp,
                 std::uint8_t* target, std::int64_t stride, std::int64_t sourceStride = 0);

// Planar 4:2:0: a luma plane of height rows, then two chroma planes of
// (width / 2) x (height / 2) bytes; cbFirst tells which chroma plane comes
// first. With a sourceStride S, luma rows are S bytes apart and chroma rows
// S / 2; the first chroma plane starts at S * height, the second
// (S * height) / 4 bytes later (unpadded: S = width).
void ConvertPlanar420Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          bool cbFirst, std::uint8_t* target, std::int64_t stride,
                          std::int64_t sourceStride = 0);
void ConvertPlanar420RowsReference(const TYuvTables& tables, const std::uint8_t* data, int width,
                                   int height, bool cbFirst, std::uint8_t* target,
                                   std::int64_t stride, std::int64_t sourceStride = 0);

// Packed 4:2:2, groups of Y0 U Y1 V, rows of 2 * width bytes, sourceStride
// apart.
void ConvertPacked422Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          std::uint8_t* target, std::int64_t stride, std::int64_t sourceStride = 0);
void ConvertPacked422RowsReference(const TYuvTables& tables, const std::uint8_t* data, int width,
                                   int height, std::uint8_t* target, std::int64_t stride,
                                   std::int64_t sourceStride = 0);

}  // namespace vistrel
