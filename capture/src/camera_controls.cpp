// SPDX-License-Identifier: MIT
#include "capture/camera_controls.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstring>

#include "base/errors.h"
#include "device_walk.h"
#include "logging.h"

namespace vistrel {

namespace {

// Upper bounds, so that a driver that never ends a list does not keep us.
constexpr int kMaxControls = 1024;
constexpr std::int64_t kMaxMenuItems = 256;
// The longest string control value read or written.
constexpr std::int64_t kMaxStringLength = 4096;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Driver texts are fixed-size fields that may lack a terminator.
template <typename Char, std::size_t N>
std::string FieldText(const Char (&field)[N]) {
    static_assert(sizeof(Char) == 1);
    const auto* text = reinterpret_cast<const char*>(field);
    return std::string(text, ::strnlen(text, N));
}

TControlType TypeOf(std::uint32_t rawType, bool scalar) {
    if (!scalar) {
        return TControlType::Other;
    }
    switch (rawType) {
        case V4L2_CTRL_TYPE_INTEGER:
            return TControlType::Integer;
        case V4L2_CTRL_TYPE_BOOLEAN:
            return TControlType::Boolean;
        case V4L2_CTRL_TYPE_MENU:
            return TControlType::Menu;
        case V4L2_CTRL_TYPE_BUTTON:
            return TControlType::Button;
        case V4L2_CTRL_TYPE_INTEGER64:
            return TControlType::Integer64;
        case V4L2_CTRL_TYPE_STRING:
            return TControlType::String;
        case V4L2_CTRL_TYPE_BITMASK:
            return TControlType::Bitmask;
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            return TControlType::IntegerMenu;
        default:
            return TControlType::Other;
    }
}

const char* RawTypeName(std::uint32_t rawType) {
    switch (rawType) {
        case V4L2_CTRL_TYPE_INTEGER:
            return "int";
        case V4L2_CTRL_TYPE_BOOLEAN:
            return "bool";
        case V4L2_CTRL_TYPE_MENU:
            return "menu";
        case V4L2_CTRL_TYPE_BUTTON:
            return "button";
        case V4L2_CTRL_TYPE_INTEGER64:
            return "int64";
        case V4L2_CTRL_TYPE_STRING:
            return "string";
        case V4L2_CTRL_TYPE_BITMASK:
            return "bitmask";
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            return "intmenu";
        case V4L2_CTRL_TYPE_U8:
            return "u8";
        case V4L2_CTRL_TYPE_U16:
            return "u16";
        case V4L2_CTRL_TYPE_U32:
            return "u32";
        case V4L2_CTRL_TYPE_AREA:
            return "area";
        default:
            return nullptr;
    }
}

bool IsEndOfList(int result) {
    return result == -EINVAL || result == -ENOTTY;
}

// One step of the walk over the controls: the control after `after` (its
// id with the NEXT flags). 0, or -errno from the call.
int QueryNext(V4L2Io& io, int fd, std::uint32_t after, bool extended, TCameraControl& control) {
    if (extended) {
        v4l2_query_ext_ctrl q{};
        q.id = after | V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
        if (const int r = Xioctl(io, fd, VIDIOC_QUERY_EXT_CTRL, &q); r < 0) {
            return r;
        }
        const bool scalar = q.nr_of_dims == 0 && q.elems <= 1;
        control = {};
        control.id = q.id;
        control.name = FieldText(q.name);
        control.type = TypeOf(q.type, scalar);
        control.rawType = q.type;
        control.minimum = q.minimum;
        control.maximum = q.maximum;
        control.step = q.step;
        control.defaultValue = q.default_value;
        control.flags = q.flags;
        return 0;
    }
    v4l2_queryctrl q{};
    q.id = after | V4L2_CTRL_FLAG_NEXT_CTRL;
    if (const int r = Xioctl(io, fd, VIDIOC_QUERYCTRL, &q); r < 0) {
        return r;
    }
    control = {};
    control.id = q.id;
    control.name = FieldText(q.name);
    control.type = TypeOf(q.type, true);
    control.rawType = q.type;
    control.minimum = q.minimum;
    control.maximum = q.maximum;
    control.step = static_cast<std::uint64_t>(std::max(q.step, 0));
    control.defaultValue = q.default_value;
    control.flags = q.flags;
    return 0;
}

// The items of a menu or integer menu; indexes the driver skips are left out.
TStatus QueryMenu(V4L2Io& io, int fd, const std::string& path, TCameraControl& control) {
    const std::int64_t first = std::max<std::int64_t>(control.minimum, 0);
    const std::int64_t last = std::min(control.maximum, first + kMaxMenuItems - 1);
    for (std::int64_t index = first; index <= last; ++index) {
        v4l2_querymenu m{};
        m.id = control.id;
        m.index = static_cast<std::uint32_t>(index);
        const int r = Xioctl(io, fd, VIDIOC_QUERYMENU, &m);
        if (r == -EINVAL) {
            continue;  // a hole in the menu
        }
        if (r < 0) {
            LogCallFailure("VIDIOC_QUERYMENU", path, -r);
            return r == -ENODEV ? StatusFromErrno(-r) : kStatusOk;
        }
        TMenuItem item{m.index, {}, 0};
        if (control.type == TControlType::IntegerMenu) {
            item.value = m.value;
        } else {
            item.name = FieldText(m.name);
        }
        control.menu.push_back(std::move(item));
    }
    return kStatusOk;
}

bool HasReadableValue(const TCameraControl& control) {
    return control.type != TControlType::Button && control.type != TControlType::Other &&
           !control.Has(V4L2_CTRL_FLAG_WRITE_ONLY);
}

// The current value through the extended call, or VIDIOC_G_CTRL where the
// driver lacks it (extended false). A value the driver will not give is left
// unset; only a vanished device fails the listing.
TStatus QueryValue(V4L2Io& io, int fd, const std::string& path, bool extended,
                   TCameraControl& control) {
    if (!HasReadableValue(control)) {
        return kStatusOk;
    }
    const bool isString = control.type == TControlType::String;
    std::string text;
    v4l2_ext_control c{};
    c.id = control.id;
    if (isString) {
        text.assign(static_cast<std::size_t>(
                        std::clamp<std::int64_t>(control.maximum, 0, kMaxStringLength)) +
                        1,
                    '\0');
        c.size = static_cast<std::uint32_t>(text.size());
        c.string = text.data();
    }
    v4l2_ext_controls list{};
    list.which = V4L2_CTRL_WHICH_CUR_VAL;
    list.count = 1;
    list.controls = &c;
    const char* call = "VIDIOC_G_EXT_CTRLS";
    int r = extended ? Xioctl(io, fd, VIDIOC_G_EXT_CTRLS, &list) : -ENOTTY;
    if (r == -ENOTTY && !isString && control.type != TControlType::Integer64) {
        v4l2_control plain{control.id, 0};
        call = "VIDIOC_G_CTRL";
        r = Xioctl(io, fd, VIDIOC_G_CTRL, &plain);
        c.value = plain.value;
    }
    if (r < 0) {
        LogCallFailure(call, path, -r);
        return r == -ENODEV ? StatusFromErrno(-r) : kStatusOk;
    }
    if (isString) {
        control.text = std::string(text.c_str());
    } else {
        control.value = control.type == TControlType::Integer64 ? c.value64 : c.value;
    }
    return kStatusOk;
}

TControlSetResult SetExtended(V4L2Io& io, int fd, const std::string& path, v4l2_ext_control& c) {
    v4l2_ext_controls list{};
    list.which = V4L2_CTRL_WHICH_CUR_VAL;
    list.count = 1;
    list.controls = &c;
    const int r = Xioctl(io, fd, VIDIOC_S_EXT_CTRLS, &list);
    if (r >= 0) {
        return {};
    }
    if (r != -ENOTTY) {
        LogCallFailure("VIDIOC_S_EXT_CTRLS", path, -r);
    }
    return {-r, "VIDIOC_S_EXT_CTRLS", list.error_idx};
}

std::optional<std::int64_t> ParseInteger(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    if (magnitude > (negative ? 1ull << 63 : (1ull << 63) - 1)) {
        return std::nullopt;
    }
    return negative ? static_cast<std::int64_t>(0 - magnitude)
                    : static_cast<std::int64_t>(magnitude);
}

std::optional<std::int64_t> ParseBoolean(const std::string& text) {
    const std::string word = Lower(text);
    if (word == "1" || word == "true" || word == "on" || word == "yes") {
        return 1;
    }
    if (word == "0" || word == "false" || word == "off" || word == "no") {
        return 0;
    }
    return std::nullopt;
}

const TMenuItem* MenuItemAt(const TCameraControl& control, std::int64_t index) {
    for (const TMenuItem& item : control.menu) {
        if (item.index == index) {
            return &item;
        }
    }
    return nullptr;
}

std::string MenuItemList(const TCameraControl& control) {
    std::string list;
    for (const TMenuItem& item : control.menu) {
        list += (list.empty() ? "" : ", ") + std::to_string(item.index);
        if (control.type == TControlType::Menu) {
            list += " " + item.name;
        } else {
            list += " (" + std::to_string(item.value) + ")";
        }
    }
    return list.empty() ? "none" : list;
}

std::optional<std::int64_t> MenuValueOf(const TCameraControl& control, const std::string& text,
                                        std::string& error) {
    if (const auto index = ParseInteger(text)) {
        if (MenuItemAt(control, *index) != nullptr) {
            return index;
        }
    } else if (control.type == TControlType::Menu && !ControlKey(text).empty()) {
        for (const TMenuItem& item : control.menu) {
            if (ControlKey(item.name) == ControlKey(text)) {
                return item.index;
            }
        }
    }
    error = "not an item of the menu (" + MenuItemList(control) + ")";
    return std::nullopt;
}

std::string RangeText(std::int64_t low, std::int64_t high) {
    return std::to_string(low) + ".." + std::to_string(high);
}

const TCameraControl* ControlNamed(const std::vector<TCameraControl>& controls,
                                   const std::string& name) {
    const std::string key = ControlKey(name);
    for (const TCameraControl& control : controls) {
        if (!key.empty() && control.key == key) {
            return &control;
        }
    }
    return nullptr;
}

// The control's flags as the driver has them now; as listed when it will
// not say.
std::uint32_t CurrentFlags(V4L2Io& io, int fd, const TCameraControl& control) {
    v4l2_query_ext_ctrl q{};
    q.id = control.id;
    if (Xioctl(io, fd, VIDIOC_QUERY_EXT_CTRL, &q) >= 0) {
        return q.flags;
    }
    v4l2_queryctrl plain{};
    plain.id = control.id;
    return Xioctl(io, fd, VIDIOC_QUERYCTRL, &plain) >= 0 ? plain.flags : control.flags;
}

// Applies one setting; an empty text when it took, else the problem.
std::string ApplySetting(V4L2Io& io, int fd, const std::string& path,
                         const std::vector<TCameraControl>& controls,
                         const TControlSetting& setting) {
    const TCameraControl* control = ControlNamed(controls, setting.name);
    if (control == nullptr) {
        return "the camera has no such control";
    }
    TControlSetResult result;
    if (control->type == TControlType::String) {
        result = SetStringControl(io, fd, path, control->id, setting.value);
    } else {
        std::string error;
        const auto value = ControlValueOf(*control, setting.value, error);
        if (!value) {
            return error;
        }
        result = SetControl(io, fd, path, control->id, control->type, *value);
    }
    if (result.Ok()) {
        return {};
    }
    std::string problem = "refused: " + result.Reason();
    // Settings before this one may have changed the flags since the listing.
    const std::uint32_t flags = CurrentFlags(io, fd, *control);
    if ((flags & V4L2_CTRL_FLAG_READ_ONLY) != 0) {
        problem += " (the control is read-only)";
    } else if ((flags & V4L2_CTRL_FLAG_INACTIVE) != 0) {
        problem += " (the control is inactive)";
    }
    return problem;
}

}  // namespace

std::string ControlKey(const std::string& name) {
    std::string key;
    bool gap = false;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            gap = !key.empty();
            continue;
        }
        if (gap) {
            key += '_';
            gap = false;
        }
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key;
}

