// SPDX-License-Identifier: MIT
// Start-up, layout and the settings file as the window sees them.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QSlider>
#include <QToolButton>

#include "app/form_layout.h"
#include "app/up_down.h"
#include "form_fixture.h"

namespace vistrel::test {
namespace {

class StartUpTest : public FormTest {};

TEST_F(StartUpTest, WithoutSettingsFileShowsTheDefaultsAndTheFirstCamera) {
    cameras_ = {QStringLiteral("Cam A"), QStringLiteral("Cam B")};
    TMainForm& form = MakeForm();
    ASSERT_FALSE(form.EndedEarly());

    EXPECT_EQ(form.windowTitle(), "Vistrel");
    EXPECT_EQ(Control<QSlider>("JPEGQTB")->value(), 70);
    EXPECT_EQ(Control<QLabel>("JPEGQL")->text(), "70");
    EXPECT_EQ(Control<TUpDown>("SkipUD")->Position(), 3);
    EXPECT_EQ(Control<QLabel>("SkipL")->text(), "3");
    EXPECT_TRUE(Control<QCheckBox>("LoggingCB")->isChecked());
    EXPECT_TRUE(form.FrameLogger().Logging());
    EXPECT_EQ(form.OutputDirectory(), DefaultDirectory());
    EXPECT_EQ(Control<QLabel>("DirectoryL")->text(), DefaultDirectory().left(25) + "...");
    EXPECT_EQ(form.FrameLogger().JpegEncoder().EncodingQuality(), 70);

    auto* list = Control<QComboBox>("CamLstCB");
    EXPECT_EQ(form.CameraCount(), 2);
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_TRUE(list->isEnabled());
    EXPECT_TRUE(Control<QToolButton>("RunSB")->isEnabled());
    EXPECT_TRUE(Control<QToolButton>("UpdateSB")->isEnabled());
    EXPECT_FALSE(Control<QToolButton>("StopSB")->isEnabled());
    EXPECT_FALSE(form.IsCapturing());
    EXPECT_TRUE(form.IsSessionReady());
    EXPECT_EQ(form.Session()->DisplayCanvas(), nullptr);

    EXPECT_EQ(Control<QLabel>("VersionL")->text(), "1.0.0.18");
    EXPECT_EQ(Control<QLabel>("OSL")->text(), "6.1.0 Linux");
    EXPECT_EQ(form.SystemVersion().MajorVersion, 6u);
    EXPECT_EQ(Control<QLabel>("SourceXYL")->text(), "... x ...");

    // Loading writes nothing.
    EXPECT_FALSE(QFile::exists(SettingsPath()));
    EXPECT_TRUE(messages_.empty());
}

TEST_F(StartUpTest, NoCameraShowsThePlaceholderInADisabledList) {
    TMainForm& form = MakeForm();
    auto* list = Control<QComboBox>("CamLstCB");
    EXPECT_EQ(form.CameraCount(), 0);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->currentText(), "---");
    EXPECT_FALSE(list->isEnabled());
    EXPECT_TRUE(Control<QToolButton>("RunSB")->isEnabled());
}

TEST_F(StartUpTest, FailedVersionQueryShowsZeros) {
    env_.kernelRelease = [] { return std::optional<QString>(); };
    MakeForm();
    EXPECT_EQ(Control<QLabel>("OSL")->text(), "0.0.0");
    EXPECT_EQ(Form().SystemVersion().MajorVersion, 0u);
}

TEST_F(StartUpTest, WindowIsBuiltFromItsLayoutTables) {
    TMainForm& form = MakeForm();
    EXPECT_EQ(form.size(), QSize(242, 316));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form.windowIcon().isNull());
    EXPECT_EQ(form.font().pixelSize(), 11);

    // Every control of the layout tables is there, where they place it.
    for (const auto& [name, geometry] : kSizedControls) {
        auto* widget = Control<QWidget>(name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), geometry) << name;
    }
    for (const auto& [name, position] : kLabels) {
        auto* label = Control<QLabel>(name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->pos(), position) << name;
    }
    // The about panel's labels sit inside its frame.
    EXPECT_EQ(Control<QLabel>("OSL")->parentWidget(), Control<QFrame>("AboutGB"));

    auto* slider = Control<QSlider>("JPEGQTB");
    EXPECT_EQ(slider->minimum(), 50);
    EXPECT_EQ(slider->maximum(), 100);
    EXPECT_EQ(slider->tickInterval(), 5);
    auto* spinner = Control<TUpDown>("SkipUD");
    EXPECT_EQ(spinner->Minimum(), 0);
    EXPECT_EQ(spinner->Maximum(), 100);

    // Tab order, and glyph buttons that take no focus.
    QStringList tabOrder;
    QWidget* w = &form;
    do {
        w = w->nextInFocusChain();
        if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().isEmpty() &&
            w->parentWidget() == &form) {
            tabOrder << w->objectName();
        }
    } while (w != &form);
    EXPECT_EQ(tabOrder, (QStringList{"CamLstCB", "LoggingCB", "JPEGQTB", "SkipUD"}));
    for (const char* name : {"UpdateSB", "RunSB", "StopSB", "SaveSetSB", "ExitSB", "DirSelSB"}) {
        auto* button = Control<QToolButton>(name);
        EXPECT_EQ(button->focusPolicy(), Qt::NoFocus) << name;
        EXPECT_EQ(button->iconSize(), QSize(16, 16)) << name;
        EXPECT_FALSE(button->icon().isNull()) << name;
        EXPECT_TRUE(button->text().isEmpty()) << name;
    }
}

