#include "logging.h"

#include <system_error>

namespace vistrel {

Q_LOGGING_CATEGORY(lcPipeline, "vistrel.pipeline", QtWarningMsg)

QString StatusForLog(TStatus status) {
    QString text = QStringLiteral("status 0x%1")
                       .arg(static_cast<std::uint32_t>(status), 8, 16, QLatin1Char('0'));
    if (const int errorNumber = ErrnoOfStatus(status); errorNumber != 0) {
        text += QStringLiteral(" (%1)").arg(
            QString::fromLocal8Bit(std::generic_category().message(errorNumber)));
    }
    return text;
}

}  // namespace vistrel
