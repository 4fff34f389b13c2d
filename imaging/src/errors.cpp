#include "imaging/errors.h"

namespace vistrel {

EJPEG::EJPEG(int code) : EVistrelError("JPEG error #" + std::to_string(code)), code_(code) {}

}  // namespace vistrel
