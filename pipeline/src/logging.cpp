// SPDX-License-Identifier: MIT
#include "logging.h"

#include "base/errors.h"

namespace vistrel {

Q_LOGGING_CATEGORY(lcPipeline, "vistrel.pipeline", QtWarningMsg)

QString StatusForLog(TStatus status) {
    if (const int errorNumber = ErrnoOfStatus(status); errorNumber != 0) {
        return QString::fromStdString(ErrnoText(errorNumber));
    }
    return QStringLiteral("unspecified failure");
}

}  // namespace vistrel
