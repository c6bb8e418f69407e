// SPDX-License-Identifier: GPL-3.0-or-later
#include "DemoWindow.h"

#include "util/Wildcard.h"
#include "window/RadioGroup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TScratchSettings::TScratchSettings() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "trevasco-tool-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    FFolder = pattern;
    setenv("XDG_CONFIG_HOME", FFolder.c_str(), 1);
}

TScratchSettings::~TScratchSettings() {
    std::error_code ignored;
    std::filesystem::remove_all(FFolder, ignored);
}

TMessageBoxAnswerer::TMessageBoxAnswerer() {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        QAbstractButton* b = box->defaultButton();
        if (!b) b = box->escapeButton();
        if (!b) b = box->buttons().value(0);
        if (b) b->click();
    });
    FTimer.start();
}

TDemoWindow::TDemoWindow(std::vector<std::string> extensions) : FExtensions(std::move(extensions)) {
    rgDestination->Clear();
    for (const std::string& e : FExtensions)
        rgDestination->AddItem(QString::fromStdString(e));
    rgDestination->SetItemIndex(0);
}

void TDemoWindow::ConvertFile(const std::string& source, const std::string&) {
    if (OnConvert) OnConvert(source);
}

bool TDemoWindow::AcceptFile(const std::string& fileName) {
    return MatchWildcard(fileName, "*.src", true);
}

std::string TDemoWindow::GetDestinationExt() {
    const int i = rgDestination->ItemIndex();
    if (i < 0 || i >= static_cast<int>(FExtensions.size())) return std::string();
    return FExtensions[static_cast<size_t>(i)];
}

bool SaveGrab(QWidget* widget, const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    if (widget->grab().save(QString::fromStdString(path))) return true;
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
}
