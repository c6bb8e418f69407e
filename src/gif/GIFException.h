// The one exception class of the GIF codec.
#pragma once

#include "toolkit/Exceptions.h"

TREVASCO_EXCEPTION(GIFException, Exception)
