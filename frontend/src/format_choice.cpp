// SPDX-License-Identifier: MIT
#include "frontend/format_choice.h"

#include <QByteArray>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <set>
#include <vector>

#include "capture/fourcc.h"
#include "capture/pixel_format.h"

namespace vistrel {

namespace {

// Two rates are one when they agree to the two decimals the listing shows.
constexpr double kRateTolerance = 0.01;

// The four characters of a V4L2 code, trailing blanks dropped (V4L2 pads
// short names such as "Y16 "), anything unprintable as '?'.
QString CodeText(std::uint32_t code) {
    QString text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((code >> (8 * i)) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? QLatin1Char(c) : QLatin1Char('?');
    }
    while (text.endsWith(u' ')) {
        text.chop(1);
    }
    return text;
}

// The table's format a user's code names, by Vistrel's name or another
// name it goes by (YUYV, YU12, BGR3, JPEG ...), in any case.
const TPixelFormat* NamedFormat(const QString& code) {
    const QByteArray text = code.toLatin1();
    return FindNamedFormat({text.constData(), static_cast<std::size_t>(text.size())});
}

// The format frames of a V4L2 code are converted as: the table's format of
// the compression code the capture layer reports for it (a code it does not
// know passes through, and 0 reads as RGB).
const TPixelFormat* ConvertedFormat(std::uint32_t pixelFormat) {
    return FindFrameFormat(CompressionFromV4L2(pixelFormat));
}

bool CodeMatches(std::uint32_t pixelFormat, const QString& code) {
    const TPixelFormat* named = NamedFormat(code);
    return (named != nullptr && named == ConvertedFormat(pixelFormat)) ||
           CodeText(pixelFormat).toUpper() == code.toUpper();
}

// The V4L2 code to ask a driver for when it lists nothing to match against:
// a format's own code when the user gave it (JPEG), else the code the
// format is asked for by; any other code as it is written.
std::uint32_t PixelFormatOfCode(const QString& code) {
    const TPixelFormat* format = NamedFormat(code);
    if (format == nullptr) {
        const QByteArray bytes = code.toLatin1().leftJustified(4, ' ');
        return FourCCFromChars(bytes[0], bytes[1], bytes[2], bytes[3]);
    }
    for (const std::uint32_t v4l2Code : format->v4l2Codes) {
        if (v4l2Code != 0 && CodeText(v4l2Code).compare(code, Qt::CaseInsensitive) == 0) {
            return v4l2Code;
        }
    }
    return format->v4l2Codes[0];
}

std::int64_t SizeDistance(const TSizeChoice& size, std::uint32_t width, std::uint32_t height) {
    std::int64_t w = size.width;
    std::int64_t h = size.height;
    if (size.kind != TChoiceKind::Discrete) {
        // The nearest size on the range's steps.
        const auto snap = [](std::int64_t v, std::int64_t low, std::int64_t high,
                             std::int64_t step) {
            const std::int64_t clamped = std::clamp(v, low, std::max(low, high));
            return low + (clamped - low + step / 2) / step * step;
        };
        w = snap(width, size.minWidth, size.width, size.stepWidth);
        h = snap(height, size.minHeight, size.height, size.stepHeight);
    }
    return std::abs(w - std::int64_t{width}) + std::abs(h - std::int64_t{height});
}

const TSizeChoice* FindSize(const TFormatOffer& offer, std::uint32_t width, std::uint32_t height) {
    for (const TSizeChoice& size : offer.sizes) {
        if (size.Contains(width, height)) {
            return &size;
        }
    }
    return nullptr;
}

const TFormatOffer* OfferOf(const TDeviceFormats& offered, std::uint32_t pixelFormat) {
    for (const TFormatOffer& offer : offered.formats) {
        if (offer.pixelFormat == pixelFormat) {
            return &offer;
        }
    }
    return nullptr;
}

// The offer a code names; of two (MJPG and JPEG), the one with the size.
const TFormatOffer* FindOffer(const TDeviceFormats& offered, const TFormatChoice& choice) {
    const TFormatOffer* found = nullptr;
    for (const TFormatOffer& offer : offered.formats) {
        if (!CodeMatches(offer.pixelFormat, choice.code)) {
            continue;
        }
        if (found == nullptr) {
            found = &offer;
        }
        if (choice.width != 0 && FindSize(offer, choice.width, choice.height) != nullptr) {
            return &offer;
        }
    }
    return found;
}

// The rates of an interval listing, highest first, without repeats.
std::vector<double> RatesOf(const TIntervalChoice& intervals) {
    std::vector<double> rates;
    for (const TFraction& f : intervals.discrete) {
        if (f.IsSet()) {
            rates.push_back(f.Rate());
        }
    }
    std::sort(rates.begin(), rates.end(), std::greater<>());
    rates.erase(std::unique(rates.begin(), rates.end(),
                            [](double a, double b) { return std::abs(a - b) < kRateTolerance; }),
                rates.end());
    return rates;
}

TFraction IntervalOf(double fps) {
    if (std::abs(fps - std::round(fps)) < 1e-9) {
        return {1, static_cast<std::uint32_t>(std::lround(fps))};
    }
    const std::uint32_t frames = static_cast<std::uint32_t>(std::lround(fps * 1000));
    const std::uint32_t divisor = std::gcd(1000u, frames);
    return {1000 / divisor, frames / divisor};
}

// The offered interval for fps: the driver's own fraction when it lists it.
bool MatchRate(const TIntervalChoice& intervals, double fps, TFraction& interval) {
    if (intervals.kind == TChoiceKind::Discrete) {
        for (const TFraction& f : intervals.discrete) {
            if (f.IsSet() && std::abs(f.Rate() - fps) < kRateTolerance) {
                interval = f;
                return true;
            }
        }
        return false;
    }
    interval = IntervalOf(fps);
    return fps > intervals.max.Rate() - kRateTolerance &&
           fps < intervals.min.Rate() + kRateTolerance;
}

QString JoinNearest(const QStringList& items) {
    return items.join(QStringLiteral(", "));
}

QString FormatsNearestFirst(const TDeviceFormats& offered, const TFormatChoice& choice) {
    std::vector<const TFormatOffer*> order;
    for (const TFormatOffer& offer : offered.formats) {
        order.push_back(&offer);
    }
    const auto rank = [&](const TFormatOffer* offer) {
        const bool hasSize =
            choice.width != 0 && FindSize(*offer, choice.width, choice.height) != nullptr;
        return (hasSize ? 0 : 2) + (IsConvertible(offer->pixelFormat) ? 0 : 1);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const auto* a, const auto* b) { return rank(a) < rank(b); });
    QStringList labels;
    for (const TFormatOffer* offer : order) {
        if (!labels.contains(FormatLabel(offer->pixelFormat))) {
            labels << FormatLabel(offer->pixelFormat);
        }
    }
    return JoinNearest(labels);
}

QString SizesNearestFirst(const TFormatOffer& offer, std::uint32_t width, std::uint32_t height) {
    std::vector<const TSizeChoice*> order;
    for (const TSizeChoice& size : offer.sizes) {
        order.push_back(&size);
    }
    std::stable_sort(order.begin(), order.end(), [&](const auto* a, const auto* b) {
        return SizeDistance(*a, width, height) < SizeDistance(*b, width, height);
    });
    QStringList texts;
    for (const TSizeChoice* size : order) {
        texts << SizeChoiceText(*size);
    }
    return JoinNearest(texts);
}

QString RatesNearestFirst(const TIntervalChoice& intervals, double fps) {
    if (intervals.kind != TChoiceKind::Discrete) {
        return RatesText(intervals);
    }
    std::vector<double> rates = RatesOf(intervals);
    std::stable_sort(rates.begin(), rates.end(),
                     [&](double a, double b) { return std::abs(a - fps) < std::abs(b - fps); });
    QStringList texts;
    for (const double rate : rates) {
        texts << RateText(rate);
    }
    return JoinNearest(texts) + QStringLiteral(" fps");
}

QString Describe(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                 const TFraction& interval, const TFormatRequest& asked) {
    QStringList parts;
    if (asked.width != 0) {
        parts << SizeText(width, height);
    }
    if (asked.pixelFormat != 0) {
        parts << FormatName(pixelFormat);
    }
    if (asked.interval.IsSet()) {
        parts << (interval.IsSet() ? QStringLiteral("at %1 fps").arg(RateText(interval.Rate()))
                                   : QStringLiteral("at an unknown rate"));
    }
    return parts.join(u' ');
}

}  // namespace

