// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <exception>
#include <functional>

namespace vistrel {

// The application's error handler: receives the message of an error that
// reached the top of a GUI-thread operation, and the object it came from.
// The window installs one that shows a message box; until then errors go to
// the vistrel.base log as warnings, which show on stderr by default.
// Installed and called on the GUI thread only.
using ApplicationErrorHandler = std::function<void(const QString& message, const void* source)>;

// Installs handler (an empty one restores the default) and returns the
// handler it replaces.
ApplicationErrorHandler SetApplicationErrorHandler(ApplicationErrorHandler handler);

// The text of an error: what() of a std::exception, else a fixed text.
QString ErrorMessage(const std::exception_ptr& error);

// Hands the error to the installed handler. Never throws: a handler that
// fails falls back to the log.
void HandleApplicationError(const std::exception_ptr& error, const void* source) noexcept;

}  // namespace vistrel
