// SPDX-License-Identifier: GPL-3.0-or-later
// Registration of the WebP, HEIF/AVIF and JPEG XL readers in the format
// registry, after the formats it starts with.
#pragma once

// Adds webp, heic, heif, hif, avif and jxl; the registry must exist.
void RegisterModernFormats();
// Removes them again (before the registry is destroyed).
void UnregisterModernFormats();
