#include "frontend/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "logging.h"

namespace vistrel {

namespace {

constexpr int kMaxValueLength = 2047;

QStringList ReadLines(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
    }
    if (!lines.isEmpty() && lines.back().isEmpty()) {
        lines.removeLast();  // the final line break
    }
    return lines;
}

// "[name]" gives name; anything else gives a null string.
QString SectionOf(const QString& line) {
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith(QLatin1Char('[')) && trimmed.endsWith(QLatin1Char(']'))) {
        return trimmed.mid(1, trimmed.size() - 2).trimmed();
    }
    return {};
}

// For "key = value" lines: true with the key; blank and other lines give false.
bool KeyOf(const QString& line, QString& key) {
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0) {
        return false;
    }
    key = line.left(equals).trimmed();
    return !key.isEmpty();
}

int DigitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') {
        return u - u'0';
    }
    if (base == 16 && u >= u'a' && u <= u'f') {
        return u - u'a' + 10;
    }
    if (base == 16 && u >= u'A' && u <= u'F') {
        return u - u'A' + 10;
    }
    return -1;
}

bool Same(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Where a key's line is in the file: the section's header line (or -1), the
// key's line (or -1), and the line after the section's last entry.
struct Location {
    qsizetype section = -1;
    qsizetype key = -1;
    qsizetype end = -1;
};

Location Find(const QStringList& lines, const QString& section, const QString& key) {
    Location where;
    bool inside = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString header = SectionOf(lines[i]);
        if (!header.isNull()) {
            if (inside) {
                break;  // the section ended
            }
            inside = Same(header, section);
            if (inside) {
                where.section = i;
                where.end = i + 1;
            }
            continue;
        }
        QString name;
        if (inside && KeyOf(lines[i], name)) {
            where.end = i + 1;
            if (where.key < 0 && Same(name, key)) {
                where.key = i;
            }
        }
    }
    return where;
}

}  // namespace

EIniFileException::EIniFileException(const QString& fileName)
    : EVistrelError(QStringLiteral("Unable to write to %1").arg(fileName).toStdString()) {}

TIniFile::TIniFile(QString fileName) : fileName_(std::move(fileName)) {}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const QStringList lines = ReadLines(fileName_);
    const Location where = Find(lines, section, key);
    if (where.key < 0) {
        return def;
    }
    const QString& line = lines[where.key];
    QString value = line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
    // A value wrapped in one pair of quotes is read without them.
    if (value.size() >= 2 && value.front() == QLatin1Char('"') &&
        value.back() == QLatin1Char('"')) {
        value = value.mid(1, value.size() - 2);
    }
    return value.left(kMaxValueLength);
}

