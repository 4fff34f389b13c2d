// SPDX-License-Identifier: MIT
#include "base/qt_messages.h"

#include <QtGlobal>

#include "logging.h"

namespace vistrel {

namespace {

QtMessageHandler previousHandler = nullptr;

bool IsRuntimeDirectoryNotice(QtMsgType type, const QString& message) {
    return type == QtWarningMsg &&
           message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"));
}

void RouteMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!IsRuntimeDirectoryNotice(type, message)) {
        previousHandler(type, context, message);
        return;
    }
    if (lcBase().isInfoEnabled()) {
        const QMessageLogContext ours(context.file, context.line, context.function,
                                      lcBase().categoryName());
        previousHandler(QtInfoMsg, ours, message);
    }
}

}  // namespace

void RouteQtEnvironmentNotices() {
    if (previousHandler == nullptr) {
        // Qt hands back its own default handler when none was installed.
        previousHandler = qInstallMessageHandler(RouteMessage);
    }
}

}  // namespace vistrel
