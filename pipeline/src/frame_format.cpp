// SPDX-License-Identifier: MIT
#include "pipeline/frame_format.h"

namespace vistrel {

QString DiagnosticLine(std::int32_t length, std::uint32_t compression) {
    return QStringLiteral("DataSize: ") + QString::number(length) + QStringLiteral("  FourCC: ") +
           QString::fromLatin1(FourCCName(compression));
}

}  // namespace vistrel