// ---- Names -------------------------------------------------------------------

QString FormatName(std::uint32_t pixelFormat) {
    const TPixelFormat* format = ConvertedFormat(pixelFormat);
    return format != nullptr ? QString::fromLatin1(format->name.data(), format->name.size())
                             : CodeText(pixelFormat);
}

bool IsConvertible(std::uint32_t pixelFormat) {
    const TPixelFormat* format = ConvertedFormat(pixelFormat);
    return format != nullptr && format->Converts();
}

QString FormatLabel(std::uint32_t pixelFormat) {
    return IsConvertible(pixelFormat)
               ? FormatName(pixelFormat)
               : FormatName(pixelFormat) + QStringLiteral(" (not convertible)");
}

QString SizeText(std::uint32_t width, std::uint32_t height) {
    return QStringLiteral("%1x%2").arg(width).arg(height);
}

QString SizeChoiceText(const TSizeChoice& size) {
    if (size.kind == TChoiceKind::Discrete) {
        return SizeText(size.width, size.height);
    }
    QString text = SizeText(size.minWidth, size.minHeight) + QStringLiteral(" to ") +
                   SizeText(size.width, size.height);
    if (size.kind == TChoiceKind::Stepwise && (size.stepWidth > 1 || size.stepHeight > 1)) {
        text += QStringLiteral(", steps of ") + SizeText(size.stepWidth, size.stepHeight);
    }
    return text;
}

