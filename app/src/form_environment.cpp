// SPDX-License-Identifier: MIT
#include "app/form_environment.h"

#include <QDir>
#include <QMenu>
#include <QThread>

#include "app/directory_chooser.h"
#include "app/instance_lock.h"
#include "app/system_version.h"
#include "frontend/settings.h"

namespace vistrel {

namespace {

void SystemMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                   const QString& text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool SystemQuestion(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, QString(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace

TFormEnvironment TFormEnvironment::WithSystemDefaults() const {
    TFormEnvironment env = *this;
    if (!env.settingsFileName) {
        env.settingsFileName = [] { return TSettings::SettingsFileName(); };
    }
    if (!env.defaultDirectory) {
        env.defaultDirectory = [] { return TSettings::DefaultDirectory(); };
    }
    if (env.instanceLockPath.isEmpty()) {
        env.instanceLockPath = TInstanceLock::DefaultPath();
    }
    if (!env.kernelRelease) {
        env.kernelRelease = KernelRelease;
    }
    if (!env.showMessage) {
        env.showMessage = SystemMessage;
    }
    if (!env.showMenu) {
        env.showMenu = [](QMenu& menu, const QPoint& at) { menu.exec(at); };
    }
    if (!env.askYesNo) {
        env.askYesNo = SystemQuestion;
    }
    if (!env.chooseDirectory) {
        auto ask = env.askYesNo;
        auto show = env.showMessage;
        env.chooseDirectory = [ask, show](QWidget* parent,
                                          const QString& start) -> std::optional<QString> {
            TDirectoryChooser chooser(
                start, ask,
                [show](QWidget* owner, const QString& text) {
                    show(owner, QMessageBox::Warning, QString(), text);
                },
                parent);
            if (chooser.exec() != QDialog::Accepted) {
                return std::nullopt;
            }
            return chooser.Path();
        };
    }
    if (!env.sleep) {
        env.sleep = [](int milliseconds) {
            QThread::msleep(static_cast<unsigned long>(milliseconds));
        };
    }
    return env;
}

}  // namespace vistrel
