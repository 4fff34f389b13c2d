// SPDX-License-Identifier: MIT
#include <QGuiApplication>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

#include "base/file_name.h"
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
    // Taken from argv (which Qt has cleared of its own options) with the
    // file-name codec: QCoreApplication::arguments() would replace bytes
    // that are not UTF-8, and a --dir of such a name would go elsewhere.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << vistrel::DecodeFileName(argv[i]);
    }
    return vistrel::cli::RunCli(arguments, out, err);
}
