// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "capture/format_enum.h"

class QMenu;
class QWidget;

namespace vistrel {

// A format and size picked in the thumbnail's menu.
struct TFormatPick {
    std::uint32_t pixelFormat = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The sizes a menu offers for one size choice: a listed size itself; for a
// range, the common sizes on its steps, and the current size when it lies
// in the range.
std::vector<std::pair<std::uint32_t, std::uint32_t>> MenuSizes(const TSizeChoice& size,
                                                               std::uint32_t currentWidth,
                                                               std::uint32_t currentHeight);

// The thumbnail's menu: one submenu per format of the camera, titled by
// Vistrel's name, with its sizes; the current format and size checked. A
// format Vistrel cannot convert is shown but cannot be picked. Picking an
// entry calls picked.
std::unique_ptr<QMenu> MakeFormatMenu(const TDeviceFormats& formats, QWidget* parent,
                                      const std::function<void(const TFormatPick&)>& picked);

// The menu while nothing is captured: one disabled line saying so.
std::unique_ptr<QMenu> MakeIdleFormatMenu(QWidget* parent);

// Appends the "Interval" submenu ("Every taken frame" for zero, then the usual periods)
// and the "Warm-up" submenu ("Off" for zero, then a few seconds), each with its current
// value checked; a current value that is not offered is added, checked, in its place.
using DurationPicked = std::function<void(std::chrono::milliseconds)>;
void AddTimeLapseMenus(QMenu& menu, std::chrono::milliseconds interval,
                       std::chrono::milliseconds warmUp, const DurationPicked& intervalPicked,
                       const DurationPicked& warmUpPicked);

}  // namespace vistrel
