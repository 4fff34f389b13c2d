// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "base/errors.h"

namespace vistrel {

// The steps of writing an output file, in order. A failure names its step.
enum class FileStep { Create, Write, Sync, Publish };

// Writing an output file failed. The message names the step, the file (made
// absolute) and the system's reason, then note (a second sentence, such as a
// temporary file that could not be removed) when there is one.
class EFileError : public EVistrelError {
public:
    FileStep Step() const { return step_; }
    int ErrorNumber() const { return errorNumber_; }

protected:
    // format holds one %s for the path.
    EFileError(FileStep step, const char* format, const std::string& path, int errorNumber,
               const std::string& note);

private:
    FileStep step_;
    int errorNumber_;
};

// The output file could not be created: "Cannot create file "%s". %s".
class EFCreateError : public EFileError {
public:
    // errorNumber is an errno value.
    EFCreateError(const std::string& path, int errorNumber, const std::string& note = {});
};

// Writing the output file failed part-way, for example on a full disk.
class EFWriteError : public EFileError {
public:
    EFWriteError(const std::string& path, int errorNumber, const std::string& note = {});
};

// The written bytes could not be made durable (fdatasync or close failed).
class EFSyncError : public EFileError {
public:
    EFSyncError(const std::string& path, int errorNumber, const std::string& note = {});
};

// The finished file could not be given its final name.
class EFPublishError : public EFileError {
public:
    EFPublishError(const std::string& path, int errorNumber, const std::string& note = {});
};

// path made absolute against the current directory, without touching the disk.
std::string AbsolutePath(const std::string& path);

}  // namespace vistrel
