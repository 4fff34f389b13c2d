#include "app/power_watcher.h"

#include <QDBusConnection>

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
}

void TPowerWatcher::PrepareForSleep(bool start) {
    // logind sends true before the system sleeps and false once it is back.
    if (handler_) {
        handler_(!start);
    }
}

}  // namespace vistrel
