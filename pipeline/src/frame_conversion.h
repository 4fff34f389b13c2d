#pragma once

#include <cstdint>

#include "pipeline/yuv_tables.h"

namespace vistrel {

// Row converters into a 24-bit picture of width x height pixels whose rows
// start every `stride` bytes at `target`. The callers check the frame length.

// Uncompressed BGR rows. bottomUp: the first source row is the bottom row.
void CopyRgbRows(const std::uint8_t* data, int width, int height, bool bottomUp,
                 std::uint8_t* target, std::int64_t stride);

// Planar 4:2:0: a luma plane, then two chroma planes of (width / 2) x
// (height / 2) bytes; cbFirst tells which chroma plane comes first.
void ConvertPlanar420Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          bool cbFirst, std::uint8_t* target, std::int64_t stride);

// Packed 4:2:2, groups of Y0 U Y1 V, rows of 2 * width bytes.
void ConvertPacked422Rows(const TYuvTables& tables, const std::uint8_t* data, int width, int height,
                          std::uint8_t* target, std::int64_t stride);

}  // namespace vistrel
