// SPDX-License-Identifier: MIT
#include "formats_command.h"

#include "arguments.h"
#include "base/errors.h"
#include "capture/format_enum.h"
#include "frontend/device_name.h"
#include "frontend/format_choice.h"
#include "frontend/settings.h"

namespace vistrel::cli {

QString FormatsHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli formats [--device NAME]\n"
        "\n"
        "Lists what a camera can send, one line per pixel format and size: the\n"
        "format's code, a tab, the size as WxH (or a range of sizes), a tab and the\n"
        "frame rates. Codes are Vistrel's names (YUY2, I420, YV12, MJPG, RGB); a\n"
        "format Vistrel cannot convert shows its V4L2 code and \"(not convertible)\".\n"
        "The line of the camera's current format and size starts with \"*\".\n"
        "'vistrel-cli log --format CODE --size WxH --fps N' picks one.\n"
        "\n"
        "  --device NAME  the camera, as for 'vistrel-cli log'; default: the camera\n"
        "                 of the window's settings file, else the first\n"
        "  -h, --help     show this help\n"
        "\n"
        "Exit status: 0; 1 when the camera cannot be opened; 2 for a wrong command\n"
        "line.\n");
}

FormatsOptions ParseFormatsArguments(const QStringList& arguments) {
    FormatsOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (const auto device = TakeValue(arguments, i, QStringLiteral("--device"))) {
            options.device = *device;
        } else {
            Usage(QStringLiteral("unknown argument \"%1\"").arg(arguments[i]));
        }
    }
    return options;
}

QString CameraListingFailure(const QString& device, TStatus status) {
    if (status == kStatusFail) {
        return QStringLiteral("no camera \"%1\" (see 'vistrel-cli devices')").arg(device);
    }
    const int error = ErrnoOfStatus(status);
    return QStringLiteral("cannot list the formats of camera \"%1\": %2")
        .arg(device, error != 0
                         ? QString::fromStdString(SystemErrorText(error))
                         : QStringLiteral("status 0x%1")
                               .arg(static_cast<std::uint32_t>(status), 8, 16, QLatin1Char('0')));
}

int RunFormats(const FormatsOptions& options, const LogSettings& where,
               const std::shared_ptr<V4L2Io>& io, QTextStream& out, QTextStream& err) {
    const TSettings settings = TSettings::Load(where.settingsFile, where.defaultDirectory);
    const QString device = options.device.value_or(NumberedDeviceName(settings.Cam + 1));
    TDeviceFormats formats;
    std::string friendlyName;
    if (const TStatus status =
            EnumDeviceFormats(device.toLocal8Bit().toStdString(), formats, friendlyName, *io);
        Failed(status)) {
        err << kProgram << ": " << CameraListingFailure(device, status) << '\n';
        return kExitFailure;
    }
    for (const QString& line : FormatListing(formats)) {
        out << line << '\n';
    }
    return kExitSuccess;
}

int RunFormatsCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                      QTextStream& out, QTextStream& err) {
    return RunCommand(QStringLiteral("formats"), arguments, FormatsHelpText(), out, err, [&] {
        return RunFormats(ParseFormatsArguments(arguments),
                          {TSettings::SettingsFileName(), TSettings::DefaultDirectory()}, io, out,
                          err);
    });
}

}  // namespace vistrel::cli
