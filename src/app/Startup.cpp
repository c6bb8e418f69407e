// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"

#include "convert/FormatStartup.h"
#include "window/frmMain.h"

void RegisterApplicationFormats() {
    RegisterImageFormats();
}

std::unique_ptr<TfrmMainBasic> CreateApplicationMainForm() {
    return std::make_unique<TfrmMain>();
}

std::string ApplicationCommandLineHelp() {
    return TfrmMain::CommandLineHelp();
}