std::string ControlTypeName(const TCameraControl& control) {
    const char* name = RawTypeName(control.rawType);
    std::string text = name != nullptr ? name : "type " + std::to_string(control.rawType);
    const bool array = control.type == TControlType::Other && control.rawType < 0x100;
    return array ? text + "[]" : text;
}

std::vector<std::string> ControlFlagNames(std::uint32_t flags) {
    static constexpr std::pair<std::uint32_t, const char*> kNames[] = {
        {V4L2_CTRL_FLAG_DISABLED, "disabled"},
        {V4L2_CTRL_FLAG_GRABBED, "grabbed"},
        {V4L2_CTRL_FLAG_READ_ONLY, "read-only"},
        {V4L2_CTRL_FLAG_UPDATE, "update"},
        {V4L2_CTRL_FLAG_INACTIVE, "inactive"},
        {V4L2_CTRL_FLAG_SLIDER, "slider"},
        {V4L2_CTRL_FLAG_WRITE_ONLY, "write-only"},
        {V4L2_CTRL_FLAG_VOLATILE, "volatile"},
        {V4L2_CTRL_FLAG_HAS_PAYLOAD, "has-payload"},
        {V4L2_CTRL_FLAG_EXECUTE_ON_WRITE, "execute-on-write"},
        {V4L2_CTRL_FLAG_MODIFY_LAYOUT, "modify-layout"},
        {V4L2_CTRL_FLAG_DYNAMIC_ARRAY, "dynamic-array"},
    };
    std::vector<std::string> names;
    for (const auto& [flag, name] : kNames) {
        if ((flags & flag) != 0) {
            names.emplace_back(name);
        }
    }
    return names;
}

