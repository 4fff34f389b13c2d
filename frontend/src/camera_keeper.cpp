// SPDX-License-Identifier: MIT
#include "frontend/camera_keeper.h"

#include <QSocketNotifier>

#include <exception>
#include <vector>

#include "base/error_handler.h"
#include "base/flag_scope.h"
#include "capture/device_events.h"
#include "capture/v4l2_io.h"
#include "frontend/device_name.h"
#include "logging.h"
#include "pipeline/video_image.h"

namespace vistrel {

TCameraKeeper::TCameraKeeper(TVideoImage& session, Start start, Options options)
    : session_(session), start_(std::move(start)), options_(std::move(options)) {
    if (!options_.openDeviceEvents) {
        const bool systemDevices = session_.Io() == SystemV4L2Io();
        options_.openDeviceEvents = [systemDevices]() -> std::unique_ptr<TDeviceEvents> {
            return systemDevices ? OpenVideoDeviceEvents() : nullptr;
        };
    }
    QObject::connect(&lookTimer_, &QTimer::timeout, &context_, [this] { Look(); });
}

TCameraKeeper::~TCameraKeeper() {
    Cancel();
}

void TCameraKeeper::Wait() {
    if (waiting_) {
        return;
    }
    waiting_ = true;
    wanted_ = session_.CameraIdentity();
    qCInfo(lcFrontend, "waiting for camera \"%s\" at \"%s\"", wanted_.card.c_str(),
           wanted_.busInfo.c_str());
    // Events first, then the look: a camera back in between is seen by the look.
    events_ = options_.openDeviceEvents();
    if (events_) {
        eventNotifier_ = std::make_unique<QSocketNotifier>(events_->Fd(), QSocketNotifier::Read);
        QObject::connect(eventNotifier_.get(), &QSocketNotifier::activated, &context_,
                         [this] { OnDeviceEvents(); });
    }
    lookTimer_.start(options_.lookInterval);
    // Not from inside the caller's loss handling: the session may still be
    // reporting the loss.
    QTimer::singleShot(0, &context_, [this] { Look(); });
}

void TCameraKeeper::Cancel() {
    waiting_ = false;
    lookTimer_.stop();
    eventNotifier_.reset();
    events_.reset();
}

void TCameraKeeper::OnDeviceEvents() {
    if (events_ && events_->Drain()) {
        Look();
    }
}

void TCameraKeeper::Look() {
    if (!waiting_ || looking_) {
        return;
    }
    const FlagScope scope(looking_);
    std::vector<TCaptureNode> nodes;
    std::vector<TUnopenedNode> unopened;
    EnumCaptureNodes(nodes, *session_.Io(), &unopened);  // a failed walk simply finds fewer
    const TCaptureNode* found = FindSameCamera(wanted_, nodes);
    if (found == nullptr) {
        return;
    }
    // A node that cannot be opened may be the camera itself (its permissions
    // not yet set, or taken away): the card-name fallback would then take
    // another camera of the same model.
    if (!unopened.empty() && !(found->identity == wanted_)) {
        qCInfo(lcFrontend, "not taking %s for the lost camera while %s cannot be opened",
               found->path.c_str(), unopened.front().path.c_str());
        return;
    }
    const TCaptureNode node = *found;
    if (!Restart(node)) {
        return;  // again at the next look
    }
    Cancel();
    qCInfo(lcFrontend, "camera \"%s\" back at %s", node.identity.card.c_str(), node.path.c_str());
    if (OnReturned) {
        OnReturned(node);
    }
}

bool TCameraKeeper::Restart(const TCaptureNode& node) {
    int result = 1;
    try {
        result = start_(NumberedDeviceName(node.position));
    } catch (...) {
        // Logged, not shown: nobody may be there to close a box, and the
        // next look tries again.
        qCWarning(lcFrontend, "restarting the camera at %s failed: %s", node.path.c_str(),
                  qUtf8Printable(ErrorMessage(std::current_exception())));
        return false;
    }
    if (result != 0) {
        return false;
    }
    // Cancelled while starting, or the nodes changed between the look and the
    // start and "#n" opened another camera: not the capture we want.
    if (!waiting_ || !(session_.CameraIdentity() == node.identity)) {
        session_.StopCapture();
        return false;
    }
    return true;
}

}  // namespace vistrel
