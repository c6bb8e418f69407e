// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/ProcessedLog.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void AppendLine(const std::string& fileName, const std::string& text) {
    if (fileName.empty() || text.empty()) return;
    int fd = open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            throw EFCreateError(Format("Cannot create file %s. %s", fileName.c_str(),
                                       SysErrorMessage(errno).c_str()));
    } else if (fd < 0) {
        throw EFOpenError(
            Format("Cannot open file %s. %s", fileName.c_str(), SysErrorMessage(errno).c_str()));
    }
    std::string line = text + "\r\n";
    ssize_t written;
    do {
        written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    int err = errno;
    close(fd);
    if (written != static_cast<ssize_t>(line.size()))
        throw EWriteError(Format("Cannot write to file %s. %s", fileName.c_str(),
                                 SysErrorMessage(written < 0 ? err : ENOSPC).c_str()));
}
