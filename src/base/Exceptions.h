// SPDX-License-Identifier: GPL-3.0-or-later
// The error model of the whole program: every failure is an exception that
// carries the program's own message text. Codec-specific classes (EJPEG,
// EPNGImageException, GIFException, ...) derive from Exception in their folders.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

private:
    std::string FMessage;
};

#define TREVASCO_EXCEPTION(Name, Base)                                                             \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    };

// Graphics errors.
TREVASCO_EXCEPTION(EInvalidGraphic, Exception)
TREVASCO_EXCEPTION(EInvalidGraphicOperation, Exception)
TREVASCO_EXCEPTION(EOutOfResources, Exception)
// A declared raster beyond the pixel limit; an EInvalidGraphic so readers' callers treat it alike.
TREVASCO_EXCEPTION(EImageTooLarge, EInvalidGraphic)
// A file whose data ends before its picture does ("The file is cut short: ...").
TREVASCO_EXCEPTION(ECutShort, EInvalidGraphic)
// Stream and file errors.
TREVASCO_EXCEPTION(EStreamError, Exception)
TREVASCO_EXCEPTION(EReadError, EStreamError)
TREVASCO_EXCEPTION(EWriteError, EStreamError)
TREVASCO_EXCEPTION(EFOpenError, EStreamError)
TREVASCO_EXCEPTION(EFCreateError, EStreamError)
// A destination that appeared while overwriting was off: the file is skipped, not failed.
TREVASCO_EXCEPTION(EDestinationExists, EFCreateError)
TREVASCO_EXCEPTION(EInOutError, Exception)
TREVASCO_EXCEPTION(EOSError, Exception)
// Programming errors caught at run time (progress misuse and the like).
TREVASCO_EXCEPTION(EAssertionFailed, Exception)

// Text of errno for messages ("No such file or directory").
std::string SysErrorMessage(int err);
