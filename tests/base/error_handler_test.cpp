// SPDX-License-Identifier: MIT
#include "base/error_handler.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace vistrel {
namespace {

TEST(ApplicationErrorHandler, ReportsMessagesAndSurvivesAFailingHandler) {
    std::vector<QString> seen;
    const ApplicationErrorHandler previous = SetApplicationErrorHandler(
        [&](const QString& message, const void*) { seen.push_back(message); });
    HandleApplicationError(std::make_exception_ptr(std::runtime_error("one")), nullptr);
    HandleApplicationError(std::make_exception_ptr(42), nullptr);
    SetApplicationErrorHandler([](const QString&, const void*) { throw std::logic_error("x"); });
    HandleApplicationError(std::make_exception_ptr(std::runtime_error("to stderr")), nullptr);
    SetApplicationErrorHandler(previous);
    EXPECT_EQ(seen, (std::vector<QString>{QStringLiteral("one"), QStringLiteral("Unknown error")}));
}

}  // namespace
}  // namespace vistrel
