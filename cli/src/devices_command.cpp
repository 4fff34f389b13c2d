// SPDX-License-Identifier: MIT
#include "devices_command.h"

#include "arguments.h"
#include "base/errors.h"
#include "capture/device_enum.h"
#include "frontend/failure_text.h"

namespace vistrel::cli {

namespace {

QString LocalText(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString DevicesHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli devices [--long]\n"
        "\n"
        "Lists the cameras, one a line: the position, a tab and the name. The\n"
        "position n is what 'vistrel-cli log --device #n' takes. A device node that\n"
        "cannot be opened is named on standard error with the reason, and takes no\n"
        "position.\n"
        "\n"
        "  --long     add, after tabs, the device node, the bus info (the port) and\n"
        "             the node's stable link in /dev/v4l/by-id ('-' when none);\n"
        "             --device takes the node or such a link (also one in\n"
        "             /dev/v4l/by-path) to name the camera whatever its position\n"
        "\n"
        "Exit status: 0, also when no camera is found (a note then says so on\n"
        "standard error; -v tells why a camera was passed over); 1 when no camera\n"
        "is listed because device nodes could not be opened or listed; 2 for a\n"
        "wrong command line.\n");
}

int RunDevicesCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                      QTextStream& out, QTextStream& err) {
    return RunCommand(QStringLiteral("devices"), arguments, DevicesHelpText(), out, err, [&] {
        const bool detailed = arguments == QStringList{QStringLiteral("--long")};
        if (!arguments.isEmpty() && !detailed) {
            Usage(QStringLiteral("takes no arguments but --long"));
        }
        std::vector<TCaptureNode> nodes;
        std::vector<TUnopenedNode> unopened;
        const TStatus status = EnumCaptureNodes(nodes, *io, &unopened);
        if (const int error = ErrnoOfStatus(status); error != 0) {
            err << kProgram
                << ": cannot list the cameras: " << QString::fromStdString(SystemErrorText(error))
                << '\n';
            return kExitFailure;
        }
        for (const TUnopenedNode& node : unopened) {
            err << kProgram << ": "
                << DeviceFailureText(QString::fromLocal8Bit(node.path), node.errorNumber) << '\n';
        }
        if (nodes.empty()) {
            err << kProgram << ": no camera found\n";
            return unopened.empty() ? kExitSuccess : kExitFailure;
        }
        for (const TCaptureNode& node : nodes) {
            out << node.position << '\t' << LocalText(node.identity.card);
            if (detailed) {
                const std::string link = DeviceLinkTo(node.path);
                out << '\t' << LocalText(node.path) << '\t' << LocalText(node.identity.busInfo)
                    << '\t' << (link.empty() ? QStringLiteral("-") : LocalText(link));
            }
            out << '\n';
        }
        return kExitSuccess;
    });
}

}  // namespace vistrel::cli
