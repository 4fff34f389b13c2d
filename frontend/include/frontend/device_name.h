// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace vistrel {

// The name by which the capture layer opens the n-th camera of its list
// (1-based): "#n".
QString NumberedDeviceName(int position);

}  // namespace vistrel
