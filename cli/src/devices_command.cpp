#include "devices_command.h"

#include "arguments.h"
#include "pipeline/video_image.h"

namespace vistrel::cli {

QString DevicesHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli devices\n"
        "\n"
        "Lists the cameras, one a line: the position, a tab and the name. The\n"
        "position n is what 'vistrel-cli log --device #n' takes.\n"
        "\n"
        "Exit status: 0, also when no camera is found (a note then says so on\n"
        "standard error; -v tells why a camera was passed over); 2 for a wrong\n"
        "command line.\n");
}

int RunDevicesCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                      QTextStream& out, QTextStream& err) {
    return RunCommand(QStringLiteral("devices"), arguments, DevicesHelpText(), out, err, [&] {
        if (!arguments.isEmpty()) {
            Usage(QStringLiteral("takes no arguments"));
        }
        TVideoImage session(TVideoImage::Options{.installIdleHook = false, .io = io});
        QStringList names;
        session.GetDeviceList(names);
        if (names.isEmpty()) {
            err << kProgram << ": no camera found\n";
        }
        for (qsizetype i = 0; i < names.size(); ++i) {
            out << (i + 1) << '\t' << names[i] << '\n';
        }
        return kExitSuccess;
    });
}

}  // namespace vistrel::cli