TEST_F(StartUpTest, FirstThumbnailIsWhiteWithAnOutlineOnColumnsAndRowsZeroAnd126) {
    MakeForm();
    const QImage thumb = Control<QLabel>("ThumbI")->pixmap().toImage();
    ASSERT_EQ(thumb.size(), QSize(128, 128));
    const QRgb black = qRgb(0, 0, 0);
    const QRgb white = qRgb(255, 255, 255);
    for (int i = 0; i <= 126; ++i) {
        EXPECT_EQ(thumb.pixel(i, 0) & 0xFFFFFF, black & 0xFFFFFF);
        EXPECT_EQ(thumb.pixel(i, 126) & 0xFFFFFF, black & 0xFFFFFF);
        EXPECT_EQ(thumb.pixel(0, i) & 0xFFFFFF, black & 0xFFFFFF);
        EXPECT_EQ(thumb.pixel(126, i) & 0xFFFFFF, black & 0xFFFFFF);
    }
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(thumb.pixel(127, i) & 0xFFFFFF, white & 0xFFFFFF);
        EXPECT_EQ(thumb.pixel(i, 127) & 0xFFFFFF, white & 0xFFFFFF);
    }
    EXPECT_EQ(thumb.pixel(64, 64) & 0xFFFFFF, white & 0xFFFFFF);
}

// ---- The settings file -------------------------------------------------------

class SettingsTest : public FormTest {};

TEST_F(SettingsTest, StoredValuesReachTheControlsAndTheEncoder) {
    cameras_ = {"A", "B", "C"};
    WriteSettings(
        "[Settings]\nCam=2\nJPEGQuality=0x5A\nSkippedFrames=7\nDirectory=/data/cam\nLogging=0\n");
    TMainForm& form = MakeForm();
    EXPECT_EQ(Control<QSlider>("JPEGQTB")->value(), 90);
    EXPECT_EQ(Control<QLabel>("JPEGQL")->text(), "90");
    EXPECT_EQ(form.FrameLogger().JpegEncoder().EncodingQuality(), 90);
    EXPECT_EQ(Control<TUpDown>("SkipUD")->Position(), 7);
    EXPECT_EQ(Control<QLabel>("SkipL")->text(), "7");
    EXPECT_FALSE(Control<QCheckBox>("LoggingCB")->isChecked());
    EXPECT_FALSE(form.FrameLogger().Logging());
    EXPECT_EQ(form.OutputDirectory(), "/data/cam");
    EXPECT_EQ(Control<QLabel>("DirectoryL")->text(), "/data/cam");
    EXPECT_EQ(form.CameraIndex(), 2);
    EXPECT_EQ(Control<QComboBox>("CamLstCB")->currentIndex(), 2);
    EXPECT_FALSE(form.FrameLogger().Stamp().Enabled());
    EXPECT_FALSE(form.FrameLogger().Passthrough());
}

TEST_F(SettingsTest, PictureKeysReachTheLogger) {
    WriteSettings("[Settings]\nTimestamp=%H:%M\nTitle=Door\n");
    const TFrameLogger& logger = MakeForm().FrameLogger();
    EXPECT_TRUE(logger.Stamp().time);
    EXPECT_EQ(logger.Stamp().format, "%H:%M");
    EXPECT_EQ(logger.Stamp().title, "Door");
}

TEST_F(SettingsTest, OutOfRangeAndGarbageValuesFallBackOrClamp) {
    const struct {
        const char* quality;
        int shown;
        const char* skipped;
        int skip;
        const char* logging;
        bool ticked;
    } cases[] = {
        {"abc", 70, "abc", 3, "True", true},  // words are no numbers: defaults
        {"30", 50, "120", 100, "5", true},    // clamped to the controls' ranges
        {"120", 100, "-4", 0, "0", false},
        {"", 70, "0x0A", 10, "-1", true},
    };
    for (const auto& c : cases) {
        WriteSettings(QStringLiteral("[settings]\njpegquality=%1\nSKIPPEDFRAMES=%2\nLogging=%3\n")
                          .arg(c.quality, c.skipped, c.logging));
        TMainForm& form = MakeForm();
        EXPECT_EQ(Control<QSlider>("JPEGQTB")->value(), c.shown) << c.quality;
        EXPECT_EQ(Control<QLabel>("JPEGQL")->text(), QString::number(c.shown)) << c.quality;
        EXPECT_EQ(form.FrameLogger().JpegEncoder().EncodingQuality(), c.shown) << c.quality;
        EXPECT_EQ(Control<TUpDown>("SkipUD")->Position(), c.skip) << c.skipped;
        EXPECT_EQ(Control<QLabel>("SkipL")->text(), QString::number(c.skip)) << c.skipped;
        EXPECT_EQ(Control<QCheckBox>("LoggingCB")->isChecked(), c.ticked) << c.logging;
        DestroyForm();
    }
}

