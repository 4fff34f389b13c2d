// SPDX-License-Identifier: MIT
#include "app/system_version.h"

#include <QStringList>

#include <sys/utsname.h>

namespace vistrel {

std::optional<QString> KernelRelease() {
    utsname name{};
    if (::uname(&name) != 0) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(name.release);
}

TSystemVersion ParseKernelRelease(const QString& release) {
    // "6.1.0-18-amd64": the numbers before the first character that is
    // neither a digit nor a dot.
    qsizetype end = 0;
    while (end < release.size() && (release[end].isDigit() || release[end] == QLatin1Char('.'))) {
        ++end;
    }
    const QStringList parts = release.left(end).split(QLatin1Char('.'));
    unsigned numbers[3] = {0, 0, 0};
    for (qsizetype i = 0; i < 3 && i < parts.size(); ++i) {
        bool ok = false;
        const unsigned value = parts[i].toUInt(&ok);
        numbers[i] = ok ? value : 0;
    }
    return {numbers[0], numbers[1], numbers[2]};
}

QString SystemVersionText(const std::optional<TSystemVersion>& version) {
    const TSystemVersion v = version.value_or(TSystemVersion{});
    QString text =
        QStringLiteral("%1.%2.%3").arg(v.MajorVersion).arg(v.MinorVersion).arg(v.BuildNumber);
    // A kernel release has no product name of its own; the numbers are
    // followed by the system's name.
    if (version) {
        text += QStringLiteral(" Linux");
    }
    return text;
}

}  // namespace vistrel
