// SPDX-License-Identifier: MIT
#include "imaging/picture_stamp.h"

#include <locale.h>
#include <clocale>
#include <ctime>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stamp_font.h"

namespace vistrel {

namespace {

using stamp::kFont;
using stamp::kGlyphHeight;
using stamp::kGlyphWidth;

constexpr std::string_view kConversions = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%f";
constexpr std::string_view kEConversions = "cCxXyY";
constexpr std::string_view kOConversions = "deHImMSuUVwWy";

bool Printable(char c) {
    return c >= stamp::kFirstGlyph && c <= stamp::kLastGlyph;
}

std::string TextProblem(std::string_view text) {
    if (text.size() > TStampOptions::kMaxLength) {
        return "is longer than " + std::to_string(TStampOptions::kMaxLength) + " characters";
    }
    if (!std::all_of(text.begin(), text.end(), Printable)) {
        return "holds a character other than printable ASCII";
    }
    return {};
}

// The C locale for strftime, made once: month and day names that the font
// can draw, whatever the user's locale.
locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// format with each %f replaced by the three digits of the millisecond;
// "%%" stays, so "%%f" remains a literal "%f".
std::string WithMilliseconds(std::string_view format, int milliseconds) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%03d", milliseconds);
    std::string out;
    out.reserve(format.size() + 8);
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == 'f') {
                out += digits;
            } else {
                out += format.substr(i, 2);
            }
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

std::string FormatTime(std::string_view format, std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto since = time.time_since_epoch();
    const auto seconds = floor<std::chrono::seconds>(since);
    const auto ms = static_cast<int>(duration_cast<milliseconds>(since - seconds).count());
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    if (localtime_r(&whole, &local) == nullptr) {
        return {};
    }
    const std::string expanded = WithMilliseconds(format, ms);
    // No conversion of the C locale gives more than 26 characters for its 2.
    std::vector<char> buffer(expanded.size() * 16 + 64);
    const locale_t c = CLocale();
    const std::size_t length =
        c != static_cast<locale_t>(nullptr)
            ? strftime_l(buffer.data(), buffer.size(), expanded.c_str(), &local, c)
            : std::strftime(buffer.data(), buffer.size(), expanded.c_str(), &local);
    return std::string(buffer.data(), length);
}

// The glyph of each character: printable ASCII as it is, a tab as a space,
// one '?' for any other character (a UTF-8 sequence counts once).
std::vector<int> GlyphsOf(std::string_view text) {
    std::vector<int> glyphs;
    glyphs.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 && byte < 0xC0) {
            continue;  // inside a UTF-8 sequence
        }
        const char shown = Printable(c) ? c : c == '\t' ? ' ' : '?';
        glyphs.push_back(shown - stamp::kFirstGlyph);
    }
    return glyphs;
}

// How large the stamp is drawn on a picture of this height: dots of
// scale x scale pixels in cells of 6 x 10 dots (a line of text is 10 dots,
// about 1/30 of the height, never under 10 pixels), an outline of
// outline pixels around each letter, and a margin to the picture's edges.
struct TLayout {
    int scale = 1;
    int outline = 1;
    int left = 0;  // of the first letter's dots
    int top = 0;   // of the dots' row 0
    int columns = 0;

    int Advance() const { return (kGlyphWidth + 1) * scale; }
    TStampBox Box() const {
        return {left - outline, top - outline,
                columns > 0 ? columns * Advance() - scale + 2 * outline : 0,
                columns > 0 ? kGlyphHeight * scale + 2 * outline : 0};
    }
};

TLayout LayoutFor(int width, int height, std::size_t glyphs) {
    TLayout layout;
    layout.scale = std::max(1, (height + 150) / 300);
    layout.outline = std::max(1, layout.scale / 2);
    const int margin = 2 * layout.scale + layout.outline;
    layout.left = margin;
    layout.top = height - margin - kGlyphHeight * layout.scale;
    // Letters that start beyond the right edge are not drawn at all.
    const int fit = std::max(0, (width - layout.left + layout.Advance() - 1) / layout.Advance());
    layout.columns = static_cast<int>(std::min<std::size_t>(glyphs, static_cast<std::size_t>(fit)));
    return layout;
}

TStampBox Clip(TStampBox box, int width, int height) {
    const int right = std::min(width, box.x + box.width);
    const int bottom = std::min(height, box.y + box.height);
    box.x = std::max(0, box.x);
    box.y = std::max(0, box.y);
    box.width = std::max(0, right - box.x);
    box.height = std::max(0, bottom - box.y);
    return box;
}

