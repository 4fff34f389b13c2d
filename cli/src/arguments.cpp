// SPDX-License-Identifier: MIT
#include "arguments.h"

#include "base/error_handler.h"

namespace vistrel::cli {

void Usage(const QString& reason) {
    throw UsageError(reason.toStdString());
}

int ParseNumber(const QString& text, const QString& what, int low, int high) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.startsWith(u'+') || value < low || value > high) {
        Usage(QStringLiteral("%1 must be a whole number from %2 to %3, not \"%4\"")
                  .arg(what)
                  .arg(low)
                  .arg(high)
                  .arg(text));
    }
    return value;
}

std::optional<QString> TakeValue(const QStringList& arguments, qsizetype& i, const QString& name) {
    const QString& argument = arguments[i];
    if (argument == name) {
        if (i + 1 >= arguments.size()) {
            Usage(QStringLiteral("%1 needs a value").arg(name));
        }
        return arguments[++i];
    }
    if (argument.startsWith(name + u'=')) {
        return argument.mid(name.size() + 1);
    }
    return std::nullopt;
}

bool AsksForHelp(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (argument == u"--") {
            return false;
        }
        if (argument == u"--help" || argument == u"-h") {
            return true;
        }
    }
    return false;
}

int RunCommand(const QString& command, const QStringList& arguments, const QString& help,
               QTextStream& out, QTextStream& err, const std::function<int()>& body) {
    if (AsksForHelp(arguments)) {
        out << help;
        return kExitSuccess;
    }
    try {
        return body();
    } catch (const UsageError& e) {
        err << kProgram << ' ' << command << ": " << e.what() << " (try '" << kProgram << ' '
            << command << " --help')\n";
        return kExitUsage;
    } catch (...) {
        err << kProgram << ": " << ErrorMessage(std::current_exception()) << '\n';
        return kExitFailure;
    }
}

}  // namespace vistrel::cli
