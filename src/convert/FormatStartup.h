// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up and shut-down registration of every image class with the picture container.
#pragma once

// In this order: the toolkit's own classes and JPEG (bmp, ico, wmf, emf, jpg,
// jpeg), then the format registry (which withdraws those and registers the 21
// readable extensions), then the PNG and the GIF codec, whose registrations
// win for .png and .gif; the TIFF reader's libtiff handlers are installed too.
// A second call does nothing.
void RegisterImageFormats();
// At program end: the registry's removals, then the codecs' and toolkit's classes.
// Runs by itself when the program exits; calling it earlier is harmless.
void UnregisterImageFormats();
