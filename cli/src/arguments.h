// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

#include <optional>
#include <stdexcept>

namespace vistrel::cli {

inline constexpr auto kProgram = "vistrel-cli";

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A command line that cannot be run; what() is the one-line reason.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Usage(const QString& reason);

// A whole decimal number from low to high, or a UsageError naming what.
int ParseNumber(const QString& text, const QString& what, int low, int high);

// The value of option name at arguments[i], given as "name value" (i then
// moves past the value) or "name=value"; nullopt when arguments[i] is
// another argument.
std::optional<QString> TakeValue(const QStringList& arguments, qsizetype& i, const QString& name);

// True when --help or -h comes before a "--".
bool AsksForHelp(const QStringList& arguments);

// Runs one command: prints help when asked for it, else runs body and turns
// a UsageError into exit status 2 and any other error into 1, each with a
// one-line message on err.
int RunCommand(const QString& command, const QStringList& arguments, const QString& help,
               QTextStream& out, QTextStream& err, const std::function<int()>& body);

}  // namespace vistrel::cli
