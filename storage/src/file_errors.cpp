// SPDX-License-Identifier: MIT
#include "storage/file_errors.h"

#include <filesystem>

namespace vistrel {

namespace {

std::string FileMessage(const char* format, const std::string& path, int errorNumber,
                        const std::string& note) {
    // format holds one %s for the path; the system's reason follows the sentence.
    std::string text = format;
    text.replace(text.find("%s"), 2, AbsolutePath(path));
    text += " " + SystemErrorText(errorNumber);
    return note.empty() ? text : text + ". " + note;
}

}  // namespace

EFileError::EFileError(FileStep step, const char* format, const std::string& path, int errorNumber,
                       const std::string& note)
    : EVistrelError(FileMessage(format, path, errorNumber, note)),
      step_(step),
      errorNumber_(errorNumber) {}

EFCreateError::EFCreateError(const std::string& path, int errorNumber, const std::string& note)
    : EFileError(FileStep::Create, "Cannot create file \"%s\".", path, errorNumber, note) {}

EFWriteError::EFWriteError(const std::string& path, int errorNumber, const std::string& note)
    : EFileError(FileStep::Write, "Cannot write file \"%s\".", path, errorNumber, note) {}

EFSyncError::EFSyncError(const std::string& path, int errorNumber, const std::string& note)
    : EFileError(FileStep::Sync, "Cannot sync file \"%s\" to disk.", path, errorNumber, note) {}

EFPublishError::EFPublishError(const std::string& path, int errorNumber, const std::string& note)
    : EFileError(FileStep::Publish, "Cannot publish file \"%s\".", path, errorNumber, note) {}

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

}  // namespace vistrel
