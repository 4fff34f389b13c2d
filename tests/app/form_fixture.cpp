// SPDX-License-Identifier: MIT
#include "form_fixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <vector>

#include "capture/fake_v4l2.h"

namespace vistrel::test {

FormTest::FormTest() {
    env_.settingsFileName = [this] {
        ++settingsNameCalls_;
        return SettingsPath();
    };
    env_.defaultDirectory = [this] { return DefaultDirectory(); };
    env_.instanceLockPath = LockPath();
    env_.kernelRelease = [] { return std::optional<QString>(QStringLiteral("6.1.0-18-amd64")); };
    env_.showMessage = [this](QWidget*, QMessageBox::Icon icon, const QString& title,
                              const QString& text) {
        messages_.push_back({icon, title, text});
    };
    env_.showMenu = [this](QMenu& menu, const QPoint&) {
        ++menusShown_;
        if (onMenu_) {
            onMenu_(menu);
        }
    };
    env_.askYesNo = [](QWidget*, const QString&) { return false; };
    env_.chooseDirectory = [this](QWidget*, const QString&) { return chosenDirectory_; };
    env_.sleep = [this](int milliseconds) { sleeps_.push_back(milliseconds); };
    env_.watchPowerEvents = false;
    // A clock that never advances: the GUI thread never looks stalled, so no
    // frame is dropped however slowly a test (or a sanitizer build) runs.
    env_.sessionOptions.clock = [] { return std::uint32_t{0}; };
    env_.sessionOptions.installIdleHook = false;
    // No camera at all, so a lost camera is looked for here, not among the
    // machine's own devices.
    env_.sessionOptions.io = std::make_shared<FakeV4L2>();
    env_.getDeviceList = [this](TVideoImage&, QStringList& list) { list = cameras_; };
    env_.startCapture = [this](TVideoImage&, const QString& name, const TFormatRequest&) {
        startedDevices_.push_back(name);
        return startResult_;
    };
    env_.stopCapture = [this](TVideoImage&) { ++stops_; };
}

FormTest::~FormTest() {
    form_.reset();
}

TMainForm& FormTest::MakeForm() {
    form_ = std::make_unique<TMainForm>(env_);
    return *form_;
}

void FormTest::WriteSettings(const QString& text) {
    QDir().mkpath(QFileInfo(SettingsPath()).absolutePath());
    QFile file(SettingsPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}

QString FormTest::ReadSettings() const {
    QFile file(SettingsPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

void FormTest::DeliverFrame(int width, int height) {
    TVideoImage* session = form_->Session();
    ASSERT_NE(session, nullptr);
    if (session->Width() != width || session->Height() != height) {
        session->SetFormat(width, height, fourcc::kRGB, true);
    }
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3, 0x80);
    ASSERT_TRUE(session->ReceiveSample(pixels.data(), static_cast<std::int32_t>(pixels.size())));
    QApplication::sendPostedEvents();
    QApplication::processEvents();
    form_->FrameLogger().FinishWriting();  // its file, if any, is written and told
}

QStringList FormTest::OutputFiles(const QString& directory) const {
    return QDir(directory).entryList(QDir::Files, QDir::Name);
}

}  // namespace vistrel::test
