// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <vector>

namespace vistrel {

// What CompleteHuffmanTables found in a JPEG stream.
enum class TJpegTables {
    Complete,  // every table the first scan uses is there: the stream is unchanged
    Added,     // the standard tables were inserted before the first scan
    // Not a stream it can vouch for: no SOI, a segment that runs past the
    // end, no frame header or no scan, a broken table segment, or a missing
    // table beyond the standard ones (numbers 0 and 1). Unchanged.
    Malformed,
};

// Makes a camera's JPEG stream one that every decoder reads. Many cameras
// send MJPG frames without Huffman tables (no DHT segment), relying on the
// decoder to know the example tables of the JPEG standard (ITU-T T.81,
// K.3); many viewers do not. When the first scan of a Huffman-coded stream
// uses a table that no segment before it defines, every one of the four
// standard tables (DC 0, AC 0, DC 1, AC 1) not defined there is inserted
// just before that scan, each in a segment of its own, as libjpeg writes
// them. A stream that has its tables, or is arithmetic-coded, stays
// byte for byte. Walks the markers only; the entropy-coded data is not read.
TJpegTables CompleteHuffmanTables(std::vector<std::uint8_t>& stream);

}  // namespace vistrel
