// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

namespace vistrel::cli {

// What --timestamp and --title asked for; each unset when not given.
struct StampArguments {
    std::optional<std::string> format;  // --timestamp: the default format, or =FORMAT
    std::optional<std::string> title;

    bool Given() const { return format || title; }
};

// Takes --timestamp (the default format), --timestamp=FORMAT and --title
// TEXT (or --title=TEXT) at arguments[i]; false when arguments[i] is none
// of them. A FORMAT only ever follows "=": "--timestamp" alone never takes
// the next argument, which stays an option or a file of its own. Throws
// UsageError for a format or title the stamp cannot show.
bool ParseStampArgument(const QStringList& arguments, qsizetype& i, StampArguments& stamp);

}  // namespace vistrel::cli
