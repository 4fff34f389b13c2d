// SPDX-License-Identifier: MIT
#include "frontend/settings.h"
#include "frontend/write_queue.h"

#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "base/errors.h"
#include "base/file_name.h"
#include "base/unique_fd.h"
#include "frontend/active_time.h"
#include "frontend/control_settings.h"
#include "frontend/duration.h"
#include "logging.h"
#include "storage/latest_link.h"
#include "storage/retention.h"

namespace vistrel {

namespace {

constexpr int kMaxValueLength = 2047;

// The lines are looked at through views: a large file costs no copies.

// A line without its line break.
QByteArrayView Content(QByteArrayView line) {
    if (line.endsWith('\n')) {
        line.chop(1);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    return line;
}

// "[name]" gives true with the name.
bool SectionOf(QByteArrayView line, QByteArrayView& name) {
    const QByteArrayView trimmed = Content(line).trimmed();
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
        name = trimmed.sliced(1, trimmed.size() - 2).trimmed();
        return true;
    }
    return false;
}

// For "key = value" lines: true with the key and the raw value.
bool EntryOf(QByteArrayView line, QByteArrayView& key, QByteArrayView* value = nullptr) {
    const QByteArrayView content = Content(line);
    const qsizetype equals = content.indexOf('=');
    if (equals <= 0) {
        return false;
    }
    key = content.first(equals).trimmed();
    if (value != nullptr) {
        *value = content.sliced(equals + 1);
    }
    return !key.isEmpty();
}

// Names compare without regard to ASCII case; other bytes must be equal.
bool Same(QByteArrayView a, QByteArrayView b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

// The stored value as read: blanks around it and one pair of quotes removed.
QString ValueText(QByteArrayView raw) {
    QByteArrayView value = raw.trimmed();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.sliced(1, value.size() - 2);
    }
    // The file-name codec: a directory's bytes that are not UTF-8 come back
    // unchanged when written again and when handed to the file system.
    return DecodeFileName(value);
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

QByteArray LineBreakOf(QByteArrayView line) {
    return line.endsWith("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
}

// Only a line that starts with "[" after blanks can be a section header.
bool MayBeHeader(QByteArrayView line) {
    for (const char c : line) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') {
            return c == '[';
        }
    }
    return false;
}

}  // namespace

namespace {

QString WriteFailureText(const QString& fileName, const QString& reason) {
    QString text = QStringLiteral("Unable to write to %1").arg(fileName);
    if (!reason.isEmpty()) {
        text += QStringLiteral(". ") + reason;
        if (!text.endsWith(QLatin1Char('.'))) {
            text += QLatin1Char('.');
        }
    }
    return text;
}

}  // namespace

EIniFileException::EIniFileException(const QString& fileName, const QString& reason)
    : EVistrelError(WriteFailureText(fileName, reason).toStdString()) {}

// Where a key's line is: the section's header line (or -1), the key's line
// (or -1), and the line after the section's last entry.
struct TIniFile::Location {
    qsizetype section = -1;
    qsizetype key = -1;
    qsizetype end = -1;
};

namespace {

// A settings file is small; anything larger is not one (or is /dev/zero).
constexpr qint64 kMaxIniFileBytes = 1 << 20;

enum class IniRead { Read, Missing, Failed };

// Reads a regular file of at most kMaxIniFileBytes. Opened without blocking,
// so that a FIFO in its place cannot hang start-up; the type and the size are
// checked on the open descriptor, so that what is read is what was checked.
// why: the failing step and its cause, for the log.
IniRead ReadIniBytes(const QString& fileName, QByteArray& text, QString& why) {
    const QByteArray path = QFile::encodeName(fileName);
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return IniRead::Missing;  // a save reports why it cannot make the file
        }
        why = QStringLiteral("open: ") + QString::fromStdString(SystemErrorText(error));
        return IniRead::Failed;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        why = QStringLiteral("fstat: ") + QString::fromStdString(SystemErrorText(errno));
        return IniRead::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        why = QStringLiteral("it is not a regular file");
        return IniRead::Failed;
    }
    if (info.st_size > kMaxIniFileBytes) {
        why = QStringLiteral("it holds %1 bytes, more than %2")
                  .arg(info.st_size)
                  .arg(kMaxIniFileBytes);
        return IniRead::Failed;
    }
    // One byte more than allowed tells a file that grew since fstat.
    text.resize(kMaxIniFileBytes + 1);
    qint64 length = 0;
    while (length < text.size()) {
        const ssize_t got =
            ::read(fd.Get(), text.data() + length, static_cast<std::size_t>(text.size() - length));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why = QStringLiteral("read: ") + QString::fromStdString(SystemErrorText(errno));
            text.clear();
            return IniRead::Failed;
        }
        if (got == 0) {
            break;
        }
        length += got;
    }
    if (length > kMaxIniFileBytes) {
        why = QStringLiteral("it grew past %1 bytes while it was read").arg(kMaxIniFileBytes);
        text.clear();
        return IniRead::Failed;
    }
    text.truncate(length);
    text.squeeze();
    return IniRead::Read;
}

}  // namespace

