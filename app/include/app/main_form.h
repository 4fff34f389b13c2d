// SPDX-License-Identifier: MIT
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/form_environment.h"
#include "app/instance_lock.h"
#include "app/system_version.h"
#include "base/error_handler.h"
#include "frontend/active_time.h"
#include "frontend/capture_controller.h"
#include "frontend/frame_logger.h"
#include "pipeline/video_image.h"

class QCheckBox;
class QComboBox;
class QDialog;
class QFrame;
class QLabel;
class QPoint;
class QSessionManager;
class QSlider;
class QToolButton;

namespace vistrel {

class TControlsDialog;
class TPowerWatcher;
class TUpDown;

// The main window: picks a camera, starts and stops capturing, shows the
// last logged frame and holds the settings. Runs on the GUI thread only.
class TMainForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 242;
    static constexpr int kClientHeight = 316;
    // How long the window waits after the system resumes, so the camera's
    // driver is back before frames are asked for.
    static constexpr int kResumeWaitMilliseconds = 3000;

    explicit TMainForm(TFormEnvironment environment = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    // True when start-up found another instance running: the window must not
    // be shown, and the program ends without reading or writing anything.
    bool EndedEarly() const { return endedEarly_; }

    // ---- State, for the program entry and for tests.
    int CameraIndex() const { return cameraIndex_; }
    int CameraCount() const { return cameraCount_; }
    bool IsCapturing() const { return controller_ && controller_->Running(); }
    // The camera was lost and the window waits for it to come back.
    bool IsWaitingForCamera() const { return controller_ && controller_->WaitingForCamera(); }
    bool IsSessionReady() const { return logger_.IsSessionReady(); }
    bool QuitRequested() const { return quitRequested_; }
    const QString& OutputDirectory() const { return logger_.OutputDirectory(); }
    const TSystemVersion& SystemVersion() const { return systemVersion_; }
    TFrameLogger& FrameLogger() { return logger_; }
    TVideoImage* Session() { return session_.get(); }
    bool InstanceLockHeld() const { return instanceLock_.Held(); }

    // ---- Event handlers (the controls call them; tests may too).
    void RefreshCameraList();
    void RunSBClick();
    void StopSBClick();
    void UpdateSBClick();
    void CamLstCBChange(int index);
    void JPEGQTBChange(int position);
    void SkipUDChangingEx(int proposed);
    void DirSelSBClick();
    void SaveSetSBClick();
    void ExitSBClick();
    // Allows the close when a quit was asked for; otherwise minimises.
    void FormCloseQuery(bool& canClose);
    // The ordered teardown; false when the settings could not be saved (the
    // message has been shown and the window stays open).
    bool FormClose();
    // The end of the desktop session: the next close request quits.
    void QueryEndSessionMsg();
    // The system suspends (false) or has resumed (true).
    void PowerBroadcastMsg(bool resumed);
    // The capture layer lost the camera while capturing: wait for it.
    void CaptureDeviceLost();
    // A right-click on the thumbnail (globalPos on the screen): the menu of
    // the running camera's formats and sizes.
    void ThumbIContextMenu(const QPoint& globalPos);
    // Restarts the running capture in this format and size, and keeps them
    // as the choice the settings save.
    void ChooseCaptureFormat(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height);
    void ChooseInterval(std::chrono::milliseconds period);
    void ChooseWarmUp(std::chrono::milliseconds duration);
    // "Camera controls…": the dialog of the running camera's controls (one
    // at a time); nothing while no camera runs.
    void OpenControlsDialog();
    QDialog* ControlsDialog() const;
    const std::vector<TControlSetting>& CameraControls() const { return controls_; }

    void LoadSettings();
    void SaveSettings();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void CreateControls();
    void SetCapturingControls(bool capturing);
    void SelectCameraIndex();
    TCaptureController::Events CaptureEvents();
    void CameraWaitStarted();
    void CameraReturned(const TCaptureNode& node);
    // A stall and the first frame after it: said in the frame-size label,
    // over the frame size, until the note is cleared.
    void CameraStalled();
    void CameraBack();
    void FramesNotWritten(std::uint64_t count);
    void ClearStallNote();
    void Resting(const QDateTime& until);
    void ActiveAgain();
    void FrameShown(const QString& sizeText, const QImage& thumbnail);
    // Writing paused or resumed: told in the frame-size label, never in a
    // box, so that nothing waits for a click.
    void WritePaused(const TWriteFault& fault);
    void WriteResumed(std::uint64_t framesNotWritten);
    void DrawFirstThumbnail();
    void ShowApplicationError(const QString& message);
    // A modal box, one at a time; keep: show it after the open one closes
    // instead of dropping it.
    void ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text,
                     bool keep = false);
    void CenterOnScreen();

