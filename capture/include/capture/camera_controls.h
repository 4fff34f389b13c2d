// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/status.h"
#include "capture/v4l2_io.h"

namespace vistrel {

// The kinds of V4L2 control, as the driver reports them.
enum class TControlType {
    Integer,
    Boolean,
    Menu,
    Button,
    Integer64,
    String,
    Bitmask,
    IntegerMenu,
    Other,  // compound and future types: listed, never read or set
};

// One item of a menu control. Items the driver skips are absent.
struct TMenuItem {
    std::uint32_t index = 0;
    std::string name;        // menus
    std::int64_t value = 0;  // integer menus
};

// One control of a camera (VIDIOC_QUERY_EXT_CTRL or VIDIOC_QUERYCTRL).
struct TCameraControl {
    std::uint32_t id = 0;
    std::string name;  // the driver's text
    std::string key;   // ControlKey(name): what settings and the command line use
    TControlType type = TControlType::Other;
    std::uint32_t rawType = 0;  // V4L2_CTRL_TYPE_*
    std::int64_t minimum = 0;   // strings: the shortest length
    std::int64_t maximum = 0;   // strings: the longest length
    std::uint64_t step = 0;
    std::int64_t defaultValue = 0;
    std::uint32_t flags = 0;  // V4L2_CTRL_FLAG_*
    // The current value; none for buttons, write-only and compound controls,
    // or when the driver would not say.
    std::optional<std::int64_t> value;
    std::optional<std::string> text;  // the current value of a string control
    std::vector<TMenuItem> menu;      // menus and integer menus

    bool Has(std::uint32_t flag) const { return (flags & flag) != 0; }
};

// A control's name as a key: its runs of letters and digits, in lower case,
// joined by '_' ("Focus, Automatic Continuous" -> "focus_automatic_continuous").
std::string ControlKey(const std::string& name);

// The short name of a type ("int", "bool", "menu", "intmenu", ...).
std::string ControlTypeName(const TCameraControl& control);

// The names of the flags set ("inactive", "read-only", ...), in a fixed order.
std::vector<std::string> ControlFlagNames(std::uint32_t flags);

// Lists the controls of an open device in the driver's order, with their
// menus and current values; control classes and disabled controls are left
// out. Uses the extended query where the driver has it, else the plain one.
// A driver without controls gives an empty list. Status: the errno status of
// a call that failed for another reason (the device vanished, for example).
// path names the device in the log.
TStatus QueryControls(V4L2Io& io, int fd, const std::string& path,
                      std::vector<TCameraControl>& controls);

// The same for the device deviceName names, found as the format listing
// finds it, opened for the listing and closed again. Status as that search:
// E_FAIL when no device matches.
TStatus QueryDeviceControls(const std::string& deviceName, std::vector<TCameraControl>& controls,
                            std::string& friendlyName, V4L2Io& io = *SystemV4L2Io());

// How setting one control went.
struct TControlSetResult {
    int errorNumber = 0;    // 0: set; else the driver's errno
    const char* call = "";  // the call that failed
    // VIDIOC_S_EXT_CTRLS's error_idx on failure: 0 when the driver refused
    // this control, 1 (the count) when it failed before looking at it.
    std::optional<std::uint32_t> errorIndex;

    bool Ok() const { return errorNumber == 0; }
    // The driver's reason, for the user: the system text of the errno.
    std::string Reason() const;
};

// Sets one control by id: VIDIOC_S_EXT_CTRLS, or VIDIOC_S_CTRL where the
// driver lacks the extended call (not for 64-bit controls). type says which
// field of the call carries the value. The value is passed as it is: the
// driver clamps or refuses it.
TControlSetResult SetControl(V4L2Io& io, int fd, const std::string& path, std::uint32_t id,
                             TControlType type, std::int64_t value);
// Sets a string control (extended call only).
TControlSetResult SetStringControl(V4L2Io& io, int fd, const std::string& path, std::uint32_t id,
                                   const std::string& value);

// One NAME=VALUE setting, as given.
struct TControlSetting {
    std::string name;
    std::string value;
    friend bool operator==(const TControlSetting&, const TControlSetting&) = default;
};

// The number a setting's text stands for with this control: a decimal or
// 0x-hexadecimal integer; for a boolean also true/false/on/off/yes/no; for a
// menu also an item's name, matched without regard to case or as a key; a
// button takes any text (setting it presses it).
// An error text when the value is not one of these or lies outside the
// control's range.
std::optional<std::int64_t> ControlValueOf(const TCameraControl& control, const std::string& text,
                                           std::string& error);

// Applies the settings in the order given, so that an auto mode switched off
// first unlocks the value set after it. A control the camera lacks, a value
// that does not fit it and a value the driver refuses each give one problem
// text (logged as info: the caller decides how often a user hears of it);
// the others are still applied. Returns the problems, empty when every
// setting took.
std::vector<std::string> ApplyControlSettings(V4L2Io& io, int fd, const std::string& path,
                                              const std::vector<TControlSetting>& settings);

}  // namespace vistrel
