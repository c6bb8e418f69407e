// SPDX-License-Identifier: GPL-3.0-or-later
// The processed-files log: plain text, appended to, never truncated.
#pragma once

#include <string>

// Appends text and CR LF to the file in one write() on a descriptor opened with
// O_APPEND, so lines of two programs logging at once never interleave. Does nothing
// when either argument is empty. Raises EFOpenError / EFCreateError.
void AppendLine(const std::string& fileName, const std::string& text);
