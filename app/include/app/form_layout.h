// SPDX-License-Identifier: MIT
#pragma once

#include <QPoint>
#include <QRect>

#include <string_view>

namespace vistrel {

// Where the main window's controls sit, in pixels of their parent (the about
// panel's own controls in the panel's). The window is built from these
// tables, so they are the one place its layout is written down.

struct TControlPlace {
    const char* name;  // the control's object name
    QRect geometry;
};

// Controls placed and sized.
inline constexpr TControlPlace kSizedControls[] = {
    {"CamLstCB", {36, 4, 125, 21}},    {"UpdateSB", {168, 4, 23, 22}},
    {"RunSB", {192, 4, 23, 22}},       {"StopSB", {216, 4, 23, 22}},
    {"ThumbI", {2, 34, 128, 128}},     {"LoggingCB", {138, 36, 65, 17}},
    {"JPEGQTB", {136, 72, 97, 27}},    {"SkipUD", {165, 118, 17, 31}},
    {"SaveSetSB", {188, 160, 23, 22}}, {"ExitSB", {212, 160, 23, 22}},
    {"DirSelSB", {210, 187, 23, 22}},  {"AboutGB", {4, 214, 233, 99}},
    {"LogoI", {4, 8, 32, 32}},         {"FlagI", {196, 8, 32, 16}},
    {"Image1", {4, 48, 16, 16}},       {"WebI", {4, 64, 16, 16}},
    {"MailI", {4, 80, 16, 16}},
};

struct TLabelPlace {
    const char* name;
    QPoint position;  // the top-left corner; a label is as large as its text
};

inline constexpr TLabelPlace kLabels[] = {
    {"CamL", {8, 8}},         {"JPEGNL", {136, 56}},     {"JPEGQL", {208, 56}},
    {"Label1", {140, 104}},   {"SkipL", {140, 124}},     {"SourceNL", {4, 168}},
    {"SourceXYL", {52, 168}}, {"DirectoryNL", {4, 192}}, {"DirectoryL", {56, 192}},
    {"NameL", {40, 8}},       {"AuthorL", {38, 22}},     {"VersionL", {120, 10}},
    {"CopyrightL", {40, 36}}, {"OSL", {26, 52}},         {"HomeL", {26, 64}},
    {"MailL", {26, 80}},
};

// The place of a control in the tables; naming one that is not there does
// not compile.
consteval QRect GeometryOf(std::string_view name) {
    for (const TControlPlace& control : kSizedControls) {
        if (name == control.name) {
            return control.geometry;
        }
    }
    throw "no such control in kSizedControls";
}

consteval QPoint PositionOf(std::string_view name) {
    for (const TLabelPlace& label : kLabels) {
        if (name == label.name) {
            return label.position;
        }
    }
    throw "no such label in kLabels";
}

}  // namespace vistrel
