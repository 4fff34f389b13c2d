// SPDX-License-Identifier: MIT
#include <QApplication>
#include <QTimer>

#include "app/main_form.h"
#include "base/qt_messages.h"
#include "logging.h"

int main(int argc, char** argv) {
    vistrel::RouteQtEnvironmentNotices();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vistrel"));
    QApplication::setApplicationVersion(vistrel::ReadFileVersion());
    QGuiApplication::setDesktopFileName(QStringLiteral("vistrel"));

    // Hidden hook for the documentation's picture: "--screenshot FILE" saves
    // the window as a PNG file and ends, without saving the settings.
    QString screenshot;
    const QStringList arguments = QApplication::arguments();
    const qsizetype at = arguments.indexOf(QStringLiteral("--screenshot"));
    if (at >= 0 && at + 1 < arguments.size()) {
        screenshot = arguments[at + 1];
    }

    vistrel::TMainForm form;
    if (form.EndedEarly()) {
        return 0;  // another instance runs
    }
    form.show();
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(0, &form, [&form, screenshot] {
            const bool saved = form.grab().save(screenshot, "PNG");
            if (!saved) {
                qCWarning(vistrel::lcApp, "cannot write %s", qUtf8Printable(screenshot));
            }
            QCoreApplication::exit(saved ? 0 : 1);
        });
    }
    return QApplication::exec();
}