TStatus QueryControls(V4L2Io& io, int fd, const std::string& path,
                      std::vector<TCameraControl>& controls) {
    controls.clear();
    bool extended = true;
    std::uint32_t after = 0;
    for (int walked = 0; walked < kMaxControls; ++walked) {
        TCameraControl control;
        int r = QueryNext(io, fd, after, extended, control);
        if (r == -ENOTTY && extended && walked == 0) {
            extended = false;  // a driver without the extended query
            r = QueryNext(io, fd, after, extended, control);
        }
        if (IsEndOfList(r)) {
            return kStatusOk;
        }
        if (r < 0) {
            LogCallFailure(extended ? "VIDIOC_QUERY_EXT_CTRL" : "VIDIOC_QUERYCTRL", path, -r);
            return StatusFromErrno(-r);
        }
        if (control.id <= after) {
            qCInfo(lcCapture, "control list of %s does not advance after id 0x%08x", path.c_str(),
                   after);
            return kStatusOk;
        }
        after = control.id;
        if (control.rawType == V4L2_CTRL_TYPE_CTRL_CLASS || control.Has(V4L2_CTRL_FLAG_DISABLED)) {
            continue;
        }
        control.key = ControlKey(control.name);
        if (control.type == TControlType::Menu || control.type == TControlType::IntegerMenu) {
            if (const TStatus s = QueryMenu(io, fd, path, control); Failed(s)) {
                return s;
            }
        }
        if (const TStatus s = QueryValue(io, fd, path, extended, control); Failed(s)) {
            return s;
        }
        controls.push_back(std::move(control));
    }
    return kStatusOk;
}

