#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>

#include "base/qt_messages.h"
#include "cli.h"

int main(int argc, char** argv) {
    vistrel::RouteQtEnvironmentNotices();
    // The converter draws text and needs no screen: without a platform of
    // the user's choice it runs on the offscreen one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return vistrel::cli::RunCli(QCoreApplication::arguments(), out, err);
}
