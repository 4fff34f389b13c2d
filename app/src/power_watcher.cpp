// SPDX-License-Identifier: MIT
#include "app/power_watcher.h"

#include <QDBusConnection>
#include <QDBusError>

#include "logging.h"

namespace vistrel {

TPowerWatcher::TPowerWatcher(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        connected_ = bus.connect(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
            this, SLOT(PrepareForSleep(bool)));
    }
    if (!connected_) {
        // Suspend and resume then go unnoticed.
        const QString why = bus.lastError().message();
        qCWarning(lcApp, "not watching for system sleep: %s",
                  why.isEmpty() ? "no system bus" : qUtf8Printable(why));
    }
}

void TPowerWatcher::PrepareForSleep(bool start) {
    // logind sends true before the system sleeps and false once it is back.
    if (handler_) {
        handler_(!start);
    }
}

}  // namespace vistrel
