// SPDX-License-Identifier: GPL-3.0-or-later
// What every row's conversion does around the conversion itself, in the
// one-at-a-time and the parallel run alike.
#pragma once

#include "batch/ParallelBatch.h"

#include <string>

// Creates the folders of dest (only now, so that a run that never starts, or a
// dry run, leaves nothing behind); a folder that cannot be made fails the row
// with the system's reason.
void CreateDestinationFolder(const std::string& dest);

// The conversion of a row: its destination folder made first, and with
// overwriting off a destination that appeared since the rows were built is
// never replaced (EDestinationExists: the row is skipped).
TWorkerConversion RowConversion(TWorkerConversion convert, bool overwrite);
