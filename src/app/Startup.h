// SPDX-License-Identifier: GPL-3.0-or-later
// Program start-up: what main runs before and when it creates the window.
#pragma once

#include <memory>
#include <string>

class TfrmMainBasic;

// Registers the image classes with the picture container, before any window exists.
void RegisterApplicationFormats();
// Creates the program's main window (the framework's creation work and the
// derived window's own). The command line is handed to it afterwards.
std::unique_ptr<TfrmMainBasic> CreateApplicationMainForm();
// The text of --help: every command-line switch.
std::string ApplicationCommandLineHelp();
