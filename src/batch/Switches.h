// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line switches: one table of names, kinds and help texts. The
// window and the unattended run attach their setters to these names, --help is
// written from it, and the manual's list is checked against it, so a switch is
// added in one place.
#pragma once

#include <string>
#include <vector>

struct TSwitchInfo {
    // "/SRC": the name as written, matched without regard to case.
    const char* Name;
    // Value switches are written "/NAME=value"; flags stand alone.
    bool TakesValue;
    // The value's placeholder in the help ("<folder>"); empty for flags.
    const char* Value;
    // The help text; several lines are separated by '\n'.
    const char* Help;
};

const std::vector<TSwitchInfo>& SwitchTable();

// The switch an argument names, or nullptr; value receives what follows "=".
// "/DSTFORMAT=png" names /DSTFORMAT; "/SUBDIR" names /SUBDIR; "/SUBDIR=1" and
// "/DST" (without "=") name nothing.
const TSwitchInfo* FindSwitch(const std::string& arg, std::string& value);

// The extensions of a /SRCFORMAT= value, lower case, without dots: separated by
// ';', ',' or '.', with or without "*." ("*.jpg;*.png", ".jpg.png", "JPG,png").
std::vector<std::string> SourceExtensionsFromSwitch(const std::string& value);

// The text of --help.
std::string SwitchHelp();
