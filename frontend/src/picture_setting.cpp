// SPDX-License-Identifier: MIT
#include "frontend/picture_setting.h"

#include "logging.h"

namespace vistrel {

namespace {

TStampOptions StampSetting(const QString& timestamp, const QString& title) {
    TStampOptions stamp;
    const QString format = timestamp.trimmed();
    if (!format.isEmpty() && format != u"0") {
        stamp.time = true;
        const std::string problem = StampFormatProblem(format.toStdString());
        if (format == u"1") {
            // the default format
        } else if (!problem.empty()) {
            qCWarning(lcFrontend, "setting Timestamp=%s %s; the default format %s is used",
                      qUtf8Printable(timestamp), problem.c_str(),
                      std::string(TStampOptions::kDefaultFormat).c_str());
        } else {
            stamp.format = format.toStdString();
        }
    }
    stamp.title = title.toStdString();
    if (const std::string problem = StampTitleProblem(stamp.title); !problem.empty()) {
        const bool tooLong = stamp.title.size() > TStampOptions::kMaxLength;
        qCWarning(lcFrontend, "setting Title=%s %s; %s", qUtf8Printable(title), problem.c_str(),
                  tooLong ? "it is cut there" : "such characters show as '?'");
        if (tooLong) {
            stamp.title = title.left(TStampOptions::kMaxLength).toStdString();
        }
    }
    return stamp;
}

bool PassthroughSetting(const QString& text) {
    if (text.trimmed().isEmpty()) {
        return false;
    }
    int value = 0;
    if (!TIniFile::ParseInteger(text, value) || (value != 0 && value != 1)) {
        qCWarning(lcFrontend, "setting Passthrough=%s ignored: it takes 1 (on) or 0 (off)",
                  qUtf8Printable(text));
        return false;
    }
    return value == 1;
}

}  // namespace

TPictureSetting PictureSetting(const TSettings& settings) {
    TPictureSetting picture{StampSetting(settings.Timestamp, settings.Title),
                            PassthroughSetting(settings.Passthrough)};
    if (picture.passthrough && picture.stamp.Enabled()) {
        qCWarning(lcFrontend,
                  "setting Passthrough=1 is not applied: Timestamp or Title needs each picture "
                  "encoded");
        picture.passthrough = false;
    }
    return picture;
}

}  // namespace vistrel