QString RateText(double fps) {
    if (std::abs(fps - std::round(fps)) < 0.005) {
        return QString::number(std::lround(fps));
    }
    QString text = QString::number(fps, 'f', 2);
    while (text.endsWith(u'0')) {
        text.chop(1);
    }
    return text;
}

QString RatesText(const TIntervalChoice& intervals) {
    if (intervals.kind != TChoiceKind::Discrete) {
        return QStringLiteral("%1 to %2 fps")
            .arg(RateText(intervals.max.Rate()), RateText(intervals.min.Rate()));
    }
    QStringList texts;
    for (const double rate : RatesOf(intervals)) {
        texts << RateText(rate);
    }
    return texts.isEmpty() ? QString() : texts.join(u' ') + QStringLiteral(" fps");
}

QStringList ConvertibleFormats(const TDeviceFormats& formats) {
    QStringList names;
    for (const TFormatOffer& offer : formats.formats) {
        if (IsConvertible(offer.pixelFormat) && !names.contains(FormatName(offer.pixelFormat))) {
            names << FormatName(offer.pixelFormat);
        }
    }
    return names;
}

QStringList FormatListing(const TDeviceFormats& formats) {
    const TStreamFormat& current = formats.current;
    const auto line = [](bool isCurrent, const QString& label, const QString& size,
                         const QString& rates) {
        return (isCurrent ? QStringLiteral("* ") : QStringLiteral("  ")) + label + u'\t' + size +
               (rates.isEmpty() ? QString() : u'\t' + rates);
    };
    QStringList lines;
    for (const TFormatOffer& offer : formats.formats) {
        const bool currentFormat = offer.pixelFormat == current.pixelFormat;
        if (offer.sizes.empty()) {
            lines << line(currentFormat, FormatLabel(offer.pixelFormat),
                          QStringLiteral("sizes not listed"), QString());
        }
        for (const TSizeChoice& size : offer.sizes) {
            const bool isCurrent = currentFormat && current.width > 0 && current.height > 0 &&
                                   size.Contains(static_cast<std::uint32_t>(current.width),
                                                 static_cast<std::uint32_t>(current.height));
            QString sizeText = SizeChoiceText(size);
            if (isCurrent && size.kind != TChoiceKind::Discrete) {
                sizeText +=
                    QStringLiteral(" (now %1)").arg(SizeText(current.width, current.height));
            }
            lines << line(isCurrent, FormatLabel(offer.pixelFormat), sizeText,
                          RatesText(size.intervals));
        }
    }
    if (formats.formats.empty()) {
        const QString rate = current.interval.IsSet()
                                 ? RateText(current.interval.Rate()) + QStringLiteral(" fps")
                                 : QString();
        lines << line(true, FormatLabel(current.pixelFormat),
                      SizeText(current.width, current.height), rate);
    }
    return lines;
}

// ---- A user's choice -----------------------------------------------------------

