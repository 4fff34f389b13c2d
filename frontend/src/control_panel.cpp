// SPDX-License-Identifier: MIT
#include "frontend/control_panel.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <string>

#include "logging.h"
#include "pipeline/video_image.h"

namespace vistrel {

namespace {

bool Shown(const TCameraControl& control) {
    switch (control.type) {
        case TControlType::Integer:
        case TControlType::Boolean:
        case TControlType::Menu:
        case TControlType::IntegerMenu:
        case TControlType::Button:
            return true;
        default:
            return false;
    }
}

QString Problem(const TCameraControl& control, const QString& why) {
    return QStringLiteral("camera control \"%1\": %2")
        .arg(QString::fromStdString(control.key), why);
}

}  // namespace

TControlPanel::TControlPanel(TVideoImage& session, std::vector<TControlSetting> settings)
    : session_(session), settings_(std::move(settings)) {}

TStatus TControlPanel::Refresh() {
    std::vector<TCameraControl> all;
    TStatus status = kStatusOk;
    const TStatus used =
        session_.UseCaptureDevice([&](V4L2Io& io, int fd, const std::string& path) {
            status = QueryControls(io, fd, path, all);
        });
    if (Failed(used) || Failed(status)) {
        return Failed(used) ? used : status;
    }
    controls_.clear();
    std::copy_if(all.begin(), all.end(), std::back_inserter(controls_), Shown);
    DropLocked();
    return kStatusOk;
}

const TCameraControl* TControlPanel::Find(std::uint32_t id) const {
    const auto it = std::find_if(controls_.begin(), controls_.end(),
                                 [id](const TCameraControl& c) { return c.id == id; });
    return it == controls_.end() ? nullptr : &*it;
}

bool TControlPanel::Editable(const TCameraControl& control) {
    return !control.Has(V4L2_CTRL_FLAG_READ_ONLY) && !control.Has(V4L2_CTRL_FLAG_INACTIVE);
}

std::optional<QString> TControlPanel::Set(std::uint32_t id, std::int64_t value) {
    const TCameraControl* control = Find(id);
    if (control == nullptr) {
        return QStringLiteral("camera control 0x%1: not on this camera").arg(id, 0, 16);
    }
    const TCameraControl chosen = *control;  // Refresh replaces the list
    std::optional<QString> problem = SetOnCamera(chosen, value);
    if (!problem) {
        Note(chosen, value);
    }
    if (const TStatus s = Refresh(); Failed(s) && !problem) {
        problem = Problem(chosen, QStringLiteral("cannot read the controls back: status 0x%1")
                                      .arg(static_cast<unsigned>(s), 8, 16, QLatin1Char('0')));
    }
    return problem;
}

// Auto modes are switches and menus, and the values they lock are numbers:
// the numbers go first, while still unlocked, then the modes; a number an
// auto mode's default unlocks is tried once more after them.
std::vector<QString> TControlPanel::Defaults() {
    const auto isMode = [](const TCameraControl& c) {
        return c.type == TControlType::Boolean || c.type == TControlType::Menu;
    };
    std::vector<TCameraControl> refused;
    for (const bool modes : {false, true}) {
        for (const TCameraControl& control : controls_) {
            if (control.type != TControlType::Button && Editable(control) &&
                isMode(control) == modes && SetOnCamera(control, control.defaultValue)) {
                refused.push_back(control);
            }
        }
    }
    std::vector<QString> problems;
    for (const TCameraControl& control : refused) {
        if (std::optional<QString> problem = SetOnCamera(control, control.defaultValue)) {
            problems.push_back(std::move(*problem));
        }
    }
    std::erase_if(settings_, [this](const TControlSetting& s) {
        return std::any_of(controls_.begin(), controls_.end(),
                           [&s](const TCameraControl& c) { return c.key == s.name; });
    });
    Refresh();
    return problems;
}

std::optional<QString> TControlPanel::SetOnCamera(const TCameraControl& control,
                                                  std::int64_t value) {
    TControlSetResult result;
    const TStatus used =
        session_.UseCaptureDevice([&](V4L2Io& io, int fd, const std::string& path) {
            result = SetControl(io, fd, path, control.id, control.type, value);
        });
    if (Failed(used)) {
        return Problem(control, QStringLiteral("no camera is running"));
    }
    if (!result.Ok()) {
        qCInfo(lcFrontend, "%s of %s to %lld refused: %s", result.call, control.key.c_str(),
               static_cast<long long>(value), result.Reason().c_str());
        return Problem(control,
                       QStringLiteral("refused: %1").arg(QString::fromStdString(result.Reason())));
    }
    return std::nullopt;
}

// A setting keeps its place when it changes again: the order it was first
// made in is the one that worked.
void TControlPanel::Note(const TCameraControl& control, std::int64_t value) {
    if (control.type == TControlType::Button) {
        return;
    }
    const auto it = std::find_if(settings_.begin(), settings_.end(),
                                 [&](const TControlSetting& s) { return s.name == control.key; });
    if (value == control.defaultValue) {
        if (it != settings_.end()) {
            settings_.erase(it);
        }
        return;
    }
    if (it != settings_.end()) {
        it->value = std::to_string(value);
    } else {
        settings_.push_back({control.key, std::to_string(value)});
    }
}

// A value an auto mode locked again would be refused at the next start.
void TControlPanel::DropLocked() {
    std::erase_if(settings_, [this](const TControlSetting& s) {
        return std::any_of(controls_.begin(), controls_.end(), [&s](const TCameraControl& c) {
            return c.key == s.name && c.Has(V4L2_CTRL_FLAG_INACTIVE);
        });
    });
}

}  // namespace vistrel
