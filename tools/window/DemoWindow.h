// SPDX-License-Identifier: GPL-3.0-or-later
// What the window tools share: a private settings folder, an answer for every
// message box, and a framework window whose conversion is a stand-in, so that
// pictures and timings show the window and not the codecs.
#pragma once

#include "window/frmMainBasic.h"

#include <QTimer>

#include <functional>
#include <string>
#include <vector>

// Points XDG_CONFIG_HOME at a fresh temporary folder, so the tools never read
// or write the user's settings; the folder is removed on destruction.
class TScratchSettings {
public:
    TScratchSettings();
    ~TScratchSettings();
    TScratchSettings(const TScratchSettings&) = delete;
    TScratchSettings& operator=(const TScratchSettings&) = delete;
    const std::string& Folder() const { return FFolder; }

private:
    std::string FFolder;
};

// Closes every message box that opens while it lives, with its default button
// (or its escape button), so that runs end without a hand on the keyboard.
class TMessageBoxAnswerer {
public:
    TMessageBoxAnswerer();

private:
    QTimer FTimer;
};

// The framework window with files "*.src" taken and a conversion that only
// calls OnConvert.
class TDemoWindow : public TfrmMainBasic {
public:
    explicit TDemoWindow(std::vector<std::string> extensions);

    std::function<void(const std::string& source)> OnConvert;

    using TfrmMainBasic::SetPage;

protected:
    void ConvertFile(const std::string& source, const std::string& dest) override;
    bool AcceptFile(const std::string& fileName) override;
    std::string GetDestinationExt() override;

private:
    std::vector<std::string> FExtensions;
};

// Saves a grab of the widget as folder/name; false (with a line on stderr) when it cannot.
bool SaveGrab(QWidget* widget, const std::string& folder, const std::string& name);
