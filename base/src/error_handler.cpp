#include "base/error_handler.h"

#include <cstdio>
#include <utility>

namespace vistrel {

namespace {

void WriteToStderr(const QString& message, const void* /*source*/) {
    std::fprintf(stderr, "vistrel: %s\n", message.toLocal8Bit().constData());
}

ApplicationErrorHandler& InstalledHandler() {
    static ApplicationErrorHandler handler = WriteToStderr;
    return handler;
}

}  // namespace

ApplicationErrorHandler SetApplicationErrorHandler(ApplicationErrorHandler handler) {
    if (!handler) {
        handler = WriteToStderr;
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
            WriteToStderr(message, source);
        }
    } catch (...) {
        std::fputs("vistrel: an error could not be reported\n", stderr);
    }
}

}  // namespace vistrel
