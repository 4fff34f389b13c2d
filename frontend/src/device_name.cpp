// SPDX-License-Identifier: MIT
#include "frontend/device_name.h"

namespace vistrel {

QString NumberedDeviceName(int position) {
    return QStringLiteral("#%1").arg(position);
}

}  // namespace vistrel
