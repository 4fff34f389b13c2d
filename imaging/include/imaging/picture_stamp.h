// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

#include <chrono>
#include <string>
#include <string_view>

namespace vistrel {

// What is burnt into a written picture: a caption (the title) and the
// capture time, on one line in the bottom-left corner.
struct TStampOptions {
    static constexpr std::string_view kDefaultFormat = "%Y-%m-%d %H:%M:%S";
    // Longest format or title taken.
    static constexpr std::size_t kMaxLength = 200;

    bool time = false;  // the capture time, in format
    std::string format{kDefaultFormat};
    std::string title;  // before the time; empty: none

    bool Enabled() const { return time || !title.empty(); }
};

// Why format cannot be a stamp's time format ("has an unknown conversion
// %Q"), or an empty string when it can: strftime's conversions, with the E
// and O modifiers, and %f for the three digits of the millisecond; printable
// ASCII only, at most TStampOptions::kMaxLength characters.
std::string StampFormatProblem(std::string_view format);
// The same for a title: printable ASCII, at most kMaxLength characters.
std::string StampTitleProblem(std::string_view title);

// The stamp's line for a picture captured at time: the title, a space and
// the time in the local time zone, formatted by strftime in the C locale
// (month and day names in English) with %f as the milliseconds. Safe on any
// thread.
std::string StampText(const TStampOptions& options, std::chrono::system_clock::time_point time);

// The rectangle of a picture a stamp changes; empty when it changes nothing.
struct TStampBox {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool IsEmpty() const { return width <= 0 || height <= 0; }
    bool Contains(int px, int py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
};

// Where BurnStamp puts text on a picture of this size: the bottom-left
// corner, with text about 1/30 of the height tall (at least 10 pixels),
// clipped to the picture.
TStampBox StampBoxFor(int width, int height, std::string_view text);

// Burns text into picture, 24 bits per pixel (Format_BGR888 or
// Format_RGB888): white letters with a black outline, in the box
// StampBoxFor gives. Only the letters' and outlines' pixels change; every
// other pixel, inside the box too, keeps its bytes. Characters outside
// printable ASCII are drawn as '?'. Pictures of other formats, and null
// ones, are left alone (an empty box). Pure: no painter, no font file, safe
// on any thread for a picture of its own.
TStampBox BurnStamp(QImage& picture, std::string_view text);

}  // namespace vistrel
