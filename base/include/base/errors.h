// SPDX-License-Identifier: MIT
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

// The one renderer of errno values, safe on any thread: the system's
// (untranslated) text, with trailing blanks, line breaks and periods removed
// so it reads well after our own sentence. Copy errno into a local right
// after the failed call and pass that: anything run in between (a log call,
// an allocation) may change it.
std::string SystemErrorText(int errorNumber);

// "<system text> (errno N)": how a failed call's cause appears in the log.
std::string ErrnoText(int errorNumber);

}  // namespace vistrel
