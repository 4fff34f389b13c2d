// SPDX-License-Identifier: MIT
#include "controls_command.h"

#include <linux/videodev2.h>

#include "arguments.h"
#include "base/errors.h"
#include "formats_command.h"
#include "frontend/settings.h"

namespace vistrel::cli {

namespace {

// A driver's text on one field of a line: no tabs or line breaks in it.
QString FieldText(const std::string& text) {
    QString field = QString::fromStdString(text);
    for (QChar& c : field) {
        if (c < u' ' || c == QChar(0x7F)) {
            c = u' ';
        }
    }
    return field;
}

QString Hex(std::int64_t value) {
    return QStringLiteral("0x%1").arg(static_cast<quint32>(value), 8, 16, QLatin1Char('0'));
}

QString Number(const TCameraControl& control, std::int64_t value) {
    return control.type == TControlType::Bitmask ? Hex(value) : QString::number(value);
}

QString RangeField(const TCameraControl& c) {
    const QString span = QStringLiteral("%1..%2").arg(c.minimum).arg(c.maximum);
    switch (c.type) {
        case TControlType::Integer:
        case TControlType::Integer64:
            return span + QStringLiteral(" step %1").arg(c.step);
        case TControlType::Boolean:
        case TControlType::Menu:
        case TControlType::IntegerMenu:
            return span;
        case TControlType::Bitmask:
            return QStringLiteral("mask ") + Hex(c.maximum);
        case TControlType::String:
            return QStringLiteral("length ") + span;
        default:
            return QStringLiteral("-");
    }
}

bool HasDefault(const TCameraControl& c) {
    return c.type != TControlType::Button && c.type != TControlType::String &&
           c.type != TControlType::Other;
}

QString ValueField(const TCameraControl& c) {
    if (c.text) {
        return QStringLiteral("value ") + FieldText(*c.text);
    }
    return QStringLiteral("value ") + (c.value ? Number(c, *c.value) : QStringLiteral("-"));
}

QString ItemsField(const TCameraControl& c) {
    QStringList items;
    for (const TMenuItem& item : c.menu) {
        items << QStringLiteral("%1=%2")
                     .arg(item.index)
                     .arg(c.type == TControlType::Menu ? FieldText(item.name)
                                                       : QString::number(item.value));
    }
    return QStringLiteral("items ") + items.join(u'|');
}

QString ControlLine(const TCameraControl& c) {
    QStringList fields{QString::fromStdString(c.key), QString::fromStdString(ControlTypeName(c)),
                       RangeField(c),
                       QStringLiteral("default ") +
                           (HasDefault(c) ? Number(c, c.defaultValue) : QStringLiteral("-")),
                       ValueField(c)};
    QStringList flags;
    for (const std::string& name : ControlFlagNames(c.flags)) {
        flags << QString::fromStdString(name);
    }
    if (!flags.isEmpty()) {
        fields << QStringLiteral("flags ") + flags.join(u',');
    }
    if (!c.menu.empty()) {
        fields << ItemsField(c);
    }
    return fields.join(u'\t');
}

}  // namespace

QString ControlsHelpText() {
    return QStringLiteral(
        "Usage: vistrel-cli controls [--device NAME]\n"
        "\n"
        "Lists a camera's controls, one line per control, with these fields\n"
        "separated by tabs:\n"
        "  the key: the driver's name in lower case, its words joined by '_'\n"
        "  the type: int, int64, bool, menu, intmenu, button, bitmask, string, ...\n"
        "  the range: MIN..MAX step N (int, int64), MIN..MAX (bool, menus),\n"
        "    mask 0xHEX (bitmask), length MIN..MAX (string), - (button)\n"
        "  default N, or default -\n"
        "  value N (the current value; value - when it cannot be read)\n"
        "then, only when there are any:\n"
        "  flags NAME,NAME (inactive, read-only, write-only, grabbed, volatile, ...)\n"
        "  items I=NAME|I=NAME (menus; integer menus give I=VALUE)\n"
        "For example: \"brightness\\tint\\t0..255 step 1\\tdefault 128\\tvalue 128\".\n"
        "\n"
        "  --device NAME  the camera, as for 'vistrel-cli log'; default: the camera\n"
        "                 of the window's settings file, else the first\n"
        "  -h, --help     show this help\n"
        "\n"
        "Exit status: 0; 1 when the camera cannot be opened or its controls read;\n"
        "2 for a wrong command line.\n");
}

ControlsOptions ParseControlsArguments(const QStringList& arguments) {
    ControlsOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (const auto device = TakeValue(arguments, i, QStringLiteral("--device"))) {
            options.device = *device;
        } else {
            Usage(QStringLiteral("unknown argument \"%1\"").arg(arguments[i]));
        }
    }
    return options;
}

QStringList ControlListing(const std::vector<TCameraControl>& controls) {
    QStringList lines;
    for (const TCameraControl& c : controls) {
        lines << ControlLine(c);
    }
    return lines;
}

int RunControls(const ControlsOptions& options, const LogSettings& where,
                const std::shared_ptr<V4L2Io>& io, QTextStream& out, QTextStream& err) {
    const TSettings settings = TSettings::Load(where.settingsFile, where.defaultDirectory);
    const QString device = options.device.value_or(QStringLiteral("#%1").arg(settings.Cam + 1));
    std::vector<TCameraControl> controls;
    std::string friendlyName;
    const TStatus status =
        QueryDeviceControls(device.toLocal8Bit().toStdString(), controls, friendlyName, *io);
    if (status == kStatusFail) {
        err << kProgram << ": " << CameraListingFailure(device, status) << '\n';
        return kExitFailure;
    }
    if (Failed(status)) {
        err << kProgram << ": "
            << QStringLiteral("cannot list the controls of camera \"%1\": %2")
                   .arg(device, QString::fromStdString(SystemErrorText(ErrnoOfStatus(status))))
            << '\n';
        return kExitFailure;
    }
    for (const QString& line : ControlListing(controls)) {
        out << line << '\n';
    }
    return kExitSuccess;
}

int RunControlsCommand(const QStringList& arguments, const std::shared_ptr<V4L2Io>& io,
                       QTextStream& out, QTextStream& err) {
    return RunCommand(QStringLiteral("controls"), arguments, ControlsHelpText(), out, err, [&] {
        return RunControls(ParseControlsArguments(arguments),
                           {TSettings::SettingsFileName(), TSettings::DefaultDirectory()}, io, out,
                           err);
    });
}

}  // namespace vistrel::cli