// Dots of the letters over the whole (unclipped) box: 1 set, 0 clear.
std::vector<std::uint8_t> LetterMask(const TLayout& layout, const std::vector<int>& glyphs,
                                     const TStampBox& box) {
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(box.width) * box.height, 0);
    const int s = layout.scale;
    for (int i = 0; i < layout.columns; ++i) {
        const stamp::TGlyph& glyph = kFont[static_cast<std::size_t>(glyphs[i])];
        const int x0 = layout.outline + i * layout.Advance();
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int column = 0; column < kGlyphWidth; ++column) {
                if ((glyph[row] >> (kGlyphWidth - 1 - column) & 1) == 0) {
                    continue;
                }
                for (int dy = 0; dy < s; ++dy) {
                    std::uint8_t* line =
                        mask.data() +
                        static_cast<std::size_t>(layout.outline + row * s + dy) * box.width;
                    std::fill_n(line + x0 + column * s, s, std::uint8_t{1});
                }
            }
        }
    }
    return mask;
}

// The mask grown by radius in every direction (a square around each dot).
std::vector<std::uint8_t> Grown(const std::vector<std::uint8_t>& mask, int width, int height,
                                int radius) {
    std::vector<std::uint8_t> across(mask.size(), 0);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* from = mask.data() + static_cast<std::size_t>(y) * width;
        std::uint8_t* to = across.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            if (from[x] != 0) {
                const int first = std::max(0, x - radius);
                const int last = std::min(width - 1, x + radius);
                std::fill(to + first, to + last + 1, std::uint8_t{1});
            }
        }
    }
    std::vector<std::uint8_t> grown(mask.size(), 0);
    for (int y = 0; y < height; ++y) {
        const int first = std::max(0, y - radius);
        const int last = std::min(height - 1, y + radius);
        std::uint8_t* to = grown.data() + static_cast<std::size_t>(y) * width;
        for (int from = first; from <= last; ++from) {
            const std::uint8_t* row = across.data() + static_cast<std::size_t>(from) * width;
            for (int x = 0; x < width; ++x) {
                to[x] |= row[x];
            }
        }
    }
    return grown;
}

}  // namespace

std::string StampFormatProblem(std::string_view format) {
    if (format.empty()) {
        return "is empty";
    }
    if (std::string problem = TextProblem(format); !problem.empty()) {
        return problem;
    }
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        if (++i >= format.size()) {
            return "ends in a lone %";
        }
        std::string_view allowed = kConversions;
        std::string spelled = "%";
        if (format[i] == 'E' || format[i] == 'O') {
            allowed = format[i] == 'E' ? kEConversions : kOConversions;
            spelled += format[i];
            if (++i >= format.size()) {
                return "ends in a lone " + spelled;
            }
        }
        if (allowed.find(format[i]) == std::string_view::npos) {
            return "has an unknown conversion " + spelled + format[i];
        }
    }
    return {};
}

std::string StampTitleProblem(std::string_view title) {
    return TextProblem(title);
}

std::string StampText(const TStampOptions& options, std::chrono::system_clock::time_point time) {
    std::string text = options.title;
    if (options.time) {
        if (!text.empty()) {
            text += ' ';
        }
        text += FormatTime(options.format, time);
    }
    return text;
}

TStampBox StampBoxFor(int width, int height, std::string_view text) {
    if (width <= 0 || height <= 0) {
        return {};
    }
    return Clip(LayoutFor(width, height, GlyphsOf(text).size()).Box(), width, height);
}

TStampBox BurnStamp(QImage& picture, std::string_view text) {
    if (picture.isNull() ||
        (picture.format() != QImage::Format_BGR888 && picture.format() != QImage::Format_RGB888)) {
        return {};
    }
    const std::vector<int> glyphs = GlyphsOf(text);
    const TLayout layout = LayoutFor(picture.width(), picture.height(), glyphs.size());
    const TStampBox box = layout.Box();
    const TStampBox shown = Clip(box, picture.width(), picture.height());
    if (shown.IsEmpty()) {
        return {};
    }
    const std::vector<std::uint8_t> letters = LetterMask(layout, glyphs, box);
    const std::vector<std::uint8_t> outline = Grown(letters, box.width, box.height, layout.outline);
    // White and black read the same in either byte order.
    for (int y = shown.y; y < shown.y + shown.height; ++y) {
        uchar* row = picture.scanLine(y);
        const std::size_t maskRow = static_cast<std::size_t>(y - box.y) * box.width;
        for (int x = shown.x; x < shown.x + shown.width; ++x) {
            const std::size_t at = maskRow + static_cast<std::size_t>(x - box.x);
            if (letters[at] != 0) {
                std::memset(row + 3 * x, 0xFF, 3);
            } else if (outline[at] != 0) {
                std::memset(row + 3 * x, 0x00, 3);
            }
        }
    }
    return shown;
}

}  // namespace vistrel
