#pragma once

#include <string>

#include "base/errors.h"

namespace vistrel {

// A fatal error reported by libjpeg; Code() is the library's message code.
class EJPEG : public EVistrelError {
public:
    explicit EJPEG(int code);
    int Code() const { return code_; }

private:
    int code_;
};

}  // namespace vistrel
