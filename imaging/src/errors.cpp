// SPDX-License-Identifier: MIT
#include "imaging/errors.h"

namespace vistrel {

namespace {

std::string JpegMessage(int code, const std::string& reason) {
    std::string text = "JPEG error #" + std::to_string(code);
    if (reason.empty()) {
        return text;
    }
    text += ". " + reason;
    return text.back() == '.' ? text : text + ".";
}

}  // namespace

EJPEG::EJPEG(int code, const std::string& reason)
    : EVistrelError(JpegMessage(code, reason)), code_(code) {}

}  // namespace vistrel
