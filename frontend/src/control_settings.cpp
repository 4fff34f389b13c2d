// SPDX-License-Identifier: MIT
#include "frontend/control_settings.h"

#include <QStringList>

#include "logging.h"

namespace vistrel {

namespace {

bool IsKeyCharacter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_';
}

}  // namespace

TParsed<TControlSetting> ParseControlSetting(const QString& text) {
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return {{}, QStringLiteral("\"%1\" is not NAME=VALUE").arg(text)};
    }
    const QString name = text.left(equals).trimmed().toLower();
    const QString value = text.mid(equals + 1).trimmed();
    if (name.isEmpty()) {
        return {{}, QStringLiteral("\"%1\" has no control name before '='").arg(text)};
    }
    for (const QChar c : name) {
        if (!IsKeyCharacter(c)) {
            return {{},
                    QStringLiteral("\"%1\": a control name has only letters, digits and '_' "
                                   "(see 'vistrel-cli controls')")
                        .arg(text)};
        }
    }
    if (value.contains(u',')) {
        return {{}, QStringLiteral("\"%1\": a control value cannot hold ','").arg(text)};
    }
    return {TControlSetting{name.toStdString(), value.toStdString()}, {}};
}

TParsed<std::vector<TControlSetting>> ParseControlList(const QString& text) {
    std::vector<TControlSetting> settings;
    for (const QString& item : text.split(u',')) {
        if (item.trimmed().isEmpty()) {
            continue;
        }
        TParsed<TControlSetting> setting = ParseControlSetting(item);
        if (!setting) {
            return {{}, setting.error};
        }
        settings.push_back(std::move(*setting.value));
    }
    return {std::move(settings), {}};
}

QString ControlListText(const std::vector<TControlSetting>& settings) {
    QStringList items;
    for (const TControlSetting& s : settings) {
        items << QString::fromStdString(s.name) + u'=' + QString::fromStdString(s.value);
    }
    return items.join(u',');
}

std::vector<TControlSetting> ControlListSetting(const QString& text) {
    TParsed<std::vector<TControlSetting>> parsed = ParseControlList(text);
    if (!parsed) {
        qCWarning(lcFrontend, "setting Controls=%s ignored: %s", qUtf8Printable(text),
                  qUtf8Printable(parsed.error));
        return {};
    }
    return std::move(*parsed.value);
}

}  // namespace vistrel
