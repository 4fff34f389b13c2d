#include "cli.h"

#include "arguments.h"
#include "convert_command.h"
#include "log_command.h"

namespace vistrel::cli {

QString UsageText() {
    return QStringLiteral(
        "Usage: vistrel-cli COMMAND [OPTIONS]\n"
        "\n"
        "Commands:\n"
        "  devices   list the cameras: position, a tab, name\n"
        "  log       capture from a camera and write frames as JPEG files\n"
        "  convert   turn one raw camera frame into a picture\n"
        "\n"
        "Run 'vistrel-cli COMMAND --help' for the options of a command.\n");
}

int RunCli(const QStringList& arguments, QTextStream& out, QTextStream& err,
           const std::shared_ptr<V4L2Io>& io) {
    const QStringList rest = arguments.mid(1);
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
    if (command == u"log") {
        return RunLogCommand(commandArguments, io, out, err);
    }
    err << "vistrel-cli: unknown command \"" << command << "\" (try 'vistrel-cli --help')\n";
    return kExitUsage;
}

}  // namespace vistrel::cli
