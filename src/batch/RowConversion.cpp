// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/RowConversion.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "base/Streams.h"
#include "util/FileUtils.h"

#include <cerrno>

void CreateDestinationFolder(const std::string& dest) {
    const size_t end = dest.find_last_of('/');
    if (end == std::string::npos || end == 0) return;
    const std::string folder = dest.substr(0, end + 1);
    errno = 0;
    if (!CreateFolderPath(folder))
        throw EFCreateError(Format("Cannot create the folder %s. %s", folder.c_str(),
                                   SysErrorMessage(errno ? errno : EIO).c_str()));
}

TWorkerConversion RowConversion(TWorkerConversion convert, bool overwrite) {
    return [convert = std::move(convert), overwrite](const std::string& source,
                                                     const std::string& dest) {
        CreateDestinationFolder(dest);
        TNoReplaceScope noReplace(!overwrite);
        convert(source, dest);
    };
}
