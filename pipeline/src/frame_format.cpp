#include "pipeline/frame_format.h"

namespace vistrel {

FrameLayout LayoutOf(std::uint32_t compression) {
    switch (compression) {
        case fourcc::kRGB:
            return FrameLayout::Rgb;
        case fourcc::kI420:
        case fourcc::kIYUV:
        case fourcc::kYV12:
            return FrameLayout::Planar420;
        case fourcc::kYUY2:
        case fourcc::kYUNV:
        case fourcc::kYUYV:
            return FrameLayout::Packed422;
        case fourcc::kMJPG:
            return FrameLayout::Jpeg;
        default:
            return FrameLayout::Unsupported;
    }
}

std::int64_t RequiredFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height) {
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    switch (layout) {
        case FrameLayout::Rgb:
            return pixels * 3;
        case FrameLayout::Planar420:
            return pixels * 3 / 2;
        case FrameLayout::Packed422:
            return pixels * 2;
        case FrameLayout::Jpeg:
        case FrameLayout::Unsupported:
            break;
    }
    return -1;
}

std::int64_t RowLength(FrameLayout layout, std::int32_t width) {
    switch (layout) {
        case FrameLayout::Rgb:
            return std::int64_t{3} * width;
        case FrameLayout::Packed422:
            return std::int64_t{2} * width;
        case FrameLayout::Planar420:
            return width;
        case FrameLayout::Jpeg:
        case FrameLayout::Unsupported:
            break;
    }
    return -1;
}

std::int64_t RequiredPaddedLength(FrameLayout layout, std::int64_t stride, std::int32_t height) {
    switch (layout) {
        case FrameLayout::Rgb:
        case FrameLayout::Packed422:
            return stride * height;
        case FrameLayout::Planar420:
            return stride * height * 3 / 2;
        case FrameLayout::Jpeg:
        case FrameLayout::Unsupported:
            break;
    }
    return -1;
}

std::int64_t MaxFrameLength(FrameLayout layout, std::int32_t width, std::int32_t height) {
    if (layout == FrameLayout::Jpeg || layout == FrameLayout::Unsupported) {
        return RequiredFrameLength(FrameLayout::Rgb, width, height) + kCompressedFrameSlack;
    }
    return RequiredFrameLength(layout, width, height);
}

QString DiagnosticLine(std::int32_t length, std::uint32_t compression) {
    return QStringLiteral("DataSize: ") + QString::number(length) + QStringLiteral("  FourCC: ") +
           QString::fromLatin1(FourCCName(compression));
}

}  // namespace vistrel
