// SPDX-License-Identifier: MIT
#include "base/error_handler.h"

#include <cstdio>
#include <utility>

#include "logging.h"

namespace vistrel {

namespace {

void WriteToLog(const QString& message, const void* /*source*/) {
    qCWarning(lcBase, "%s", qUtf8Printable(message));
}

ApplicationErrorHandler& InstalledHandler() {
    static ApplicationErrorHandler handler = WriteToLog;
    return handler;
}

}  // namespace

ApplicationErrorHandler SetApplicationErrorHandler(ApplicationErrorHandler handler) {
    if (!handler) {
        handler = WriteToLog;
    }
    return std::exchange(InstalledHandler(), std::move(handler));
}

QString ErrorMessage(const std::exception_ptr& error) {
    try {
        if (error) {
            std::rethrow_exception(error);
        }
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return QStringLiteral("Unknown error");
}

void HandleApplicationError(const std::exception_ptr& error, const void* source) noexcept {
    try {
        const QString message = ErrorMessage(error);
        try {
            InstalledHandler()(message, source);
        } catch (...) {
            WriteToLog(message, source);
        }
    } catch (...) {
        // Even the log failed (out of memory): the one line left to say.
        std::fputs("vistrel: an error could not be reported\n", stderr);
    }
}

}  // namespace vistrel
