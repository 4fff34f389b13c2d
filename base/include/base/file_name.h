// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace vistrel {

// The file-name codec: a file name is bytes, and these carry any bytes
// through a QString and back unchanged. Valid UTF-8 decodes as usual (the
// result is what QFile::decodeName gives); each byte that is not part of a
// valid sequence becomes the lone surrogate U+DC00 + byte, which encodes back
// to that byte. QFile::encodeName/decodeName would replace such bytes by
// U+FFFD, and the file would go somewhere else.
QString DecodeFileName(QByteArrayView bytes);
QByteArray EncodeFileName(QStringView name);

}  // namespace vistrel