TIniFile::TIniFile(QString fileName) : fileName_(std::move(fileName)) {
    QString why;
    switch (ReadIniBytes(fileName_, text_, why)) {
        case IniRead::Missing:
            return;
        case IniRead::Failed:
            // Reads as empty, so the defaults apply; Flush must not replace
            // what it could not read.
            qCWarning(lcFrontend, "%s is not read, the defaults are used: %s",
                      qUtf8Printable(fileName_), qUtf8Printable(why));
            unreadable_ = true;
            readFailure_ = why;
            return;
        case IniRead::Read:
            break;
    }
    SplitLines();
}

TIniFile TIniFile::FromText(QByteArray text) {
    TIniFile ini;
    ini.text_ = std::move(text);
    ini.SplitLines();
    return ini;
}

void TIniFile::SplitLines() {
    qsizetype start = 0;
    while (start < text_.size()) {
        const qsizetype newline = text_.indexOf('\n', start);
        const qsizetype end = newline < 0 ? text_.size() : newline + 1;
        lines_.push_back({start, end - start});
        start = end;
    }
}

QByteArrayView TIniFile::Bytes(qsizetype line) const {
    const Line& l = lines_[static_cast<std::size_t>(line)];
    return l.start >= 0 ? QByteArrayView(text_).sliced(l.start, l.size)
                        : QByteArrayView(written_[static_cast<std::size_t>(-l.start - 1)]);
}

void TIniFile::Replace(qsizetype line, QByteArray bytes) {
    written_.push_back(std::move(bytes));
    lines_[static_cast<std::size_t>(line)] = {-static_cast<qsizetype>(written_.size()), 0};
    modified_ = true;
}

void TIniFile::Insert(qsizetype line, QByteArray bytes) {
    written_.push_back(std::move(bytes));
    lines_.insert(lines_.begin() + line, Line{-static_cast<qsizetype>(written_.size()), 0});
    modified_ = true;
}

QByteArray TIniFile::Text() const {
    QByteArray text;
    for (qsizetype i = 0; i < static_cast<qsizetype>(lines_.size()); ++i) {
        text += Bytes(i);
    }
    return text;
}

TIniFile::Location TIniFile::Find(const QString& section, const QString& key) const {
    const QByteArray sectionName = section.toUtf8();
    const QByteArray keyName = key.toUtf8();
    Location where;
    bool inside = false;
    for (qsizetype i = 0; i < static_cast<qsizetype>(lines_.size()); ++i) {
        const QByteArrayView line = Bytes(i);
        QByteArrayView name;
        if (MayBeHeader(line) && SectionOf(line, name)) {
            if (inside) {
                break;  // the section ended
            }
            inside = Same(name, sectionName);
            if (inside) {
                where.section = i;
                where.end = i + 1;
            }
            continue;
        }
        if (inside && EntryOf(line, name)) {
            where.end = i + 1;
            if (where.key < 0 && Same(name, keyName)) {
                where.key = i;
            }
        }
    }
    return where;
}

