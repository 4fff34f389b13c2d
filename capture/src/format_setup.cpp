// SPDX-License-Identifier: MIT
#include "format_setup.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <limits>

#include "capture/fourcc.h"
#include "logging.h"

namespace vistrel {

namespace {

std::int32_t ClampToInt(std::uint32_t v) {
    return static_cast<std::int32_t>(
        std::min<std::uint32_t>(v, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

TStatus QueryStreamFormat(V4L2Io& io, int fd, const std::string& path, TStreamFormat& format) {
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int r = Xioctl(io, fd, VIDIOC_G_FMT, &f); r < 0) {
        LogCallFailure("VIDIOC_G_FMT", path, -r);
        return StatusFromErrno(-r);
    }
    format.pixelFormat = f.fmt.pix.pixelformat;
    format.compression = CompressionFromV4L2(f.fmt.pix.pixelformat);
    format.width = ClampToInt(f.fmt.pix.width);
    format.height = ClampToInt(f.fmt.pix.height);
    format.bytesPerLine = f.fmt.pix.bytesperline;
    format.sizeImage = f.fmt.pix.sizeimage;
    format.topDownRows = true;

    // Not every driver knows a frame interval; the format stands without it.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.interval = {};
    if (Xioctl(io, fd, VIDIOC_G_PARM, &parm) >= 0) {
        const v4l2_fract& t = parm.parm.capture.timeperframe;
        format.interval = {t.numerator, t.denominator};
    }
    return kStatusOk;
}

TStatus ApplyFormatRequest(V4L2Io& io, int fd, const std::string& path,
                           const TFormatRequest& request) {
    if (request.pixelFormat != 0 || request.width != 0) {
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (const int r = Xioctl(io, fd, VIDIOC_G_FMT, &f); r < 0) {
            LogCallFailure("VIDIOC_G_FMT", path, -r);
            return StatusFromErrno(-r);
        }
        if (request.pixelFormat != 0) {
            f.fmt.pix.pixelformat = request.pixelFormat;
        }
        if (request.width != 0) {
            f.fmt.pix.width = request.width;
            f.fmt.pix.height = request.height;
        }
        // The old line and image sizes belong to the old format.
        f.fmt.pix.bytesperline = 0;
        f.fmt.pix.sizeimage = 0;
        if (const int r = Xioctl(io, fd, VIDIOC_S_FMT, &f); r < 0) {
            LogCallFailure("VIDIOC_S_FMT", path, -r);
            return StatusFromErrno(-r);
        }
        qCInfo(lcCapture, "%s set to %ux%u %s", path.c_str(), f.fmt.pix.width, f.fmt.pix.height,
               FourCCName(f.fmt.pix.pixelformat).c_str());
    }
    if (request.interval.IsSet()) {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (const int r = Xioctl(io, fd, VIDIOC_G_PARM, &parm); r < 0) {
            LogCallFailure("VIDIOC_G_PARM", path, -r);
            return kStatusOk;
        }
        if ((parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0) {
            qCWarning(lcCapture, "%s cannot set its frame rate", path.c_str());
            return kStatusOk;
        }
        parm.parm.capture.timeperframe = {request.interval.numerator, request.interval.denominator};
        if (const int r = Xioctl(io, fd, VIDIOC_S_PARM, &parm); r < 0) {
            LogCallFailure("VIDIOC_S_PARM", path, -r);
        }
    }
    return kStatusOk;
}

}  // namespace vistrel
