// SPDX-License-Identifier: MIT
#include "base/file_name.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

TEST(FileName, AnyBytesComeBackUnchangedAndUtf8ReadsAsText) {
    const QByteArray names[] = {
        "plain/ascii.jpg",
        "caf\xc3\xa9/\xf0\x9f\x93\xb7",  // valid two- and four-byte sequences
        "\xff\xfe",                      // never UTF-8
        "a\xc3",                         // a sequence cut short at the end
        "\xc0\xaf\xe0\x80\xaf",          // overlong forms of '/'
        "\xed\xa0\x80",                  // an encoded surrogate
        "\xf4\x90\x80\x80",              // past U+10FFFF
        "\xe2\x82x",                     // a sequence broken by a plain byte
    };
    for (const QByteArray& bytes : names) {
        EXPECT_EQ(EncodeFileName(DecodeFileName(bytes)), bytes) << bytes.toHex().constData();
    }
    EXPECT_EQ(DecodeFileName("caf\xc3\xa9/\xf0\x9f\x93\xb7"),
              QString::fromUtf8("caf\xc3\xa9/\xf0\x9f\x93\xb7"));
    // An invalid byte never turns into a '/' or a character that is there.
    EXPECT_EQ(DecodeFileName("\xc0\xaf").count(u'/'), 0);
    EXPECT_EQ(EncodeFileName(QString::fromUtf8("\xc3\xa9")), QByteArray("\xc3\xa9"));
}

}  // namespace
}  // namespace vistrel
