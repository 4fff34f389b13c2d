// SPDX-License-Identifier: MIT
#pragma once

namespace vistrel {

// Sets a re-entry flag for the time of a scope and clears it however the
// scope is left, by return or by exception.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

}  // namespace vistrel
