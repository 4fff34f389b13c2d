// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/form_environment.h"
#include "app/main_form.h"

namespace vistrel::test {

// A window with everything it asks of the outside world recorded: settings,
// lock file and default directory in a temporary directory, message boxes
// and waits written down instead of shown, and a camera list of our choice.
class FormTest : public ::testing::Test {
protected:
    struct Message {
        QMessageBox::Icon icon;
        QString title;
        QString text;
    };

    FormTest();
    ~FormTest() override;

    // The environment a new window gets; tests may change it before MakeForm.
    TFormEnvironment& Environment() { return env_; }
    TMainForm& MakeForm();
    TMainForm& Form() { return *form_; }
    bool HasForm() const { return form_ != nullptr; }
    void DestroyForm() { form_.reset(); }

    QString SettingsPath() const { return dir_.filePath(QStringLiteral("config/Vistrel.ini")); }
    QString DefaultDirectory() const { return dir_.filePath(QStringLiteral("Pictures/Vistrel/")); }
    QString LockPath() const { return dir_.filePath(QStringLiteral("VistrelMutex")); }
    QString TempPath(const QString& name) const { return dir_.filePath(name); }
    void WriteSettings(const QString& text);
    QString ReadSettings() const;

    // A control of the window by its object name.
    template <typename W>
    W* Control(const char* name) {
        W* widget = form_->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // Hands one 24-bit frame of this size to the session, as the capture
    // thread does, and lets the window handle it.
    void DeliverFrame(int width, int height);
    QStringList OutputFiles(const QString& directory) const;

    QTemporaryDir dir_;
    TFormEnvironment env_;
    QStringList cameras_;
    std::vector<QString> startedDevices_;
    int startResult_ = 0;
    int stops_ = 0;
    int settingsNameCalls_ = 0;
    std::vector<Message> messages_;
    std::vector<int> sleeps_;
    std::optional<QString> chosenDirectory_;
    // Popup menus are handed here instead of being shown.
    std::function<void(QMenu& menu)> onMenu_;
    int menusShown_ = 0;

private:
    std::unique_ptr<TMainForm> form_;
};

}  // namespace vistrel::test
