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

// The system's text for errno, with trailing blanks, line breaks and periods
// removed so it reads well after our own sentence.
std::string SystemErrorText(int errorNumber);

// "<system text> (errno N)": how a failed call's cause appears in the log.
std::string ErrnoText(int errorNumber);

}  // namespace vistrel
