// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace vistrel {

// Pixel-format codes as the frame pipeline expects them: four ASCII
// characters compared as one 32-bit number whose low byte is the first
// character; 0 means uncompressed 24-bit RGB.
constexpr std::uint32_t FourCCFromChars(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

// The compression code reported for a V4L2 pixel format, from the format
// table (capture/pixel_format.h): YUYV -> "YUYV", YU12 -> "I420", YV12 ->
// "YV12", MJPG and JPEG -> "MJPG", BGR3 -> 0. Every other V4L2 code passes
// through unchanged and reads as an unknown format.
std::uint32_t CompressionFromV4L2(std::uint32_t pixelFormat);

// The code's name: "RGB" for 0, otherwise its four bytes taken as
// characters, low byte first, whatever their values ("YUY2"; 0x00410001
// gives the bytes 01 00 41 00). Text shown to users takes the bytes as Latin-1.
std::string FourCCName(std::uint32_t code);

}  // namespace vistrel