bool ParseSize(const QString& text, std::uint32_t& width, std::uint32_t& height) {
    const QStringList parts = text.split(u'x', Qt::KeepEmptyParts, Qt::CaseInsensitive);
    if (parts.size() != 2) {
        return false;
    }
    std::uint32_t values[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        const uint value = parts[i].toUInt(&ok, 10);
        if (!ok || parts[i].startsWith(u'+') || value < 1 || value > std::uint32_t{kMaxFrameSide}) {
            return false;
        }
        values[i] = value;
    }
    width = values[0];
    height = values[1];
    return true;
}

bool ParseRate(const QString& text, double& fps) {
    for (const QChar c : text) {
        if (!c.isDigit() && c != u'.') {
            return false;  // no signs, exponents, "inf" or "nan"
        }
    }
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value > 0) || value > 1000) {
        return false;
    }
    fps = value;
    return true;
}

bool IsFormatCode(const QString& text) {
    if (text.isEmpty() || text.size() > 4) {
        return false;
    }
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7F; });
}

bool ChoiceFromSettings(const QString& format, const QString& size, TFormatChoice& choice) {
    choice = {};
    if (!format.isEmpty()) {
        if (!IsFormatCode(format)) {
            return false;
        }
        choice.code = format;
    }
    return size.isEmpty() || ParseSize(size, choice.width, choice.height);
}

bool ResolveFormatChoice(const TDeviceFormats& offered, const TFormatChoice& choice,
                         TFormatRequest& request, QString& why) {
    request = {};
    why.clear();
    const TStreamFormat& current = offered.current;
    const TFormatOffer* offer = OfferOf(offered, current.pixelFormat);
    if (!choice.code.isEmpty()) {
        offer = FindOffer(offered, choice);
        if (offer == nullptr && !offered.formats.empty()) {
            why = QStringLiteral("the camera offers no format \"%1\"; it offers %2")
                      .arg(choice.code, FormatsNearestFirst(offered, choice));
            return false;
        }
        request.pixelFormat =
            offer != nullptr ? offer->pixelFormat : PixelFormatOfCode(choice.code);
    }

    // Without a size the current one stays, also across a change of format.
    const bool keptSize = choice.width == 0;
    const std::uint32_t width = keptSize ? static_cast<std::uint32_t>(current.width) : choice.width;
    const std::uint32_t height =
        keptSize ? static_cast<std::uint32_t>(current.height) : choice.height;
    const TSizeChoice* size = offer != nullptr ? FindSize(*offer, width, height) : nullptr;
    const bool newFormat = request.pixelFormat != 0 && request.pixelFormat != current.pixelFormat;
    if (!keptSize || newFormat) {
        if (size == nullptr && offer != nullptr && !offer->sizes.empty()) {
            const QString name = FormatName(offer->pixelFormat);
            why = (keptSize ? QStringLiteral("the camera does not offer %2 in the current size %1 "
                                             "(choose a size)")
                            : QStringLiteral("the camera does not offer %1 in %2"))
                      .arg(SizeText(width, height), name) +
                  QStringLiteral("; its %1 sizes, nearest first: %2")
                      .arg(name, SizesNearestFirst(*offer, width, height));
            return false;
        }
        request.width = width;
        request.height = height;
    }

    if (choice.fps > 0) {
        TFraction interval = IntervalOf(choice.fps);
        if (size != nullptr && !size->intervals.Empty() &&
            !MatchRate(size->intervals, choice.fps, interval)) {
            why = QStringLiteral(
                      "the camera does not offer %1 fps at %2 in %3; its rates there, "
                      "nearest first: %4")
                      .arg(RateText(choice.fps), SizeText(width, height),
                           FormatName(offer->pixelFormat),
                           RatesNearestFirst(size->intervals, choice.fps));
            return false;
        }
        request.interval = interval;
    }
    return true;
}

QString AdjustmentNote(const TFormatRequest& request, const TStreamFormat& got) {
    if (request.Empty()) {
        return {};
    }
    const QString asked =
        Describe(request.pixelFormat, request.width, request.height, request.interval, request);
    const QString took = Describe(got.pixelFormat, static_cast<std::uint32_t>(got.width),
                                  static_cast<std::uint32_t>(got.height), got.interval, request);
    return asked == took ? QString() : asked + QStringLiteral(" became ") + took;
}

}  // namespace vistrel
