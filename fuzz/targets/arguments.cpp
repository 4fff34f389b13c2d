// SPDX-License-Identifier: MIT
// The command-line argument parsers of vistrel-cli.
//
// Input: arguments separated by NUL bytes (read as UTF-8); the first byte
// picks the command. Properties: a command line is either taken, with every
// number in its documented range, or refused with a UsageError; nothing else
// escapes.
#include <QString>
#include <QStringList>

#include "convert_command.h"
#include "frontend/settings.h"
#include "fuzz_support.h"
#include "log_command.h"

using namespace vistrel;
using namespace vistrel::cli;

namespace {

QStringList Arguments(const std::uint8_t* data, std::size_t size) {
    QStringList arguments;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            arguments.append(QString::fromUtf8(reinterpret_cast<const char*>(data + start),
                                               static_cast<qsizetype>(i - start)));
            start = i + 1;
        }
    }
    return arguments;
}

void Convert(const QStringList& arguments) {
    const ConvertOptions options = ParseConvertArguments(arguments);
    if (options.width < 1 || options.width > kMaxSide || options.height < 1 ||
        options.height > kMaxSide || options.quality < kMinQuality ||
        options.quality > kMaxQuality || options.input.isNull() || options.output.isNull()) {
        fuzz::Fail("convert took a value out of range");
    }
}

void Log(const QStringList& arguments) {
    const LogOptions options = ParseLogArguments(arguments);
    if (options.skip && (*options.skip < 0 || *options.skip > TSettings::kMaxSkippedFrames)) {
        fuzz::Fail("log took a skip out of range");
    }
    if (options.quality && (*options.quality < kMinQuality || *options.quality > kMaxQuality)) {
        fuzz::Fail("log took a quality out of range");
    }
    if (options.frames < 0 || options.seconds < 0 || options.seconds > 2'000'000) {
        fuzz::Fail("log took a limit out of range");
    }
    // What the run computes from them must not overflow.
    [[maybe_unused]] const int divisor = options.skip.value_or(0) + 1;
    [[maybe_unused]] const int milliseconds = options.seconds * 1000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const QStringList arguments = Arguments(data + 1, size - 1);
    try {
        switch (data[0] % 4) {
            case 0:
                Convert(arguments);
                break;
            case 1:
                Log(arguments);
                break;
            case 2:
                ParseFourCC(arguments.front());
                break;
            default:
                ParseNumber(arguments.front(), QStringLiteral("n"), -1000, 1000);
                break;
        }
    } catch (const UsageError&) {
    }
    return 0;
}
