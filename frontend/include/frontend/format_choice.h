// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

#include "capture/format_enum.h"

namespace vistrel {

// ---- Names -----------------------------------------------------------------

// Vistrel's name of a V4L2 pixel format, from the format table
// (capture/pixel_format.h): YUY2, I420, YV12, MJPG (also for V4L2 JPEG) and
// RGB (BGR3) for the formats Vistrel converts; the four characters of the
// code for the others.
QString FormatName(std::uint32_t pixelFormat);
// Whether Vistrel turns frames of this V4L2 format into pictures.
bool IsConvertible(std::uint32_t pixelFormat);
// The name, with " (not convertible)" after a format Vistrel cannot convert.
QString FormatLabel(std::uint32_t pixelFormat);

// "1280x720".
QString SizeText(std::uint32_t width, std::uint32_t height);
// A size or a range of sizes: "1280x720", "16x16 to 1920x1080, steps of 8x4".
QString SizeChoiceText(const TSizeChoice& size);
// Frames per second without needless decimals: "30", "7.5", "29.97".
QString RateText(double fps);
// The rates of a listing, highest first: "30 15 5 fps", "1 to 60 fps";
// empty when the driver lists none.
QString RatesText(const TIntervalChoice& intervals);

// The convertible formats a camera offers, by name, in its order, each once.
QStringList ConvertibleFormats(const TDeviceFormats& formats);

// What `vistrel-cli formats` prints: one line per format and size, the
// format's label, a tab, the size or range, a tab and the rates. The line of
// the current format and size starts with "* ", the others with two blanks;
// a range that holds the current size says so. A driver that lists nothing
// gives the current format alone.
QStringList FormatListing(const TDeviceFormats& formats);

// ---- A user's choice ---------------------------------------------------------

// A format, size and frame rate as a user asks for them, not yet checked
// against a camera. Every unset part keeps what the camera has.
struct TFormatChoice {
    QString code;             // a Vistrel name or a V4L2 code, any case; empty: the current
    std::uint32_t width = 0;  // width and height together; 0: the current size
    std::uint32_t height = 0;
    double fps = 0;  // 0: the driver's rate

    bool Empty() const { return code.isEmpty() && width == 0 && fps == 0; }
};

// "WxH" with whole numbers from 1 to 32768, kMaxFrameSide (x or X).
bool ParseSize(const QString& text, std::uint32_t& width, std::uint32_t& height);
// A number of frames per second above 0 and up to 1000: "30", "7.5", "29.97".
bool ParseRate(const QString& text, double& fps);
// A format code: one to four printable ASCII characters.
bool IsFormatCode(const QString& text);

// The choice saved in the settings file (keys Format and Size; empty values
// are unset). False when a value is not of its form.
bool ChoiceFromSettings(const QString& format, const QString& size, TFormatChoice& choice);

// Checks choice against what the camera offers and makes the start request
// for it. The format code matches a format by Vistrel's name or by its V4L2
// code, case-insensitive (YUYV, YUNV, IYUV, YU12, BGR3 and JPEG too). Without
// a size the current one is kept, and must then be offered in a newly chosen
// format. A rate must be offered at the size (for a range of sizes, at its
// largest). What the driver does not list cannot be checked and is asked
// for as it is.
//
// False when the camera does not offer it: why is then one line that says
// what is not offered and lists what is, nearest first (formats offering the
// asked size first; sizes by how far they are from the asked one; rates by
// their distance from the asked rate).
bool ResolveFormatChoice(const TDeviceFormats& offered, const TFormatChoice& choice,
                         TFormatRequest& request, QString& why);

// What the driver made of a request, when it changed something the request
// asked for: "1280x720 YUY2 at 30 fps became 1280x720 YUY2 at 25 fps". Empty
// when it took the request as it is.
QString AdjustmentNote(const TFormatRequest& request, const TStreamFormat& got);

}  // namespace vistrel
