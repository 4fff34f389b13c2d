// SPDX-License-Identifier: MIT
// The settings-file parser with a write round trip.
//
// Input: a value length byte, that many bytes of a value, then the INI text.
// The five settings are read; then Cam, Logging and Directory (the value)
// are written. Properties: a written value reads back as written (blanks
// around it and one pair of quotes aside), writing the same values again
// changes nothing, a value with a line break is refused, and every line of
// the text that is not one of the written keys keeps its bytes, in order.
#include <QByteArray>
#include <QList>
#include <QString>

#include <algorithm>
#include <array>

#include "frontend/settings.h"
#include "fuzz_support.h"

using namespace vistrel;

namespace {

const QString kSection = QStringLiteral("Settings");

QList<QByteArray> Lines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) {
        lines.removeLast();
    }
    for (QByteArray& line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    return lines;
}

// What ReadString gives back for a written value.
QString AsRead(const QString& value) {
    QByteArray bytes = value.toUtf8().trimmed();
    if (bytes.size() >= 2 && bytes.front() == '"' && bytes.back() == '"') {
        bytes = bytes.mid(1, bytes.size() - 2);
    }
    return QString::fromUtf8(bytes).left(2047);
}

// The new lines are the old ones with at most kReplaced of them replaced (the
// written keys' own lines) and at most kInserted lines added (new keys and a
// new section header), in order.
constexpr int kReplaced = 3;
constexpr int kInserted = 4;

void CheckKept(const QByteArray& before, const QByteArray& after) {
    const QList<QByteArray> old = Lines(before);
    const QList<QByteArray> now = Lines(after);
    // reach[k][r]: old[0, i) maps onto now[0, i + k) with k insertions and r
    // replacements.
    using Reach = std::array<std::array<bool, kReplaced + 1>, kInserted + 1>;
    Reach reach{};
    reach[0][0] = true;
    for (qsizetype i = 0;; ++i) {
        // Insertions stay on old line i.
        for (int k = 0; k < kInserted; ++k) {
            for (int r = 0; r <= kReplaced; ++r) {
                reach[k + 1][r] = reach[k + 1][r] || (reach[k][r] && i + k < now.size());
            }
        }
        if (i == old.size()) {
            break;
        }
        Reach next{};
        for (int k = 0; k <= kInserted; ++k) {
            for (int r = 0; r <= kReplaced; ++r) {
                if (!reach[k][r] || i + k >= now.size()) {
                    continue;
                }
                next[k][r] = next[k][r] || old[i] == now[i + k];
                if (r < kReplaced) {
                    next[k][r + 1] = true;
                }
            }
        }
        reach = next;
    }
    for (int k = 0; k <= kInserted; ++k) {
        for (int r = 0; r <= kReplaced; ++r) {
            if (reach[k][r] && old.size() + k == now.size()) {
                return;
            }
        }
    }
    fuzz::Fail("lines that were not written changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput input(data, size);
    const std::uint8_t wanted = input.Byte();  // before RestSize, which it changes
    const std::size_t valueLength = std::min<std::size_t>(wanted, input.RestSize());
    const QString value = QString::fromUtf8(reinterpret_cast<const char*>(input.Rest()),
                                            static_cast<qsizetype>(valueLength));
    const QByteArray text(reinterpret_cast<const char*>(input.Rest() + valueLength),
                          static_cast<qsizetype>(input.RestSize() - valueLength));

    TIniFile ini = TIniFile::FromText(text);
    const int cam = ini.ReadInteger(kSection, QStringLiteral("Cam"), 0, -1, TSettings::kMaxCam);
    if (cam < -1 || cam > TSettings::kMaxCam) {
        fuzz::Fail("Cam out of range");
    }
    [[maybe_unused]] const int next = cam + 1;
    ini.ReadInteger(kSection, QStringLiteral("JPEGQuality"), 70, kMinQuality, kMaxQuality);
    ini.ReadInteger(kSection, QStringLiteral("SkippedFrames"), 3);
    const bool logging = ini.ReadBool(kSection, QStringLiteral("Logging"), true);
    ini.ReadString(kSection, QStringLiteral("Directory"), QString());
    if (ini.Text() != text) {
        fuzz::Fail("reading changed the text");
    }

    ini.WriteInteger(kSection, QStringLiteral("Cam"), next);
    ini.WriteBool(kSection, QStringLiteral("Logging"), !logging);
    bool refused = false;
    try {
        ini.WriteString(kSection, QStringLiteral("Directory"), value);
    } catch (const EIniFileException&) {
        refused = true;
    }
    if (refused != (value.contains(u'\n') || value.contains(u'\r'))) {
        fuzz::Fail("a value was refused for no line break, or taken with one");
    }

    const QByteArray written = ini.Text();
    TIniFile back = TIniFile::FromText(written);
    if (back.ReadInteger(kSection, QStringLiteral("Cam"), -7) != next ||
        back.ReadBool(kSection, QStringLiteral("Logging"), logging) == logging ||
        (!refused &&
         back.ReadString(kSection, QStringLiteral("Directory"), QString()) != AsRead(value))) {
        fuzz::Fail("a written value did not read back");
    }
    back.WriteInteger(kSection, QStringLiteral("Cam"), next);
    back.WriteBool(kSection, QStringLiteral("Logging"), !logging);
    if (!refused) {
        back.WriteString(kSection, QStringLiteral("Directory"), value);
    }
    if (back.Modified() || back.Text() != written) {
        fuzz::Fail("writing the stored values again changed the text");
    }
    CheckKept(text, written);
    return 0;
}
