// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "frontend/control_panel.h"

class QFormLayout;
class QLabel;
class QWidget;

namespace vistrel {

// "Camera controls": one row per control of the running camera (a slider
// with its value for a number, a check box for a switch, a drop-down for a
// menu, a button for an action), greyed out while an auto mode locks it, and
// "Defaults". Every change goes to the camera at once; changed then gets the
// list of settings a later start applies again.
class TControlsDialog : public QDialog {
    Q_OBJECT

public:
    using Changed = std::function<void(const std::vector<TControlSetting>& settings)>;

    TControlsDialog(TVideoImage& session, std::vector<TControlSetting> settings, Changed changed,
                    QWidget* parent);

private:
    void Build();
    QWidget* MakeEditor(const TCameraControl& control);
    void Apply(std::uint32_t id, std::int64_t value);
    void ResetAll();
    // Shows the values and flags the panel read last.
    void Show();
    void Tell(const std::vector<QString>& problems);

    TControlPanel panel_;
    Changed changed_;
    std::map<std::uint32_t, QWidget*> editors_;
    std::map<std::uint32_t, QLabel*> values_;  // beside the sliders
    QFormLayout* form_ = nullptr;
    QLabel* status_ = nullptr;
};

}  // namespace vistrel
