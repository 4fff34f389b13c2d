// SPDX-License-Identifier: MIT
#include "stamp_arguments.h"

#include "arguments.h"
#include "imaging/picture_stamp.h"

namespace vistrel::cli {

bool ParseStampArgument(const QStringList& arguments, qsizetype& i, StampArguments& stamp) {
    const QString& argument = arguments[i];
    if (argument == u"--timestamp") {
        stamp.format = std::string(TStampOptions::kDefaultFormat);
        return true;
    }
    if (argument.startsWith(u"--timestamp=")) {
        const std::string format = argument.mid(12).toStdString();
        if (const std::string problem = StampFormatProblem(format); !problem.empty()) {
            Usage(QStringLiteral("--timestamp=FORMAT: \"%1\" %2")
                      .arg(argument.mid(12), QString::fromStdString(problem)));
        }
        stamp.format = format;
        return true;
    }
    if (const auto title = TakeValue(arguments, i, QStringLiteral("--title"))) {
        const std::string text = title->toStdString();
        if (const std::string problem = StampTitleProblem(text); !problem.empty()) {
            Usage(
                QStringLiteral("--title: \"%1\" %2").arg(*title, QString::fromStdString(problem)));
        }
        stamp.title = text;
        return true;
    }
    return false;
}

}  // namespace vistrel::cli
