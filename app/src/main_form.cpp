// SPDX-License-Identifier: MIT
#include "app/main_form.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QSessionManager>
#include <QSlider>
#include <QTimer>
#include <QToolButton>

#include <exception>
#include <mutex>
#include <vector>

#include "app/form_layout.h"
#include "app/glyphs.h"
#include "app/power_watcher.h"
#include "app/up_down.h"
#include "base/flag_scope.h"
#include "controls_dialog.h"
#include "frontend/control_settings.h"
#include "frontend/duration.h"
#include "frontend/format_choice.h"
#include "frontend/picture_setting.h"
#include "frontend/settings.h"
#include "logging.h"

// Resources of a static library must be registered by hand, outside any
// namespace.
static void InitVistrelResources() {
    Q_INIT_RESOURCE(vistrel);
}

namespace vistrel {

namespace {

const QString kTitle = QStringLiteral("Vistrel");
const QColor kBlue(0, 0, 255);
const QColor kNavy(0, 0, 128);
constexpr int kThumbSide = 128;
static_assert(GeometryOf("ThumbI").size() == QSize(kThumbSide, kThumbSide));

void SetLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->adjustSize();
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

// Busy cursor for the time of a capture start or stop. Pending events run
// after each change so the cursor actually shows.
class BusyCursor {
public:
    BusyCursor() {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        QApplication::processEvents();
    }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

}  // namespace

QString ReadFileVersion() {
    return QStringLiteral(VISTREL_VERSION);
}

template <typename F>
void TMainForm::Guarded(F&& handler) noexcept {
    try {
        handler();
    } catch (...) {
        HandleApplicationError(std::current_exception(), this);
    }
}

TMainForm::TMainForm(TFormEnvironment environment, QWidget* parent)
    : QWidget(parent),
      env_(environment.WithSystemDefaults()),
      logger_([this](QImage& image, TCaptureTime& captureTime) {
          if (session_) {
              session_->CopyFrameTo(image, captureTime);
          }
      }) {
    InitVistrelResources();
    stallNoteTimer_.setSingleShot(true);
    connect(&stallNoteTimer_, &QTimer::timeout, this, [this] { ClearStallNote(); });
    CreateControls();
    FormCreate();
}

TMainForm::~TMainForm() {
    if (errorHandlerInstalled_) {
        SetApplicationErrorHandler(std::move(previousErrorHandler_));
    }
    // The session goes before the controls its frames would draw on.
    logger_.SetSessionReady(false);
    controller_.reset();
    session_.reset();
}

// ---- Layout ------------------------------------------------------------------

void TMainForm::CreateControls() {
    setObjectName(QStringLiteral("MainForm"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setWindowIcon(ProgramIcon());

    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    setPalette(palette);
    setAutoFillBackground(true);

    auto label = [](QWidget* parent, const char* name, const QString& text, QPoint at) {
        auto* l = new QLabel(text, parent);
        l->setObjectName(QString::fromLatin1(name));
        l->move(at);
        l->adjustSize();
        return l;
    };
    auto glyphButton = [this](const char* name, Glyph glyph, const QRect& geometry) {
        auto* b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(geometry);
        b->setIcon(GlyphIcon(glyph));
        b->setIconSize(QSize(16, 16));
        b->setAutoRaise(true);  // flat
        b->setFocusPolicy(Qt::NoFocus);
        return b;
    };
    auto picture = [](QWidget* parent, const char* name, const QPixmap& pixmap,
                      const QRect& geometry) {
        auto* p = new QLabel(parent);
        p->setObjectName(QString::fromLatin1(name));
        p->setGeometry(geometry);
        p->setPixmap(pixmap);
        return p;
    };
    auto glyphPixmap = [](Glyph glyph) { return GlyphIcon(glyph).pixmap(16, 16); };

    // The about panel comes first so its frame leads the tab order; it holds
    // nothing that takes focus.
    AboutGB = new QFrame(this);
    AboutGB->setObjectName(QStringLiteral("AboutGB"));
    AboutGB->setGeometry(GeometryOf("AboutGB"));
    AboutGB->setFrameStyle(QFrame::Box | QFrame::Sunken);
    LogoI = picture(AboutGB, "LogoI", ProgramIcon().pixmap(32, 32), GeometryOf("LogoI"));
    NameL = label(AboutGB, "NameL", kTitle, PositionOf("NameL"));
    QFont nameFont = font;
    nameFont.setBold(true);
    nameFont.setPixelSize(13);
    NameL->setFont(nameFont);
    SetTextColour(NameL, Qt::black);
    NameL->adjustSize();
    AuthorL =
        label(AboutGB, "AuthorL", QStringLiteral("The Vistrel developers"), PositionOf("AuthorL"));
    SetTextColour(AuthorL, kBlue);
    VersionL = label(AboutGB, "VersionL", QStringLiteral("..."), PositionOf("VersionL"));
    FlagI = picture(AboutGB, "FlagI", QPixmap::fromImage(DrawFlag()), GeometryOf("FlagI"));
    CopyrightL = label(AboutGB, "CopyrightL", QStringLiteral("\u00A9 2026 The Vistrel developers"),
                       PositionOf("CopyrightL"));
    SetTextColour(CopyrightL, kBlue);
    Image1 = picture(AboutGB, "Image1", glyphPixmap(Glyph::System), GeometryOf("Image1"));
    OSL = label(AboutGB, "OSL", QStringLiteral("..."), PositionOf("OSL"));
    WebI = picture(AboutGB, "WebI", glyphPixmap(Glyph::Web), GeometryOf("WebI"));
    HomeL =
        label(AboutGB, "HomeL", QStringLiteral("https://vistrel.example.org"), PositionOf("HomeL"));
    MailI = picture(AboutGB, "MailI", glyphPixmap(Glyph::Mail), GeometryOf("MailI"));
    MailL =
        label(AboutGB, "MailL", QStringLiteral("support@vistrel.example.org"), PositionOf("MailL"));
    for (QLabel* link : {HomeL, MailL}) {
        QFont underlined = font;
        underlined.setUnderline(true);
        link->setFont(underlined);
        SetTextColour(link, kBlue);
        link->adjustSize();
    }

    CamL = label(this, "CamL", QStringLiteral("Cam:"), PositionOf("CamL"));
    CamLstCB = new QComboBox(this);
    CamLstCB->setObjectName(QStringLiteral("CamLstCB"));
    CamLstCB->setGeometry(GeometryOf("CamLstCB"));
    CamLstCB->setEditable(false);
    CamLstCB->setEnabled(false);
    UpdateSB = glyphButton("UpdateSB", Glyph::Update, GeometryOf("UpdateSB"));
    RunSB = glyphButton("RunSB", Glyph::Run, GeometryOf("RunSB"));
    StopSB = glyphButton("StopSB", Glyph::Stop, GeometryOf("StopSB"));
    StopSB->setEnabled(false);

    ThumbI = picture(this, "ThumbI", QPixmap(), GeometryOf("ThumbI"));
    ThumbI->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ThumbI->setContextMenuPolicy(Qt::CustomContextMenu);

    LoggingCB = new QCheckBox(QStringLiteral("Logging"), this);
    LoggingCB->setObjectName(QStringLiteral("LoggingCB"));
    LoggingCB->setGeometry(GeometryOf("LoggingCB"));
    LoggingCB->setChecked(true);
    JPEGNL = label(this, "JPEGNL", QStringLiteral("JPEG Quality:"), PositionOf("JPEGNL"));
    JPEGQL = label(this, "JPEGQL", QStringLiteral("70"), PositionOf("JPEGQL"));
    SetTextColour(JPEGQL, kBlue);
    JPEGQTB = new QSlider(Qt::Horizontal, this);
    JPEGQTB->setObjectName(QStringLiteral("JPEGQTB"));
    JPEGQTB->setGeometry(GeometryOf("JPEGQTB"));
    JPEGQTB->setRange(kMinQuality, kMaxQuality);
    JPEGQTB->setTickInterval(5);
    JPEGQTB->setTickPosition(QSlider::TicksBelow);
    JPEGQTB->setPageStep(5);
    JPEGQTB->setValue(70);

    Label1 = label(this, "Label1", QStringLiteral("Skipped Frames:"), PositionOf("Label1"));
    SkipL = label(this, "SkipL", QStringLiteral("..."), PositionOf("SkipL"));
    SetTextColour(SkipL, kBlue);
    SkipUD = new TUpDown(this);
    SkipUD->setObjectName(QStringLiteral("SkipUD"));
    SkipUD->setGeometry(GeometryOf("SkipUD"));
    SkipUD->SetRange(0, TSettings::kMaxSkippedFrames);
    SkipUD->SetPosition(3);

    SourceNL = label(this, "SourceNL", QStringLiteral("Source:"), PositionOf("SourceNL"));
    SourceXYL = label(this, "SourceXYL", QStringLiteral("... x ..."), PositionOf("SourceXYL"));
    SaveSetSB = glyphButton("SaveSetSB", Glyph::SaveSettings, GeometryOf("SaveSetSB"));
    ExitSB = glyphButton("ExitSB", Glyph::Exit, GeometryOf("ExitSB"));
    DirectoryNL =
        label(this, "DirectoryNL", QStringLiteral("Directory:"), PositionOf("DirectoryNL"));
    DirectoryL = label(this, "DirectoryL", QStringLiteral("..."), PositionOf("DirectoryL"));
    SetTextColour(DirectoryL, kNavy);
    DirSelSB = glyphButton("DirSelSB", Glyph::SelectDirectory, GeometryOf("DirSelSB"));

    setTabOrder(CamLstCB, LoggingCB);
    setTabOrder(LoggingCB, JPEGQTB);
    setTabOrder(JPEGQTB, SkipUD);

    // A pick by the user (not a selection made by code) sets CameraIndex.
    connect(CamLstCB, &QComboBox::activated, this,
            [this](int index) { Guarded([&] { CamLstCBChange(index); }); });
    connect(UpdateSB, &QToolButton::clicked, this, [this] { Guarded([&] { UpdateSBClick(); }); });
    connect(RunSB, &QToolButton::clicked, this, [this] { Guarded([&] { RunSBClick(); }); });
    connect(StopSB, &QToolButton::clicked, this, [this] { Guarded([&] { StopSBClick(); }); });
    connect(SaveSetSB, &QToolButton::clicked, this, [this] { Guarded([&] { SaveSetSBClick(); }); });
    connect(ExitSB, &QToolButton::clicked, this, [this] { Guarded([&] { ExitSBClick(); }); });
    connect(DirSelSB, &QToolButton::clicked, this, [this] { Guarded([&] { DirSelSBClick(); }); });
    connect(JPEGQTB, &QSlider::valueChanged, this,
            [this](int position) { Guarded([&] { JPEGQTBChange(position); }); });
    connect(SkipUD, &TUpDown::Changing, this,
            [this](int proposed) { Guarded([&] { SkipUDChangingEx(proposed); }); });
    connect(LoggingCB, &QCheckBox::toggled, this, [this](bool on) {
        logger_.SetLogging(on);
        if (!on || !IsCapturing()) {
            return;
        }
        if (const std::optional<TWriteFault> fault = controller_->PrepareWriting()) {
            ShowMessage(QMessageBox::Critical, tr("Error"), fault->message);
            LoggingCB->setChecked(false);
        }
    });
    connect(ThumbI, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        Guarded([&] { ThumbIContextMenu(ThumbI->mapToGlobal(at)); });
    });
}

// ---- Start-up ----------------------------------------------------------------

void TMainForm::FormCreate() {
    setWindowTitle(kTitle);

    // One instance per user. A second one ends here without a word, before
    // it reads or writes anything.
    switch (instanceLock_.Acquire(env_.instanceLockPath)) {
        case TInstanceLock::Result::HeldElsewhere:
            endedEarly_ = true;
            return;
        case TInstanceLock::Result::Unavailable:
            // No usable lock file (no runtime directory, a full disk):
            // better to run unguarded than not at all.
            qCWarning(lcApp, "cannot lock %s; not checking for another instance",
                      qUtf8Printable(env_.instanceLockPath));
            break;
        case TInstanceLock::Result::Acquired:
            break;
    }

    previousErrorHandler_ = SetApplicationErrorHandler(
        [this](const QString& message, const void*) { ShowApplicationError(message); });
    errorHandlerInstalled_ = true;

    std::optional<TSystemVersion> version;
    if (const std::optional<QString> release = env_.kernelRelease()) {
        version = ParseKernelRelease(*release);
    }
    systemVersion_ = version.value_or(TSystemVersion{});
    SetLabelText(OSL, SystemVersionText(version));
    // Linux is a supported platform: there is no refusal to make here.

    SetLabelText(VersionL, ReadFileVersion());
    LoadSettings();
    // The only place the quality reaches the encoder: a later move of the
    // slider applies from the next start, once saved.
    logger_.JpegEncoder().SetEncodingQuality(JPEGQTB->value());

    session_ = std::make_unique<TVideoImage>(env_.sessionOptions);
    session_->SetDisplayCanvas(nullptr);  // the thumbnail is drawn by the logger
    controller_ = std::make_unique<TCaptureController>(
        *session_, logger_,
        TCaptureController::Options{.cameraKeeper = env_.cameraKeeper,
                                    .stallTimeout = env_.stallTimeout,
                                    .startCapture = env_.startCapture,
                                    .stopCapture = env_.stopCapture});
    controller_->SetEvents(CaptureEvents());
    RefreshCameraList();
    SelectCameraIndex();
    logger_.SetFrameShown([this](const QString& sizeText, const QImage& thumbnail) {
        FrameShown(sizeText, thumbnail);
    });
    DrawFirstThumbnail();
    logger_.SetSessionReady(true);

#ifndef QT_NO_SESSIONMANAGER
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager&) { QueryEndSessionMsg(); });
    }
#endif
    if (env_.watchPowerEvents) {
        powerWatcher_ = new TPowerWatcher(
            [this](bool resumed) { Guarded([&] { PowerBroadcastMsg(resumed); }); }, this);
    }
    // Calls that other threads queue for the GUI thread (the session's frame
    // events among them) are delivered by Qt's event loop before it waits
    // for the next event, so nothing more is needed for them here.
    CenterOnScreen();
}