TEST_F(SettingsTest, DirectoryLabelShortensFrom26Characters) {
    const QString d25 = QStringLiteral("/abcdefghijklmnopqrstuvwx");  // 25 characters
    const QString d26 = d25 + QLatin1Char('y');
    ASSERT_EQ(d25.size(), 25);
    WriteSettings("[Settings]\nDirectory=" + d25 + "\n");
    MakeForm();
    EXPECT_EQ(Control<QLabel>("DirectoryL")->text(), d25);
    DestroyForm();

    WriteSettings("[Settings]\nDirectory=" + d26 + "\n");
    TMainForm& form = MakeForm();
    EXPECT_EQ(Control<QLabel>("DirectoryL")->text(), d25 + "...");
    EXPECT_EQ(form.OutputDirectory(), d26);
    DestroyForm();

    WriteSettings("[Settings]\nDirectory=\n");
    TMainForm& empty = MakeForm();
    EXPECT_EQ(empty.OutputDirectory(), "");
    EXPECT_EQ(Control<QLabel>("DirectoryL")->text(), "");
}

TEST_F(SettingsTest, StoredCameraMissingFromTheListSelectsNothingUntilThePick) {
    cameras_ = {"A", "B"};
    WriteSettings("[Settings]\nCam=3\n");
    TMainForm& form = MakeForm();
    auto* list = Control<QComboBox>("CamLstCB");
    EXPECT_EQ(list->currentIndex(), -1);
    EXPECT_EQ(form.CameraIndex(), 3);
    EXPECT_TRUE(list->isEnabled());

    // Only a pick by the user changes the index.
    emit list->activated(1);
    EXPECT_EQ(form.CameraIndex(), 1);
    form.UpdateSBClick();
    EXPECT_EQ(list->currentIndex(), 1);
}

TEST_F(SettingsTest, SaveRightAfterStartUpWritesTheLoadedValuesInOrder) {
    WriteSettings("[Other]\nKeep=me\n[Settings]\nJPEGQuality=30\nSkippedFrames=5\nCam=1\n");
    MakeForm();
    Control<QToolButton>("SaveSetSB")->click();
    EXPECT_EQ(ReadSettings(),
              "[Other]\nKeep=me\n[Settings]\nJPEGQuality=50\nSkippedFrames=5\n"
              "Cam=1\nDirectory=" +
                  DefaultDirectory() + "\nLogging=1\n");
}

TEST_F(SettingsTest, FileWrittenFromScratchHoldsTheSectionAndFiveKeys) {
    TMainForm& form = MakeForm();
    Control<QSlider>("JPEGQTB")->setValue(85);
    Control<TUpDown>("SkipUD")->Step(-1);
    Control<QCheckBox>("LoggingCB")->setChecked(false);
    form.SaveSetSBClick();
    EXPECT_EQ(ReadSettings(), "[Settings]\nCam=0\nJPEGQuality=85\nSkippedFrames=2\nDirectory=" +
                                  DefaultDirectory() + "\nLogging=0\n");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(SettingsTest, SaveThatCannotWriteShowsTheMessage) {
    // The settings "directory" is a plain file: nothing can be written there.
    QFile blocker(TempPath("config"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    MakeForm();
    Control<QToolButton>("SaveSetSB")->click();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].icon, QMessageBox::Critical);
    EXPECT_EQ(messages_[0].text, "Unable to write to " + SettingsPath() + ". Not a directory.");
}

TEST_F(SettingsTest, SliderAndSpinnerMovesUpdateLabelsOnly) {
    TMainForm& form = MakeForm();
    Control<QSlider>("JPEGQTB")->setValue(95);
    EXPECT_EQ(Control<QLabel>("JPEGQL")->text(), "95");
    // The encoder keeps the quality latched at start-up.
    EXPECT_EQ(form.FrameLogger().JpegEncoder().EncodingQuality(), 70);

    auto* spinner = Control<TUpDown>("SkipUD");
    spinner->Step(+1);
    EXPECT_EQ(Control<QLabel>("SkipL")->text(), "4");
    spinner->SetPosition(100);
    spinner->Step(+1);  // no wrap-around, the label stays truthful
    EXPECT_EQ(spinner->Position(), 100);
    EXPECT_EQ(Control<QLabel>("SkipL")->text(), "100");
    spinner->SetPosition(0);
    spinner->Step(-1);
    EXPECT_EQ(spinner->Position(), 0);
    EXPECT_EQ(Control<QLabel>("SkipL")->text(), "0");
}

}  // namespace
}  // namespace vistrel::test
