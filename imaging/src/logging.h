// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

namespace vistrel {

// The codec's log: failed file calls with their errno, libjpeg's own words.
Q_DECLARE_LOGGING_CATEGORY(lcImaging)

}  // namespace vistrel
