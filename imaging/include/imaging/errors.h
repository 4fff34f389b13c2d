// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "base/errors.h"

namespace vistrel {

// A fatal error reported by libjpeg; Code() is the library's message code.
// what(): "JPEG error #<code>", and the library's own text (reason) as a
// second sentence when there is one.
class EJPEG : public EVistrelError {
public:
    explicit EJPEG(int code, const std::string& reason = {});
    int Code() const { return code_; }

private:
    int code_;
};

}  // namespace vistrel
