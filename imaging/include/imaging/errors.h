#pragma once

#include <stdexcept>
#include <string>

namespace vistrel {

// Base of every error Vistrel raises above the capture layer, so that a front
// end can catch them all in one place and show the message.
class EVistrelError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

// The system's text for errno, with trailing blanks, line breaks and periods
// removed so it reads well after our own sentence.
std::string SystemErrorText(int errorNumber);

// path made absolute against the current directory, without touching the disk.
std::string AbsolutePath(const std::string& path);

}  // namespace vistrel
