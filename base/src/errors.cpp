// SPDX-License-Identifier: MIT
#include "base/errors.h"

#include <cstring>

namespace vistrel {

std::string SystemErrorText(int errorNumber) {
    // strerrordesc_np reads a constant table: no shared buffer, no locale,
    // safe on every thread. Numbers it does not know go to the GNU
    // strerror_r, which fills our own buffer or returns a constant string.
    const char* text = nullptr;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    text = strerrordesc_np(errorNumber);
#endif
    char buffer[64];
    if (text == nullptr) {
        text = strerror_r(errorNumber, buffer, sizeof buffer);
    }
    std::string trimmed = text;
    while (!trimmed.empty() &&
           (trimmed.back() == ' ' || trimmed.back() == '\t' || trimmed.back() == '\r' ||
            trimmed.back() == '\n' || trimmed.back() == '.')) {
        trimmed.pop_back();
    }
    return trimmed;
}

std::string ErrnoText(int errorNumber) {
    return SystemErrorText(errorNumber) + " (errno " + std::to_string(errorNumber) + ")";
}

}  // namespace vistrel