    void SessionDeviceList(QStringList& list);
    // A saved choice the camera does not take is logged.
    void SavedFormatSkipped(const TSavedFormatSkip& skip);
    // After a successful start: logs the driver's adjustments and, when no
    // format was asked for and the camera's cannot be converted, says so in
    // the frame-size label.
    void CaptureStarted(const TStartReport& report);
    void ShowStartFailure(const TStartResult& result);
    void CloseControlsDialog();

    // Runs a handler; an error that leaves it goes to the application's error
    // handler instead of through Qt's event loop.
    template <typename F>
    void Guarded(F&& handler) noexcept;

    TFormEnvironment env_;
    bool endedEarly_ = false;
    TInstanceLock instanceLock_;
    TSystemVersion systemVersion_;
    int cameraIndex_ = 0;
    int cameraCount_ = 0;
    // The format chosen in the thumbnail's menu, as saved ("MJPG",
    // "1280x720"); empty until a user chose one.
    QString chosenFormat_;
    QString chosenSize_;
    // The time-lapse period and warm-up in use (zero: off), and as saved;
    // the texts stay empty until a user set them.
    std::chrono::milliseconds interval_{};
    std::chrono::milliseconds warmUp_{};
    QString intervalText_;
    QString warmUpText_;
    // The active time from the settings (Hours and Daylight, set by hand),
    // and the keys' texts as read, saved back unchanged.
    TActiveTime activeTime_;
    QString hoursText_;
    QString daylightText_;
    // The camera control settings set after every start, and as saved
    // (unset until the settings had the key or a user changed a control).
    std::vector<TControlSetting> controls_;
    std::optional<QString> controlsText_;
    QPointer<TControlsDialog> controlsDialog_;
    QString unconvertibleNote_;  // shown instead of the frame size when set
    QString restingNote_;        // "Resting until 06:12", instead of the frame size
    QString stallNote_;          // shown over the frame size while set
    QTimer stallNoteTimer_;      // ends "Camera back" and the frames not written
    QString slowDiskNote_;       // the last "frames not written" note
    int threadsSetting_ = 0;     // Threads as loaded, saved as it was
    bool quitRequested_ = false;
    bool inCaptureControl_ = false;
    bool messageBoxOpen_ = false;
    struct PendingMessage {
        QMessageBox::Icon icon;
        QString title;
        QString text;
    };
    std::optional<PendingMessage> pendingMessage_;
    bool errorHandlerInstalled_ = false;
    ApplicationErrorHandler previousErrorHandler_;

    // Declared before the session so the session, whose frame events call
    // into the logger, goes first.
    TFrameLogger logger_;
    std::unique_ptr<TVideoImage> session_;
    QString frameSizeText_ = QStringLiteral("... x ...");  // while the label tells of a pause
    // Uses the session and the logger, so it goes before them.
    std::unique_ptr<TCaptureController> controller_;
    TPowerWatcher* powerWatcher_ = nullptr;

    // Controls, owned by the window.
    QLabel* CamL = nullptr;
    QComboBox* CamLstCB = nullptr;
    QToolButton* UpdateSB = nullptr;
    QToolButton* RunSB = nullptr;
    QToolButton* StopSB = nullptr;
    QLabel* ThumbI = nullptr;
    QCheckBox* LoggingCB = nullptr;
    QLabel* JPEGNL = nullptr;
    QLabel* JPEGQL = nullptr;
    QSlider* JPEGQTB = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* SkipL = nullptr;
    TUpDown* SkipUD = nullptr;
    QLabel* SourceNL = nullptr;
    QLabel* SourceXYL = nullptr;
    QToolButton* SaveSetSB = nullptr;
    QToolButton* ExitSB = nullptr;
    QLabel* DirectoryNL = nullptr;
    QLabel* DirectoryL = nullptr;
    QToolButton* DirSelSB = nullptr;
    QFrame* AboutGB = nullptr;
    QLabel* LogoI = nullptr;
    QLabel* NameL = nullptr;
    QLabel* AuthorL = nullptr;
    QLabel* VersionL = nullptr;
    QLabel* FlagI = nullptr;
    QLabel* CopyrightL = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* OSL = nullptr;
    QLabel* WebI = nullptr;
    QLabel* HomeL = nullptr;
    QLabel* MailI = nullptr;
    QLabel* MailL = nullptr;
};

// The program file's version, compiled in from the build system.
QString ReadFileVersion();

}  // namespace vistrel
