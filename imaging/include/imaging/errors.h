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

// The output file could not be created (or put in place).
class EFCreateError : public EVistrelError {
public:
    // path is made absolute; errorNumber is an errno value.
    EFCreateError(const std::string& path, int errorNumber);
};

// Writing the output file failed part-way, for example on a full disk.
class EFWriteError : public EVistrelError {
public:
    EFWriteError(const std::string& path, int errorNumber);
};

// path made absolute against the current directory, without touching the disk.
std::string AbsolutePath(const std::string& path);

}  // namespace vistrel
