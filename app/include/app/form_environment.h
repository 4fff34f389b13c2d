// SPDX-License-Identifier: MIT
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

#include "frontend/camera_keeper.h"
#include "pipeline/video_image.h"

class QMenu;
class QPoint;
class QWidget;

namespace vistrel {

// Everything the main window asks of the outside world, so that tests can
// run it without a desktop, dialogs, a real camera or the user's files.
// An empty member means the system's own behaviour (see System()).
struct TFormEnvironment {
    // Path of the settings file; read anew for each load and save.
    std::function<QString()> settingsFileName;
    // Output directory used when the settings name none.
    std::function<QString()> defaultDirectory;
    // The single-instance lock file.
    QString instanceLockPath;
    // uname(2)'s kernel release, or nothing when the query fails.
    std::function<std::optional<QString>()> kernelRelease;

    // A modal message box with one OK button.
    std::function<void(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                       const QString& text)>
        showMessage;
    // A popup menu at a screen position, run until it closes (the
    // thumbnail's format menu).
    std::function<void(QMenu& menu, const QPoint& at)> showMenu;
    // A yes/no question (the directory chooser's creation question).
    std::function<bool(QWidget* parent, const QString& text)> askYesNo;
    // The modal directory chooser: the accepted path, or nothing on cancel.
    std::function<std::optional<QString>(QWidget* parent, const QString& start)> chooseDirectory;

    // Blocks the GUI thread (the wait after a resume from suspend).
    std::function<void(int milliseconds)> sleep;
    // Whether to listen for resume notifications on the system bus.
    bool watchPowerEvents = true;

    // How the video session is made (its clock, its idle hook).
    TVideoImage::Options sessionOptions;

    // How a lost camera is looked for (the interval, the device events).
    TCameraKeeper::Options cameraKeeper;
    // How long a silent camera may go before it is restarted; 0: the
    // controller's own rule.
    std::chrono::milliseconds stallTimeout{0};

    // The session's capture calls. Empty: the session's own. Tests that
    // need no capture layer at all can stand in here.
    std::function<void(TVideoImage& session, QStringList& list)> getDeviceList;
    std::function<int(TVideoImage& session, const QString& deviceName,
                      const TFormatRequest& request)>
        startCapture;
    std::function<void(TVideoImage& session)> stopCapture;

    // The same with every empty member filled in with the system's behaviour.
    TFormEnvironment WithSystemDefaults() const;
};

}  // namespace vistrel
