#include "imaging/errors.h"

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

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

}  // namespace vistrel