QString TIniFile::ValueAt(qsizetype line) const {
    QByteArrayView name;
    QByteArrayView raw;
    EntryOf(Bytes(line), name, &raw);
    return ValueText(raw);
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const Location where = Find(section, key);
    return where.key < 0 ? def : ValueAt(where.key).left(kMaxValueLength);
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

int TIniFile::ReadInteger(const QString& section, const QString& key, int def, int low,
                          int high) const {
    return std::clamp(ReadInteger(section, key, def), low, high);
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

QByteArray TIniFile::LineBreak() const {
    // The file's own: that of its first line with a break.
    for (qsizetype i = 0; i < static_cast<qsizetype>(lines_.size()); ++i) {
        if (Bytes(i).endsWith('\n')) {
            return LineBreakOf(Bytes(i));
        }
    }
    return "\n";
}

void TIniFile::SetLine(const Location& where, const QByteArray& key, const QByteArray& value) {
    if (where.key >= 0) {
        const QByteArrayView old = Bytes(where.key);
        QByteArrayView spelled;
        EntryOf(old, spelled);  // keep the key as the file spells it
        QByteArray line = spelled.toByteArray() + '=' + value + LineBreakOf(old);
        if (line != old) {  // else a value that reads otherwise than written, written again
            Replace(where.key, std::move(line));
        }
        return;
    }
    // After the section's last entry, with the break of the line before.
    const qsizetype before = where.end - 1;
    if (!Bytes(before).endsWith('\n')) {
        Replace(before, Bytes(before).toByteArray() + LineBreak());  // a last line gets one
    }
    Insert(where.end, key + '=' + value + LineBreakOf(Bytes(before)));
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))) {
        qCWarning(lcFrontend, "the value of %s has a line break, which %s cannot hold",
                  qUtf8Printable(key), qUtf8Printable(fileName_));
        throw EIniFileException(fileName_,
                                QStringLiteral("The value of %1 holds a line break").arg(key));
    }
    const Location where = Find(section, key);
    if (where.key >= 0 && ValueAt(where.key) == value) {
        return;  // the key has this value already: its line stays as it is
    }
    if (where.section >= 0) {
        SetLine(where, key.toUtf8(), EncodeFileName(value));
        return;
    }
    // A new section at the end of the file.
    const QByteArray lineBreak = LineBreak();
    const auto last = static_cast<qsizetype>(lines_.size()) - 1;
    if (last >= 0 && !Bytes(last).endsWith('\n')) {
        Replace(last, Bytes(last).toByteArray() + lineBreak);
    }
    Insert(last + 1, '[' + section.toUtf8() + ']' + lineBreak);
    Insert(last + 2, key.toUtf8() + '=' + EncodeFileName(value) + lineBreak);
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    const Location where = Find(section, key);
    int stored = 0;
    if (where.key >= 0 && ParseInteger(ValueAt(where.key), stored) && stored == value) {
        return;  // "0x5A" stays as it is when 90 is written
    }
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
    const Location where = Find(section, key);
    int stored = 0;
    if (where.key >= 0 && ParseInteger(ValueAt(where.key), stored) && (stored != 0) == value) {
        return;
    }
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniFile::Flush() {
    if (!modified_ || fileName_.isEmpty()) {
        return;
    }
    if (unreadable_) {
        qCWarning(lcFrontend, "%s is not rewritten: it could not be read",
                  qUtf8Printable(fileName_));
        throw EIniFileException(
            fileName_,
            QStringLiteral("It was not read (%1), so it is kept as it is").arg(readFailure_));
    }
    // A fresh account may not have its configuration directory yet.
    const QFileInfo info(fileName_);
    QDir().mkpath(info.absolutePath());
    QSaveFile file(fileName_);
    const auto fail = [&](const char* step) {
        qCWarning(lcFrontend, "%s %s: %s", step, qUtf8Printable(fileName_),
                  qUtf8Printable(file.errorString()));
        throw EIniFileException(fileName_, file.errorString());
    };
    if (!file.open(QIODevice::WriteOnly)) {
        fail("open");
    }
    // Runs of lines as read go out in one piece.
    qsizetype i = 0;
    const auto count = static_cast<qsizetype>(lines_.size());
    while (i < count) {
        QByteArrayView run = Bytes(i);
        if (lines_[static_cast<std::size_t>(i)].start >= 0) {
            const qsizetype start = lines_[static_cast<std::size_t>(i)].start;
            qsizetype end = start + run.size();
            while (i + 1 < count && lines_[static_cast<std::size_t>(i + 1)].start == end) {
                end += lines_[static_cast<std::size_t>(++i)].size;
            }
            run = QByteArrayView(text_).sliced(start, end - start);
        }
        if (file.write(run.data(), run.size()) != run.size()) {
            fail("write");
        }
        ++i;
    }
    if (!file.commit()) {
        fail("write");
    }
    modified_ = false;
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

std::optional<TWriteFault> TSettings::DirectoryFault(const QString& directory) {
    // The default directory, or a folder under it (--subdir).
    if (!directory.startsWith(DefaultDirectory())) {
        return std::nullopt;
    }
    const QByteArray home = qgetenv("HOME");
    QString reason;
    int errorNumber = ENOENT;
    struct stat info {};
    if (home.isEmpty()) {
        reason = QStringLiteral("There is no home directory: HOME is not set");
    } else if (::stat(home.constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        errorNumber = ENOTDIR;
        reason = QStringLiteral("The home directory \"%1\" is not a directory")
                     .arg(DecodeFileName(home));
    } else {
        return std::nullopt;
    }
    return TWriteFault{QStringLiteral("Cannot create directory \"%1\". %2").arg(directory, reason),
                       errorNumber, true};
}

TSettings TSettings::Load(const QString& fileName, const QString& defaultDirectory) {
    const TIniFile ini(fileName);
    TSettings s;
    s.Directory = ini.ReadString(kSection, QStringLiteral("Directory"), defaultDirectory);
    s.Logging = ini.ReadBool(kSection, QStringLiteral("Logging"), s.Logging);
    s.Cam = ini.ReadInteger(kSection, QStringLiteral("Cam"), s.Cam, -1, kMaxCam);
    s.JPEGQuality = ini.ReadInteger(kSection, QStringLiteral("JPEGQuality"), s.JPEGQuality,
                                    kMinQuality, kMaxQuality);
    // The spinner holds a 16-bit position; its range is 0..100.
    const auto skipped = static_cast<std::int16_t>(
        ini.ReadInteger(kSection, QStringLiteral("SkippedFrames"), s.SkippedFrames));
    s.SkippedFrames = std::clamp<int>(skipped, 0, kMaxSkippedFrames);
    s.KeepFree = ini.ReadString(kSection, QStringLiteral("KeepFree"), QString());
    s.Format = ini.ReadString(kSection, QStringLiteral("Format"), QString());
    s.Size = ini.ReadString(kSection, QStringLiteral("Size"), QString());
    s.Interval = ini.ReadString(kSection, QStringLiteral("Interval"), QString());
    s.WarmUp = ini.ReadString(kSection, QStringLiteral("WarmUp"), QString());
    s.Hours = ini.ReadString(kSection, QStringLiteral("Hours"), QString());
    s.Daylight = ini.ReadString(kSection, QStringLiteral("Daylight"), QString());
    // A value never holds a line break: the default tells a missing key
    // from an empty one.
    const QString missing = QStringLiteral("\n");
    if (QString controls = ini.ReadString(kSection, QStringLiteral("Controls"), missing);
        controls != missing) {
        s.Controls = std::move(controls);
    }
    s.Timestamp = ini.ReadString(kSection, QStringLiteral("Timestamp"), QString());
    s.Title = ini.ReadString(kSection, QStringLiteral("Title"), QString());
    s.Passthrough = ini.ReadString(kSection, QStringLiteral("Passthrough"), QString());
    s.Latest = ini.ReadString(kSection, QStringLiteral("Latest"), QString());
    s.DailyFolders = ini.ReadString(kSection, QStringLiteral("DailyFolders"), QString());
    s.KeepDays = ini.ReadString(kSection, QStringLiteral("KeepDays"), QString());
    s.Threads = ini.ReadInteger(kSection, QStringLiteral("Threads"), 0, 0, kMaxThreads);
    return s;
}

namespace {

// Why the integer at key is not one from low to high; empty when it is or the key is missing.
QString IntegerProblem(const TIniFile& ini, const QString& key, int low, int high) {
    const QString text = ini.ReadString(kSection, key, QString());
    int value = 0;
    if (text.isEmpty() || (TIniFile::ParseInteger(text, value) && value >= low && value <= high)) {
        return {};
    }
    return QStringLiteral("%1=%2 is not a number from %3 to %4").arg(key, text).arg(low).arg(high);
}

QString DurationProblem(const TIniFile& ini, const QString& key) {
    const QString text = ini.ReadString(kSection, key, QString());
    if (text.isEmpty()) {
        return {};
    }
    const TParsed<std::chrono::milliseconds> parsed = ParseDuration(text, ZeroDuration::MeansOff);
    return parsed ? QString() : QStringLiteral("%1=%2: %3").arg(key, text, parsed.error);
}

// Why key's value is not one T::Parse reads; empty when it is or the key is missing.
template <typename T>
QString ParsedProblem(const TIniFile& ini, const QString& key) {
    const QString text = ini.ReadString(kSection, key, QString());
    if (text.isEmpty()) {
        return {};
    }
    const TParsed<T> parsed = T::Parse(text);
    return parsed ? QString() : QStringLiteral("%1=%2: %3").arg(key, text, parsed.error);
}

QString LatestProblem(const TIniFile& ini) {
    const QString name = ini.ReadString(kSection, QStringLiteral("Latest"), QString());
    const std::optional<QString> problem =
        name.isEmpty() ? std::nullopt : TLatestLink::NameProblem(name);
    return problem ? QStringLiteral("Latest=%1: %2").arg(name, *problem) : QString();
}

QString ControlsProblem(const TIniFile& ini) {
    const QString text = ini.ReadString(kSection, QStringLiteral("Controls"), QString());
    const TParsed<std::vector<TControlSetting>> parsed = ParseControlList(text);
    return parsed ? QString() : QStringLiteral("Controls=%1: %2").arg(text, parsed.error);
}

}  // namespace

QString TSettings::Problem(const QString& fileName) {
    if (!QFileInfo::exists(fileName)) {
        return QStringLiteral("%1 is not there").arg(fileName);
    }
    const TIniFile ini(fileName);
    if (!ini.ReadFailure().isEmpty()) {
        return QStringLiteral("%1 cannot be read: %2").arg(fileName, ini.ReadFailure());
    }
    const QString keepFree = ini.ReadString(kSection, QStringLiteral("KeepFree"), QString());
    const QStringList problems = {
        IntegerProblem(ini, QStringLiteral("Cam"), -1, kMaxCam),
        IntegerProblem(ini, QStringLiteral("JPEGQuality"), kMinQuality, kMaxQuality),
        IntegerProblem(ini, QStringLiteral("SkippedFrames"), 0, kMaxSkippedFrames),
        keepFree.isEmpty() || TKeepFree::Parse(keepFree)
            ? QString()
            : QStringLiteral("KeepFree=%1 is not a size such as 500M, 2G or 5%").arg(keepFree),
        DurationProblem(ini, QStringLiteral("Interval")),
        DurationProblem(ini, QStringLiteral("WarmUp")),
        ParsedProblem<TActiveHours>(ini, QStringLiteral("Hours")),
        ParsedProblem<TDaylight>(ini, QStringLiteral("Daylight")),
        ControlsProblem(ini),
        IntegerProblem(ini, QStringLiteral("KeepDays"), 0, kMaxKeepDays),
        IntegerProblem(ini, QStringLiteral("DailyFolders"), 0, 1),
        LatestProblem(ini),
        IntegerProblem(ini, QStringLiteral("Threads"), 0, kMaxThreads),
    };
    for (const QString& problem : problems) {
        if (!problem.isEmpty()) {
            return problem;
        }
    }
    return {};
}

void TSettings::Save(const QString& fileName) const {
    TIniFile ini(fileName);
    // Each write changes the text held; Flush writes the file once.
    ini.WriteInteger(kSection, QStringLiteral("Cam"), Cam);
    ini.WriteInteger(kSection, QStringLiteral("JPEGQuality"), JPEGQuality);
    ini.WriteInteger(kSection, QStringLiteral("SkippedFrames"), SkippedFrames);
    ini.WriteString(kSection, QStringLiteral("Directory"), Directory);
    ini.WriteBool(kSection, QStringLiteral("Logging"), Logging);
    // Only once a user has set them: without the keys the camera's format
    // stands and every taken frame is written, at any time of day.
    const auto writeSet = [&ini](const char* key, const QString& value) {
        if (!value.isEmpty()) {
            ini.WriteString(kSection, QString::fromLatin1(key), value);
        }
    };
    for (const auto& [key, value] : {std::pair{"Format", &Format},
                                     {"Size", &Size},
                                     {"Interval", &Interval},
                                     {"WarmUp", &WarmUp},
                                     {"Hours", &Hours},
                                     {"Daylight", &Daylight}}) {
        writeSet(key, *value);
    }
    if (Controls) {
        ini.WriteString(kSection, QStringLiteral("Controls"), *Controls);
    }
    // Only once set: without the keys no picture is stamped or passed
    // through, and no link, day folder or age limit applies.
    for (const auto& [key, value] : {std::pair{"Timestamp", &Timestamp},
                                     {"Title", &Title},
                                     {"Passthrough", &Passthrough},
                                     {"Latest", &Latest},
                                     {"DailyFolders", &DailyFolders},
                                     {"KeepDays", &KeepDays}}) {
        writeSet(key, *value);
    }
    if (Threads > 0) {
        ini.WriteInteger(kSection, QStringLiteral("Threads"), Threads);
    }
    ini.Flush();
}

bool DailyFoldersSetting(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed == u"0") {
        return false;
    }
    if (trimmed != u"1") {
        qCWarning(lcFrontend,
                  "DailyFolders=%s is not 0 or 1; the files go into the directory "
                  "itself",
                  qUtf8Printable(text));
        return false;
    }
    return true;
}

int TSettings::WriteThreads() const {
    return Threads > 0 ? Threads : TWriteQueue::DefaultWorkers();
}

QString TSettings::ShortDirectory(const QString& directory) {
    return directory.size() < 26 ? directory : directory.left(25) + QStringLiteral("...");
}

}  // namespace vistrel
