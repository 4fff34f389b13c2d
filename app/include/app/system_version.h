// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

namespace vistrel {

// The system's version as the about panel and the resume handling read it:
// the kernel release numbers from uname(2).
struct TSystemVersion {
    unsigned MajorVersion = 0;
    unsigned MinorVersion = 0;
    unsigned BuildNumber = 0;  // the release's third number (the patch level)
};

// uname(2)'s release text ("6.1.0-18-amd64"), or nothing when the call fails.
std::optional<QString> KernelRelease();

// The leading "major.minor.patch" numbers of a release text; a missing or
// non-numeric part reads as 0.
TSystemVersion ParseKernelRelease(const QString& release);

// What OSL shows: "6.1.0 Linux"; "0.0.0" alone when the query failed.
QString SystemVersionText(const std::optional<TSystemVersion>& version);

}  // namespace vistrel
