// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <vector>

#include "capture/camera_controls.h"
#include "frontend/duration.h"

namespace vistrel {

// Camera control settings as text: one NAME=VALUE, as `--control` takes it,
// and a list of them joined by ',', as the settings key `Controls` holds it
// ("exposure_auto=1,exposure_time_absolute=300").
//
// NAME is a control key: letters, digits and '_' (upper-case letters are
// taken as lower case). VALUE is what the camera interprets: a number, a
// boolean word or a menu item's name; it may be empty but cannot hold ',' so
// that every setting survives the list. Blanks around names and values are
// dropped.
TParsed<TControlSetting> ParseControlSetting(const QString& text);

// The settings of a list in their order; empty items (",,", a trailing ',')
// are passed over. The error names the first bad item.
TParsed<std::vector<TControlSetting>> ParseControlList(const QString& text);

// The list as ParseControlList reads it back.
QString ControlListText(const std::vector<TControlSetting>& settings);

// The settings key's list: a text that is not one is logged and reads as
// no settings at all, so that no half of a list is applied.
std::vector<TControlSetting> ControlListSetting(const QString& text);

}  // namespace vistrel