TStatus QueryDeviceControls(const std::string& deviceName, std::vector<TCameraControl>& controls,
                            std::string& friendlyName, V4L2Io& io) {
    controls.clear();
    friendlyName.clear();
    FoundDevice found;
    if (const TStatus s = FindCaptureDevice(io, deviceName, found); Failed(s)) {
        return s;
    }
    friendlyName = found.friendlyName;
    return QueryControls(io, found.fd.Get(), found.path, controls);
}

std::string TControlSetResult::Reason() const {
    return Ok() ? std::string() : SystemErrorText(errorNumber);
}

TControlSetResult SetControl(V4L2Io& io, int fd, const std::string& path, std::uint32_t id,
                             TControlType type, std::int64_t value) {
    v4l2_ext_control c{};
    c.id = id;
    if (type == TControlType::Integer64) {
        c.value64 = value;
    } else {
        c.value = static_cast<std::int32_t>(value);
    }
    TControlSetResult result = SetExtended(io, fd, path, c);
    if (result.errorNumber != ENOTTY || type == TControlType::Integer64) {
        return result;
    }
    v4l2_control plain{id, static_cast<std::int32_t>(value)};
    if (const int r = Xioctl(io, fd, VIDIOC_S_CTRL, &plain); r < 0) {
        LogCallFailure("VIDIOC_S_CTRL", path, -r);
        return {-r, "VIDIOC_S_CTRL", std::nullopt};
    }
    return {};
}

