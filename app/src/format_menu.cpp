// SPDX-License-Identifier: MIT
#include "format_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QMenu>

#include <algorithm>
#include <array>
#include <optional>

#include "app/main_form.h"
#include "controls_dialog.h"
#include "frontend/control_settings.h"
#include "frontend/duration.h"
#include "frontend/format_choice.h"
#include "logging.h"

namespace vistrel {

namespace {

// What a range of sizes is offered as: the usual camera sizes.
constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 11> kCommonSizes = {{
    {160, 120},
    {320, 240},
    {640, 480},
    {800, 600},
    {1024, 768},
    {1280, 720},
    {1280, 960},
    {1600, 1200},
    {1920, 1080},
    {2560, 1440},
    {3840, 2160},
}};

void AddFormat(QMenu& menu, QActionGroup& group, const TFormatOffer& offer,
               const TStreamFormat& current,
               const std::function<void(const TFormatPick&)>& picked) {
    QMenu* sub = menu.addMenu(FormatLabel(offer.pixelFormat));
    sub->setEnabled(IsConvertible(offer.pixelFormat));
    const bool currentFormat = offer.pixelFormat == current.pixelFormat;
    const auto width = static_cast<std::uint32_t>(std::max(current.width, 0));
    const auto height = static_cast<std::uint32_t>(std::max(current.height, 0));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> shown;
    for (const TSizeChoice& size : offer.sizes) {
        for (const auto& [w, h] :
             MenuSizes(size, currentFormat ? width : 0, currentFormat ? height : 0)) {
            if (std::find(shown.begin(), shown.end(), std::pair{w, h}) != shown.end()) {
                continue;
            }
            shown.emplace_back(w, h);
            QAction* action = sub->addAction(SizeText(w, h));
            action->setCheckable(true);
            action->setChecked(currentFormat && w == width && h == height);
            group.addAction(action);
            const TFormatPick pick{offer.pixelFormat, w, h};
            QObject::connect(action, &QAction::triggered, sub, [picked, pick] { picked(pick); });
        }
    }
    if (shown.empty()) {
        sub->addAction(QObject::tr("No sizes listed"))->setEnabled(false);
    }
}

using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

constexpr std::array<milliseconds, 12> kIntervals = {
    milliseconds::zero(), seconds(1), seconds(2),  seconds(5),  seconds(10), seconds(30),
    minutes(1),           minutes(5), minutes(10), minutes(15), minutes(30), minutes(60),
};
constexpr std::array<milliseconds, 4> kWarmUps = {milliseconds::zero(), seconds(1), seconds(2),
                                                  seconds(5)};

template <std::size_t N>
void AddDurationMenu(QMenu& menu, const QString& title, const QString& zeroText,
                     const std::array<milliseconds, N>& offered, milliseconds current,
                     const DurationPicked& picked) {
    QMenu* sub = menu.addMenu(title);
    auto* group = new QActionGroup(sub);
    group->setExclusive(true);
    std::vector<milliseconds> values(offered.begin(), offered.end());
    if (std::find(values.begin(), values.end(), current) == values.end()) {
        values.insert(std::upper_bound(values.begin(), values.end(), current), current);
    }
    for (const milliseconds value : values) {
        QAction* action =
            sub->addAction(value == milliseconds::zero() ? zeroText : DurationText(value));
        action->setCheckable(true);
        action->setChecked(value == current);
        group->addAction(action);
        QObject::connect(action, &QAction::triggered, sub, [picked, value] { picked(value); });
    }
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::uint32_t>> MenuSizes(const TSizeChoice& size,
                                                               std::uint32_t currentWidth,
                                                               std::uint32_t currentHeight) {
    if (size.kind == TChoiceKind::Discrete) {
        return {{size.width, size.height}};
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    for (const auto& [w, h] : kCommonSizes) {
        if (size.Contains(w, h)) {
            sizes.emplace_back(w, h);
        }
    }
    const std::pair current{currentWidth, currentHeight};
    if (size.Contains(currentWidth, currentHeight) &&
        std::find(sizes.begin(), sizes.end(), current) == sizes.end()) {
        sizes.insert(std::upper_bound(sizes.begin(), sizes.end(), current), current);
    }
    if (sizes.empty()) {
        sizes.emplace_back(size.width, size.height);  // at least the largest
    }
    return sizes;
}

std::unique_ptr<QMenu> MakeFormatMenu(const TDeviceFormats& formats, QWidget* parent,
                                      const std::function<void(const TFormatPick&)>& picked) {
    auto menu = std::make_unique<QMenu>(parent);
    menu->setObjectName(QStringLiteral("FormatMenu"));
    auto* group = new QActionGroup(menu.get());
    group->setExclusive(true);
    for (const TFormatOffer& offer : formats.formats) {
        AddFormat(*menu, *group, offer, formats.current, picked);
    }
    if (formats.formats.empty()) {
        menu->addAction(QObject::tr("The camera lists no formats"))->setEnabled(false);
    }
    return menu;
}

std::unique_ptr<QMenu> MakeIdleFormatMenu(QWidget* parent) {
    auto menu = std::make_unique<QMenu>(parent);
    menu->setObjectName(QStringLiteral("FormatMenu"));
    menu->addAction(QObject::tr("Run the camera to choose its format"))->setEnabled(false);
    return menu;
}

void AddTimeLapseMenus(QMenu& menu, milliseconds interval, milliseconds warmUp,
                       const DurationPicked& intervalPicked, const DurationPicked& warmUpPicked) {
    menu.addSeparator();
    AddDurationMenu(menu, QObject::tr("Interval"), QObject::tr("Every taken frame"), kIntervals,
                    interval, intervalPicked);
    AddDurationMenu(menu, QObject::tr("Warm-up"), QObject::tr("Off"), kWarmUps, warmUp,
                    warmUpPicked);
}

// ---- The window's format choice ------------------------------------------------

void TMainForm::ThumbIContextMenu(const QPoint& globalPos) {
    std::optional<TFormatPick> pick;
    TDeviceFormats formats;
    std::unique_ptr<QMenu> menu =
        IsCapturing() && session_ && Succeeded(session_->CaptureFormats(formats))
            ? MakeFormatMenu(formats, this, [&pick](const TFormatPick& p) { pick = p; })
            : MakeIdleFormatMenu(this);
    std::optional<std::chrono::milliseconds> interval;
    std::optional<std::chrono::milliseconds> warmUp;
    AddTimeLapseMenus(
        *menu, interval_, warmUp_, [&interval](std::chrono::milliseconds p) { interval = p; },
        [&warmUp](std::chrono::milliseconds d) { warmUp = d; });
    bool openControls = false;
    menu->addSeparator();
    QAction* controls = menu->addAction(tr("Camera controls…"));
    controls->setObjectName(QStringLiteral("CameraControlsAction"));
    controls->setEnabled(IsCapturing());
    QObject::connect(controls, &QAction::triggered, [&openControls] { openControls = true; });
    env_.showMenu(*menu, globalPos);
    // The restart runs once the menu is closed, not inside its handling.
    if (pick) {
        ChooseCaptureFormat(pick->pixelFormat, pick->width, pick->height);
    }
    if (interval) {
        ChooseInterval(*interval);
    }
    if (warmUp) {
        ChooseWarmUp(*warmUp);
    }
    if (openControls) {
        OpenControlsDialog();
    }
}

// Changes reach the camera at once; the list goes to the controller for the
// next start and to the settings when they are saved.
void TMainForm::OpenControlsDialog() {
    if (!IsCapturing() || !session_) {
        return;
    }
    if (controlsDialog_) {
        controlsDialog_->raise();
        controlsDialog_->activateWindow();
        return;
    }
    controlsDialog_ = new TControlsDialog(
        *session_, controls_,
        [this](const std::vector<TControlSetting>& settings) {
            controls_ = settings;
            controlsText_ = ControlListText(settings);
            if (controller_) {
                controller_->SetControls(settings);
            }
        },
        this);
    controlsDialog_->show();
}

QDialog* TMainForm::ControlsDialog() const {
    return controlsDialog_.data();
}

void TMainForm::CloseControlsDialog() {
    if (controlsDialog_) {
        // Gone at once, not at the next turn of the loop: the session may go next.
        delete controlsDialog_.data();
    }
}

// Both apply at once; they are kept for the settings, as the format is.
void TMainForm::ChooseInterval(std::chrono::milliseconds period) {
    interval_ = period;
    intervalText_ = period.count() == 0 ? QStringLiteral("0") : DurationText(period);
    if (controller_) {
        controller_->SetInterval(period);
    }
}

void TMainForm::ChooseWarmUp(std::chrono::milliseconds duration) {
    warmUp_ = duration;
    warmUpText_ = duration.count() == 0 ? QStringLiteral("0") : DurationText(duration);
    if (controller_) {
        controller_->SetWarmUp(duration);
    }
}

void TMainForm::SavedFormatSkipped(const TSavedFormatSkip& skip) {
    if (skip.reason == TSavedFormatSkip::Reason::Unconvertible) {
        qCWarning(lcApp,
                  "the saved format %s is one Vistrel cannot convert (%s); taking the camera's "
                  "current format",
                  qUtf8Printable(skip.saved), qUtf8Printable(skip.why));
        return;
    }
    qCWarning(lcApp,
              "the camera does not offer the saved format %s (%s); taking its current format",
              qUtf8Printable(skip.saved), qUtf8Printable(skip.why));
}

void TMainForm::CaptureStarted(const TStartReport& report) {
    if (!report.adjustment.isEmpty()) {
        qCWarning(lcApp, "the camera adjusted the request: %s", qUtf8Printable(report.adjustment));
    }
    if (report.passthroughIgnored) {
        qCWarning(lcApp,
                  "Passthrough applies to MJPG only; the camera sends %s, so its frames are "
                  "encoded",
                  qUtf8Printable(FormatName(report.pixelFormat)));
    }
    unconvertibleNote_.clear();
    SourceXYL->setToolTip(QString());
    if (!report.unconvertible) {
        return;
    }
    // The frames show the "Unknown compression" picture; the label says why
    // and the tooltip how to choose another format.
    const QString name = FormatName(report.pixelFormat);
    unconvertibleNote_ = tr("%1 unsupported").arg(name);
    SourceXYL->setText(unconvertibleNote_);
    SourceXYL->adjustSize();
    SourceXYL->setToolTip(
        report.convertible.isEmpty()
            ? tr("The camera sends %1, which Vistrel cannot convert.").arg(name)
            : tr("The camera sends %1, which Vistrel cannot convert. Right-click the picture to "
                 "choose %2.")
                  .arg(name, report.convertible.join(QStringLiteral(", "))));
    qCInfo(lcApp, "the camera sends %s, which cannot be converted", qUtf8Printable(name));
}

}  // namespace vistrel
