#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

namespace vistrel::cli {

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

}  // namespace vistrel::cli
