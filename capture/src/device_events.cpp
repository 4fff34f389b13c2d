// SPDX-License-Identifier: MIT
#include "capture/device_events.h"

#include <libudev.h>

#include <cerrno>

#include "base/errors.h"
#include "logging.h"

namespace vistrel {
namespace {

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
};
struct MonitorUnref {
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
struct DeviceUnref {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

class UdevVideoEvents final : public TDeviceEvents {
public:
    UdevVideoEvents(std::unique_ptr<udev, UdevUnref> context,
                    std::unique_ptr<udev_monitor, MonitorUnref> monitor)
        : context_(std::move(context)), monitor_(std::move(monitor)) {}

    int Fd() const override { return udev_monitor_get_fd(monitor_.get()); }

    bool Drain() override {
        // The monitor's socket is non-blocking: this ends when nothing is left.
        bool any = false;
        while (std::unique_ptr<udev_device, DeviceUnref> device{
            udev_monitor_receive_device(monitor_.get())}) {
            any = true;  // the filter passes video4linux devices only
        }
        return any;
    }

private:
    std::unique_ptr<udev, UdevUnref> context_;
    std::unique_ptr<udev_monitor, MonitorUnref> monitor_;
};

std::unique_ptr<TDeviceEvents> Unavailable(const char* call, int errorNumber) {
    qCWarning(lcCapture, "%s for device events: %s; looking for cameras by polling only", call,
              ErrnoText(errorNumber).c_str());
    return nullptr;
}

}  // namespace

std::unique_ptr<TDeviceEvents> OpenVideoDeviceEvents() {
    errno = 0;
    std::unique_ptr<udev, UdevUnref> context{udev_new()};
    if (!context) {
        return Unavailable("udev_new", errno != 0 ? errno : ENOMEM);
    }
    errno = 0;
    std::unique_ptr<udev_monitor, MonitorUnref> monitor{
        udev_monitor_new_from_netlink(context.get(), "udev")};
    if (!monitor) {
        return Unavailable("udev_monitor_new_from_netlink", errno != 0 ? errno : ENOMEM);
    }
    if (const int r =
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "video4linux", nullptr);
        r < 0) {
        return Unavailable("udev_monitor_filter_add_match_subsystem_devtype", -r);
    }
    if (const int r = udev_monitor_enable_receiving(monitor.get()); r < 0) {
        return Unavailable("udev_monitor_enable_receiving", -r);
    }
    return std::make_unique<UdevVideoEvents>(std::move(context), std::move(monitor));
}

}  // namespace vistrel
