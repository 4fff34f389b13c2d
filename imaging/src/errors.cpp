#include "imaging/errors.h"

#include <cstring>
#include <filesystem>

namespace vistrel {

namespace {

std::string Quoted(const char* format, const std::string& path, int errorNumber) {
    // format holds one %s for the path; the system's reason follows the sentence.
    std::string text = format;
    text.replace(text.find("%s"), 2, AbsolutePath(path));
    return text + " " + SystemErrorText(errorNumber);
}

}  // namespace

EJPEG::EJPEG(int code) : EVistrelError("JPEG error #" + std::to_string(code)), code_(code) {}

EFCreateError::EFCreateError(const std::string& path, int errorNumber)
    : EVistrelError(Quoted("Cannot create file \"%s\".", path, errorNumber)) {}

EFWriteError::EFWriteError(const std::string& path, int errorNumber)
    : EVistrelError(Quoted("Cannot write file \"%s\".", path, errorNumber)) {}

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

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

}  // namespace vistrel
