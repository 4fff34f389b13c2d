// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/camera_controls.h"
#include "capture/status.h"

namespace vistrel {

class TVideoImage;

// What the camera controls dialog does, without its widgets: reads the
// controls of the camera a session has open, sets them at once, and keeps
// the list of settings a later start applies again (the settings' Controls).
//
// The list holds the controls a user moved away from their defaults, in the
// order first changed, so that an auto mode switched off comes before the
// value it unlocks. A control set back to its default, or locked again by an
// auto mode (inactive), leaves the list; buttons never enter it; settings of
// controls this camera lacks are kept as they are.
class TControlPanel {
public:
    // The panel edits settings, the list in use; Refresh reads the controls.
    TControlPanel(TVideoImage& session, std::vector<TControlSetting> settings);

    // Reads the controls again: their values, and the flags an auto mode
    // changes. Status: E_FAIL when the session captures nothing, else the
    // capture layer's.
    TStatus Refresh();

    // The controls a dialog can show (integers, booleans, menus, integer
    // menus and buttons), in the driver's order.
    const std::vector<TCameraControl>& Controls() const { return controls_; }
    const TCameraControl* Find(std::uint32_t id) const;
    // A control that may be changed now: neither read-only nor inactive.
    static bool Editable(const TCameraControl& control);

    // Sets the control on the camera (a button is pressed), notes it in the
    // list and reads the controls again. The problem text when the camera
    // refused it or captures nothing.
    std::optional<QString> Set(std::uint32_t id, std::int64_t value);

    // Sets every editable control back to its default and forgets their
    // settings: numbers first, then switches and menus (the auto modes that
    // lock numbers), then once more the refused ones. The problems, one per
    // control that stayed refused.
    std::vector<QString> Defaults();

    const std::vector<TControlSetting>& Settings() const { return settings_; }

private:
    std::optional<QString> SetOnCamera(const TCameraControl& control, std::int64_t value);
    void Note(const TCameraControl& control, std::int64_t value);
    void DropLocked();

    TVideoImage& session_;
    std::vector<TControlSetting> settings_;
    std::vector<TCameraControl> controls_;
};

}  // namespace vistrel