bool TIniFile::ParseInteger(const QString& original, int& value) {
    QString text = original;
    if (text.size() > 2 &&
        (text.startsWith(QLatin1String("0x")) || text.startsWith(QLatin1String("0X")))) {
        text.replace(0, 2, QLatin1String("$"));
    }
    qsizetype i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    const bool hex =
        i < text.size() &&
        (text[i] == QLatin1Char('$') || text[i] == QLatin1Char('x') || text[i] == QLatin1Char('X'));
    if (hex) {
        ++i;
    }
    if (i >= text.size()) {
        return false;
    }
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i], hex ? 16 : 10);
        if (digit < 0) {
            return false;
        }
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        // Hexadecimal takes up to 32 bits and wraps into the sign; decimal
        // must fit a signed 32-bit number.
        const std::uint64_t limit =
            hex ? 0xFFFFFFFFull
                : static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) +
                      (negative ? 1 : 0);
        if (magnitude > limit) {
            return false;
        }
    }
    std::int64_t signedValue =
        hex ? static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude))
            : static_cast<std::int64_t>(magnitude);
    if (negative) {
        signedValue = -signedValue;
    }
    value = static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(signedValue)));
    return true;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int def) const {
    int value = def;
    return ParseInteger(ReadString(section, key, QString()), value) ? value : def;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    QStringList lines = ReadLines(fileName_);
    const Location where = Find(lines, section, key);
    const QString entry = key + QLatin1Char('=') + value;
    if (where.key >= 0) {
        QString existing;
        KeyOf(lines[where.key], existing);  // keep the key as the file spells it
        lines[where.key] = existing + QLatin1Char('=') + value;
    } else if (where.section >= 0) {
        lines.insert(where.end, entry);
    } else {
        lines << QLatin1Char('[') + section + QLatin1Char(']') << entry;
    }

    // A fresh account may not have its configuration directory yet.
    const QFileInfo info(fileName_);
    QDir().mkpath(info.absolutePath());
    QSaveFile file(fileName_);
    const auto fail = [&](const char* step) {
        qCInfo(lcFrontend, "%s %s: %s", step, qUtf8Printable(fileName_),
               qUtf8Printable(file.errorString()));
        throw EIniFileException(fileName_);
    };
    if (!file.open(QIODevice::WriteOnly)) {
        fail("open");
    }
    file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    if (!file.commit()) {
        fail("write");
    }
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

// ---- TSettings ---------------------------------------------------------------

namespace {
const QString kSection = QStringLiteral("Settings");
}

QString TSettings::SettingsFileName() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty()) {
        base = qEnvironmentVariable("HOME") + QStringLiteral("/.config");
    }
    return base + QStringLiteral("/Vistrel.ini");
}

QString TSettings::DefaultDirectory() {
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty()) {
        pictures = QDir::homePath();
    }
    return pictures + QStringLiteral("/Vistrel/");
}

TSettings TSettings::Load(const QString& fileName, const QString& defaultDirectory) {
    const TIniFile ini(fileName);
    TSettings s;
    s.Directory = ini.ReadString(kSection, QStringLiteral("Directory"), defaultDirectory);
    s.Logging = ini.ReadBool(kSection, QStringLiteral("Logging"), s.Logging);
    s.Cam = ini.ReadInteger(kSection, QStringLiteral("Cam"), s.Cam);
    s.JPEGQuality =
        std::clamp(ini.ReadInteger(kSection, QStringLiteral("JPEGQuality"), s.JPEGQuality),
                   kMinQuality, kMaxQuality);
    // The spinner holds a 16-bit position; its range is 0..100.
    const auto skipped = static_cast<std::int16_t>(
        ini.ReadInteger(kSection, QStringLiteral("SkippedFrames"), s.SkippedFrames));
    s.SkippedFrames = std::clamp<int>(skipped, 0, kMaxSkippedFrames);
    s.KeepFree = ini.ReadString(kSection, QStringLiteral("KeepFree"), QString());
    s.Format = ini.ReadString(kSection, QStringLiteral("Format"), QString());
    s.Size = ini.ReadString(kSection, QStringLiteral("Size"), QString());
    return s;
}

void TSettings::Save(const QString& fileName) const {
    TIniFile ini(fileName);
    ini.WriteInteger(kSection, QStringLiteral("Cam"), Cam);
    ini.WriteInteger(kSection, QStringLiteral("JPEGQuality"), JPEGQuality);
    ini.WriteInteger(kSection, QStringLiteral("SkippedFrames"), SkippedFrames);
    ini.WriteString(kSection, QStringLiteral("Directory"), Directory);
    ini.WriteBool(kSection, QStringLiteral("Logging"), Logging);
    // Only once a user has chosen: without the keys the camera's format stands.
    if (!Format.isEmpty()) {
        ini.WriteString(kSection, QStringLiteral("Format"), Format);
    }
    if (!Size.isEmpty()) {
        ini.WriteString(kSection, QStringLiteral("Size"), Size);
    }
}

QString TSettings::ShortDirectory(const QString& directory) {
    return directory.size() < 26 ? directory : directory.left(25) + QStringLiteral("...");
}

}  // namespace vistrel
