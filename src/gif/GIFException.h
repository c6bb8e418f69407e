// SPDX-License-Identifier: GPL-3.0-or-later
// The one exception class of the GIF codec.
#pragma once

#include "base/Exceptions.h"

TREVASCO_EXCEPTION(GIFException, Exception)