TControlSetResult SetStringControl(V4L2Io& io, int fd, const std::string& path, std::uint32_t id,
                                   const std::string& value) {
    std::string text = value;
    v4l2_ext_control c{};
    c.id = id;
    c.size = static_cast<std::uint32_t>(text.size() + 1);
    c.string = text.data();
    return SetExtended(io, fd, path, c);
}

std::optional<std::int64_t> ControlValueOf(const TCameraControl& control, const std::string& text,
                                           std::string& error) {
    std::optional<std::int64_t> value;
    switch (control.type) {
        case TControlType::Button:
            return 1;  // pressing takes no value
        case TControlType::Boolean:
            value = ParseBoolean(text);
            if (!value) {
                error = "not a boolean (0/1, true/false, on/off)";
            }
            return value;
        case TControlType::Menu:
        case TControlType::IntegerMenu:
            return MenuValueOf(control, text, error);
        case TControlType::Integer:
        case TControlType::Integer64:
        case TControlType::Bitmask:
            break;
        default:
            error = "this kind of control (" + ControlTypeName(control) + ") cannot be set";
            return std::nullopt;
    }
    value = ParseInteger(text);
    if (!value) {
        error = "not an integer";
        return std::nullopt;
    }
    if (control.type == TControlType::Bitmask) {
        const auto mask = static_cast<std::uint64_t>(control.maximum) & 0xFFFFFFFFu;
        if (*value < 0 || (static_cast<std::uint64_t>(*value) & ~mask) != 0) {
            error = "has bits outside the mask " + std::to_string(mask);
            return std::nullopt;
        }
    } else if (*value < control.minimum || *value > control.maximum) {
        error = "out of range " + RangeText(control.minimum, control.maximum);
        return std::nullopt;
    }
    return value;
}

std::vector<std::string> ApplyControlSettings(V4L2Io& io, int fd, const std::string& path,
                                              const std::vector<TControlSetting>& settings) {
    std::vector<std::string> problems;
    if (settings.empty()) {
        return problems;
    }
    std::vector<TCameraControl> controls;
    if (const TStatus s = QueryControls(io, fd, path, controls); Failed(s)) {
        const std::string problem =
            "cannot read the camera's controls: " + SystemErrorText(ErrnoOfStatus(s));
        qCInfo(lcCapture, "%s (%s)", problem.c_str(), path.c_str());
        problems.push_back(problem);
        return problems;
    }
    for (const TControlSetting& setting : settings) {
        const std::string problem = ApplySetting(io, fd, path, controls, setting);
        if (problem.empty()) {
            continue;
        }
        problems.push_back("camera control \"" + setting.name + "=" + setting.value +
                           "\": " + problem);
        qCInfo(lcCapture, "%s (%s)", problems.back().c_str(), path.c_str());
    }
    return problems;
}

}  // namespace vistrel
