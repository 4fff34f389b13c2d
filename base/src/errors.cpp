#include "base/errors.h"

#include <cstring>

namespace vistrel {

std::string SystemErrorText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling buffer.
    std::string text = strerror_r(errorNumber, buffer, sizeof buffer);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

std::string ErrnoText(int errorNumber) {
    return SystemErrorText(errorNumber) + " (errno " + std::to_string(errorNumber) + ")";
}

}  // namespace vistrel
