// SPDX-License-Identifier: MIT
#include "cli.h"

#include <QLoggingCategory>

#include "arguments.h"
#include "controls_command.h"
#include "convert_command.h"
#include "devices_command.h"
#include "formats_command.h"
#include "log_command.h"

namespace vistrel::cli {

namespace {

// Takes the global option -v/--verbose out of arguments wherever it stands
// before a "--"; true when it was there.
bool TakeVerbose(QStringList& arguments) {
    bool verbose = false;
    for (qsizetype i = 0; i < arguments.size() && arguments[i] != u"--";) {
        if (arguments[i] == u"-v" || arguments[i] == u"--verbose") {
            arguments.removeAt(i);
            verbose = true;
        } else {
            ++i;
        }
    }
    return verbose;
}

}  // namespace

QString UsageText() {
    return QStringLiteral(
        "Usage: vistrel-cli [-v] COMMAND [OPTIONS]\n"
        "\n"
        "Commands:\n"
        "  devices   list the cameras: position, a tab, name\n"
        "  formats   list the formats, sizes and frame rates a camera offers\n"
        "  controls  list a camera's controls: key, type, range, default, value\n"
        "  log       capture from a camera and write frames as JPEG files\n"
        "  convert   turn one raw camera frame into a picture\n"
        "\n"
        "  -v, --verbose  also log why something failed (the vistrel.* log\n"
        "                 categories at info level); before or after the command\n"
        "\n"
        "Run 'vistrel-cli COMMAND --help' for the options of a command.\n");
}

int RunCli(const QStringList& arguments, QTextStream& out, QTextStream& err,
           const std::shared_ptr<V4L2Io>& io) {
    QStringList rest = arguments.mid(1);
    if (TakeVerbose(rest)) {
        // Set beside the configuration files' rules; QT_LOGGING_RULES still
        // has the last word.
        QLoggingCategory::setFilterRules(QStringLiteral("vistrel.*.info=true"));
    }
    if (rest.isEmpty()) {
        err << "vistrel-cli: missing command (try 'vistrel-cli --help')\n";
        return kExitUsage;
    }
    const QString& command = rest.front();
    const QStringList commandArguments = rest.mid(1);
    if (command == u"--help" || command == u"-h") {
        out << UsageText();
        return kExitSuccess;
    }
    if (command == u"convert") {
        return RunConvertCommand(commandArguments, out, err);
    }
    if (command == u"devices") {
        return RunDevicesCommand(commandArguments, io, out, err);
    }
    if (command == u"formats") {
        return RunFormatsCommand(commandArguments, io, out, err);
    }
    if (command == u"controls") {
        return RunControlsCommand(commandArguments, io, out, err);
    }
    if (command == u"log") {
        return RunLogCommand(commandArguments, io, out, err);
    }
    err << "vistrel-cli: unknown command \"" << command << "\" (try 'vistrel-cli --help')\n";
    return kExitUsage;
}

}  // namespace vistrel::cli