void TMainForm::CenterOnScreen() {
    if (const QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TMainForm::DrawFirstThumbnail() {
    // White, with a one-pixel black outline on columns and rows 0 and 126;
    // column and row 127 stay white.
    QImage picture(kThumbSide, kThumbSide, QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QRgb black = qRgb(0, 0, 0);
    for (int i = 0; i <= kThumbSide - 2; ++i) {
        picture.setPixel(i, 0, black);
        picture.setPixel(i, kThumbSide - 2, black);
        picture.setPixel(0, i, black);
        picture.setPixel(kThumbSide - 2, i, black);
    }
    ThumbI->resize(kThumbSide, kThumbSide);
    ThumbI->setPixmap(QPixmap::fromImage(picture));
}

// ---- Settings ----------------------------------------------------------------

void TMainForm::LoadSettings() {
    cameraIndex_ = 0;
    const TSettings settings = TSettings::Load(env_.settingsFileName(), env_.defaultDirectory());
    logger_.SetOutputDirectory(settings.Directory);
    SetLabelText(DirectoryL, TSettings::ShortDirectory(settings.Directory));
    LoggingCB->setChecked(settings.Logging);
    logger_.SetLogging(settings.Logging);
    logger_.Writer().SetKeepFree(KeepFreeSetting(settings.KeepFree));
    logger_.Writer().SetLatest(LatestSetting(settings.Latest));
    logger_.Writer().SetDailyFolders(DailyFoldersSetting(settings.DailyFolders));
    logger_.Writer().SetKeepDays(KeepDaysSetting(settings.KeepDays));
    threadsSetting_ = settings.Threads;
    logger_.SetWriteThreads(settings.WriteThreads());
    cameraIndex_ = settings.Cam;
    JPEGQTB->setValue(settings.JPEGQuality);
    SetLabelText(JPEGQL, QString::number(JPEGQTB->value()));
    SkipUD->SetPosition(settings.SkippedFrames);
    SetLabelText(SkipL, QString::number(SkipUD->Position()));
    chosenFormat_ = settings.Format;
    chosenSize_ = settings.Size;
    intervalText_ = settings.Interval;
    warmUpText_ = settings.WarmUp;
    interval_ =
        DurationSetting(QStringLiteral("Interval"), settings.Interval, ZeroDuration::MeansOff);
    warmUp_ = DurationSetting(QStringLiteral("WarmUp"), settings.WarmUp, ZeroDuration::MeansOff);
    hoursText_ = settings.Hours;
    daylightText_ = settings.Daylight;
    activeTime_ = TActiveTime(HoursSetting(QStringLiteral("Hours"), settings.Hours),
                              DaylightSetting(QStringLiteral("Daylight"), settings.Daylight));
    controlsText_ = settings.Controls;
    controls_ = ControlListSetting(settings.Controls.value_or(QString()));
    const TPictureSetting picture = PictureSetting(settings);
    logger_.SetStamp(picture.stamp);
    logger_.SetPassthrough(nullptr);
    if (picture.passthrough) {
        logger_.SetPassthrough([this](std::vector<std::uint8_t>& bytes, TCaptureTime& time) {
            return session_ && session_->CopyJpegFrameTo(bytes, time);
        });
    }
}

void TMainForm::SaveSettings() {
    TSettings settings;
    settings.Cam = cameraIndex_;
    settings.JPEGQuality = JPEGQTB->value();
    settings.SkippedFrames = SkipUD->Position();
    settings.Directory = logger_.OutputDirectory();
    settings.Logging = LoggingCB->isChecked();
    settings.Format = chosenFormat_;
    settings.Size = chosenSize_;
    settings.Interval = intervalText_;
    settings.WarmUp = warmUpText_;
    settings.Hours = hoursText_;
    settings.Daylight = daylightText_;
    settings.Controls = controlsText_;
    settings.Threads = threadsSetting_;
    settings.Save(env_.settingsFileName());
}

// ---- Camera list and capture -------------------------------------------------

void TMainForm::SessionDeviceList(QStringList& list) {
    list.clear();
    if (!session_) {
        return;
    }
    if (env_.getDeviceList) {
        env_.getDeviceList(*session_, list);
    } else {
        session_->GetDeviceList(list);
    }
}

void TMainForm::RefreshCameraList() {
    cameraCount_ = 0;
    QStringList list;
    SessionDeviceList(list);
    cameraCount_ = static_cast<int>(list.size());
    CamLstCB->clear();
    CamLstCB->addItems(list);
    CamLstCB->setEnabled(false);
    if (cameraCount_ <= 0) {
        CamLstCB->addItem(QStringLiteral("---"));
        CamLstCB->setCurrentIndex(0);
        return;
    }
    CamLstCB->setCurrentIndex(0);
    CamLstCB->setEnabled(true);
}

void TMainForm::SelectCameraIndex() {
    if (cameraCount_ <= 0) {
        return;
    }
    // A stored index the list does not have leaves nothing selected; the
    // index itself is kept until the user picks a camera.
    CamLstCB->setCurrentIndex(cameraIndex_ >= 0 && cameraIndex_ < cameraCount_ ? cameraIndex_ : -1);
}

// While the window waits for a lost camera it keeps the Capturing controls:
// the user's capture is still meant to run, Stop ends the wait, and Run,
// Update and the list stay off.
void TMainForm::SetCapturingControls(bool capturing) {
    RunSB->setEnabled(!capturing);
    StopSB->setEnabled(capturing);
    UpdateSB->setEnabled(!capturing);
    CamLstCB->setEnabled(!capturing);
}

TCaptureController::Events TMainForm::CaptureEvents() {
    TCaptureController::Events events;
    events.savedFormatSkipped = [this](const TSavedFormatSkip& skip) { SavedFormatSkipped(skip); };
    events.started = [this](const TStartReport& report) { CaptureStarted(report); };
    events.lost = [this](TStatus) { Guarded([&] { CameraWaitStarted(); }); };
    events.returned = [this](const TCaptureNode& node) { Guarded([&] { CameraReturned(node); }); };
    events.writePaused = [this](const TWriteFault& fault) { WritePaused(fault); };
    events.writeResumed = [this](std::uint64_t missed) { WriteResumed(missed); };
    events.stalled = [this] { CameraStalled(); };
    events.stallRecovered = [this] { CameraBack(); };
    events.resting = [this](const QDateTime& until) { Resting(until); };
    events.active = [this] { ActiveAgain(); };
    events.controlProblem = [](const QString& problem) {
        qCWarning(lcApp, "%s", qUtf8Printable(problem));
    };
    events.framesNotWritten = [this](std::uint64_t count) { FramesNotWritten(count); };
    // Frame errors leave through the session, which hands them to the error
    // handler.
    return events;
}

void TMainForm::RunSBClick() {
    if (!controller_ || IsCapturing() || IsWaitingForCamera() || inCaptureControl_) {
        return;
    }
    const FlagScope scope(inCaptureControl_);

    TStartResult result;
    {
        const BusyCursor busy;
        // Pending events have run: the window may have been closed meanwhile.
        if (!controller_) {
            return;
        }
        restingNote_.clear();  // the run's first frame tells anew
        result = controller_->Run({.device = NumberedDeviceName(CamLstCB->currentIndex() + 1),
                                   .savedFormat = chosenFormat_,
                                   .savedSize = chosenSize_,
                                   .frameDivisor = SkipUD->Position() + 1,
                                   .interval = interval_,
                                   .warmUp = warmUp_,
                                   .activeTime = activeTime_,
                                   .controls = controls_});
    }
    QApplication::processEvents();
    if (!controller_) {
        return;
    }
    if (!result.Started()) {
        ShowStartFailure(result);
        return;
    }
    SetCapturingControls(true);
}

void TMainForm::StopSBClick() {
    if (!controller_ || inCaptureControl_) {
        return;
    }
    const FlagScope scope(inCaptureControl_);
    if (IsWaitingForCamera()) {
        // Ended before anything else runs, so the camera cannot come back in
        // between; no session is capturing, so no busy cursor either.
        controller_->Stop();
        frameSizeText_ = QStringLiteral("... x ...");
        if (!logger_.Writer().IsPaused()) {
            SetLabelText(SourceXYL, frameSizeText_);
        }
    } else {
        const BusyCursor busy;
        if (controller_) {
            controller_->Stop();
        }
    }
    if (!controller_) {
        return;
    }
    ClearStallNote();
    restingNote_.clear();
    CloseControlsDialog();
    SetCapturingControls(false);
    RefreshCameraList();
    SelectCameraIndex();
}

void TMainForm::UpdateSBClick() {
    if (IsCapturing() || IsWaitingForCamera()) {
        return;
    }
    RefreshCameraList();
    SelectCameraIndex();
}

void TMainForm::CaptureDeviceLost() {
    if (controller_) {
        controller_->CameraLost(TStatus{});
    }
}

void TMainForm::CameraWaitStarted() {
    // No message box: a window left alone must never wait for a click. It
    // says so in the frame-size label and waits for the camera instead.
    qCWarning(lcApp, "capture device lost; waiting for it to come back");
    RefreshCameraList();
    SelectCameraIndex();
    SetCapturingControls(true);
    stallNote_.clear();
    SetLabelText(SourceXYL, tr("Waiting for camera"));
}

void TMainForm::CameraReturned(const TCaptureNode& node) {
    qCWarning(lcApp, "capture device back at %s", node.path.c_str());
    // The camera may be back at another place in the list; the selection
    // follows it, so that Stop and Run start it again.
    cameraIndex_ = node.position - 1;
    RefreshCameraList();
    SelectCameraIndex();
    SetCapturingControls(true);
    stallNote_.clear();
    frameSizeText_ = QStringLiteral("%1 x %2").arg(session_->Width()).arg(session_->Height());
    // A writing pause outlives the camera's absence: its label stays.
    if (!logger_.Writer().IsPaused()) {
        SetLabelText(SourceXYL, frameSizeText_);
    }
}

void TMainForm::CameraStalled() {
    qCWarning(lcApp, "camera stalled; restarting");
    stallNoteTimer_.stop();
    stallNote_ = tr("Camera stalled; restarting");
    SetLabelText(SourceXYL, stallNote_);
}

// "Camera back" stays a few seconds; frames flowing again would replace it
// at once.
void TMainForm::CameraBack() {
    qCWarning(lcApp, "camera back");
    stallNote_ = tr("Camera back");
    SetLabelText(SourceXYL, stallNote_);
    stallNoteTimer_.start(std::chrono::seconds(3));
}

// Told like "Camera back": a few seconds over the frame size, but never over
// a note of the camera's.
void TMainForm::FramesNotWritten(std::uint64_t count) {
    const QString note = tr("%1 frames not written: the disk is too slow").arg(count);
    qCWarning(lcApp, "%s", qUtf8Printable(note));
    if (!stallNote_.isEmpty() && stallNote_ != slowDiskNote_) {
        return;
    }
    slowDiskNote_ = note;
    stallNote_ = note;
    if (!logger_.Writer().IsPaused()) {
        SetLabelText(SourceXYL, stallNote_);
    }
    stallNoteTimer_.start(std::chrono::seconds(5));
}

void TMainForm::ClearStallNote() {
    stallNoteTimer_.stop();
    if (stallNote_.isEmpty()) {
        return;
    }
    stallNote_.clear();
    if (!logger_.Writer().IsPaused()) {
        SetLabelText(SourceXYL, frameSizeText_);
    }
}

// Outside the active time the thumbnail stays live and the label says until
// when nothing is written.
void TMainForm::Resting(const QDateTime& until) {
    restingNote_ = RestingText(until, QDateTime::currentDateTime());
    qCInfo(lcApp, "%s", qUtf8Printable(restingNote_));
    frameSizeText_ = restingNote_;
    if (!logger_.Writer().IsPaused() && stallNote_.isEmpty()) {
        SetLabelText(SourceXYL, frameSizeText_);
    }
}

// The frame being shown brings back its size.
void TMainForm::ActiveAgain() {
    qCInfo(lcApp, "active again");
    restingNote_.clear();
}

void TMainForm::ChooseCaptureFormat(std::uint32_t pixelFormat, std::uint32_t width,
                                    std::uint32_t height) {
    if (!controller_ || !IsCapturing() || inCaptureControl_) {
        return;
    }
    const FlagScope scope(inCaptureControl_);
    TStartResult result;
    {
        const BusyCursor busy;
        if (!controller_) {
            return;
        }
        result = controller_->ChangeFormat({pixelFormat, width, height, {}});
    }
    QApplication::processEvents();
    if (!controller_) {
        return;
    }
    if (!result.Started()) {
        SetCapturingControls(false);
        RefreshCameraList();
        SelectCameraIndex();
        ShowStartFailure(result);
        return;
    }
    // Kept for the settings only once the camera runs in it.
    chosenFormat_ = FormatName(pixelFormat);
    chosenSize_ = SizeText(width, height);
}

void TMainForm::ShowStartFailure(const TStartResult& result) {
    ShowMessage(QMessageBox::Critical, tr("Error"), result.message);
}

void TMainForm::CamLstCBChange(int index) {
    if (index >= 0 && index < cameraCount_) {
        cameraIndex_ = index;
    }
}

void TMainForm::JPEGQTBChange(int position) {
    SetLabelText(JPEGQL, QString::number(position));
}

void TMainForm::SkipUDChangingEx(int proposed) {
    SetLabelText(SkipL, QString::number(proposed));
}

void TMainForm::DirSelSBClick() {
    const std::optional<QString> chosen = env_.chooseDirectory(this, QDir::currentPath());
    if (!chosen) {
        return;
    }
    // The chosen path in full, unlike the shortened form shown at start-up.
    SetLabelText(DirectoryL, *chosen);
    logger_.SetOutputDirectory(*chosen);
}

void TMainForm::SaveSetSBClick() {
    SaveSettings();
}

void TMainForm::ExitSBClick() {
    quitRequested_ = true;
    close();
}

// ---- Frames ------------------------------------------------------------------

void TMainForm::FrameShown(const QString& sizeText, const QImage& thumbnail) {
    frameSizeText_ = !unconvertibleNote_.isEmpty() ? unconvertibleNote_
                     : !restingNote_.isEmpty()     ? restingNote_
                                                   : sizeText;
    if (!logger_.Writer().IsPaused() && stallNote_.isEmpty()) {
        SetLabelText(SourceXYL, frameSizeText_);
    }
    ThumbI->resize(thumbnail.size());
    ThumbI->setPixmap(QPixmap::fromImage(thumbnail));
}

void TMainForm::WritePaused(const TWriteFault& fault) {
    // The log keeps the whole message; the label holds a few words, the
    // tooltip the rest.
    qCWarning(lcApp, "%s; writing paused", qUtf8Printable(fault.message));
    SetLabelText(SourceXYL, TFrameWriter::PauseLabel(fault));
    SourceXYL->setToolTip(fault.message);
}

void TMainForm::WriteResumed(std::uint64_t framesNotWritten) {
    qCWarning(lcApp, "writing resumed; %llu taken frames were not written",
              static_cast<unsigned long long>(framesNotWritten));
    SetLabelText(SourceXYL, stallNote_.isEmpty() ? frameSizeText_ : stallNote_);
    SourceXYL->setToolTip(QString());
}

// ---- Messages ----------------------------------------------------------------

void TMainForm::ShowApplicationError(const QString& message) {
    ShowMessage(QMessageBox::Critical, kTitle, message);
}

void TMainForm::ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text,
                            bool keep) {
    if (messageBoxOpen_) {
        // One box at a time: an error that repeats while its box is open
        // (every frame into a missing directory) is not stacked. A message
        // that must be seen waits for the open box to close.
        if (keep) {
            pendingMessage_ = PendingMessage{icon, title, text};
        } else {
            qCWarning(lcApp, "%s", qUtf8Printable(text));
        }
        return;
    }
    {
        const FlagScope scope(messageBoxOpen_);
        env_.showMessage(this, icon, title, text);
    }
    if (pendingMessage_) {
        const PendingMessage next = *std::exchange(pendingMessage_, std::nullopt);
        ShowMessage(next.icon, next.title, next.text, true);
    }
}

// ---- Closing -----------------------------------------------------------------

void TMainForm::FormCloseQuery(bool& canClose) {
    canClose = quitRequested_;
    if (!canClose) {
        // A close only hides the window in the taskbar; capture goes on.
        showMinimized();
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    Guarded([&] { FormCloseQuery(canClose); });
    if (!canClose) {
        event->ignore();
        return;
    }
    if (session_ && session_->Busy()) {
        // A frame is being handled further down this stack (a message box of
        // its own is open): tear down once it has returned.
        event->ignore();
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    if (!FormClose()) {
        event->ignore();
        return;
    }
    event->accept();
}

bool TMainForm::FormClose() {
    const std::lock_guard<std::recursive_mutex> hold(logger_.FrameLock());
    CloseControlsDialog();  // it sets controls through the session
    if (logger_.IsSessionReady()) {
        if (IsCapturing()) {
            Guarded([&] { controller_->Stop(); });
        }
        controller_.reset();
        // The files in hand are written before the window goes.
        logger_.FinishWriting();
        session_->Dispose();
        session_.reset();
        logger_.SetSessionReady(false);
    }
    instanceLock_.Release();
    try {
        SaveSettings();
    } catch (...) {
        // The session is gone: the capture controls stay off, and the next
        // close tries the save again.
        for (QWidget* control :
             {static_cast<QWidget*>(RunSB), static_cast<QWidget*>(StopSB),
              static_cast<QWidget*>(UpdateSB), static_cast<QWidget*>(CamLstCB)}) {
            control->setEnabled(false);
        }
        HandleApplicationError(std::current_exception(), this);
        return false;
    }
    return true;
}

void TMainForm::QueryEndSessionMsg() {
    // The desktop session may end; should another program veto it, the next
    // close request quits instead of minimising.
    quitRequested_ = true;
}

void TMainForm::PowerBroadcastMsg(bool resumed) {
    // Give the camera's driver time to come back before frames are asked
    // for. Neither suspend nor resume stops or restarts the capture.
    if (resumed) {
        env_.sleep(kResumeWaitMilliseconds);
    }
}

}  // namespace vistrel
