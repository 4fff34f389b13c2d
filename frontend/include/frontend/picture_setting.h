// SPDX-License-Identifier: MIT
#pragma once

#include "frontend/settings.h"
#include "imaging/picture_stamp.h"

namespace vistrel {

// What each written picture gets: a stamp burnt in, or the camera's JPEG
// written as it came (never both).
struct TPictureSetting {
    TStampOptions stamp;
    bool passthrough = false;
};

// The settings keys Timestamp, Title and Passthrough as a picture setting.
// Timestamp: unset, empty or 0 is off, 1 the default format, anything else
// the strftime format (%f the milliseconds); a format that is not one is
// logged and the default format is used. Title: the caption; characters
// other than printable ASCII are logged (they show as '?'), and a title
// longer than TStampOptions::kMaxLength is logged and cut there.
// Passthrough: 1 on, 0 or unset off, anything else logged and off. With a
// stamp, Passthrough is logged and not applied: the stamp needs the picture
// encoded.
TPictureSetting PictureSetting(const TSettings& settings);

}  // namespace vistrel
