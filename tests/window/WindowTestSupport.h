// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the window tests: one QApplication, a private settings folder,
// answering message boxes, and test-only windows derived from the framework.
#pragma once

#include "common/TestSupport.h"
#include "window/frmMainBasic.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

// The application object every window test needs (created once).
void EnsureApplication();

// Points XDG_CONFIG_HOME at a fresh temporary folder for the life of the object,
// so no test reads or writes the real settings.
class TPrivateSettings {
public:
    TPrivateSettings();
    ~TPrivateSettings();
    const std::string& ConfigHome() const { return FFolder.Path(); }
    // Where the program's settings file lands under this folder.
    std::string SettingsFile() const;
    std::string SettingsFolder() const;

private:
    TTempFolder FFolder;
    std::string FOld;
    bool FHadOld = false;
};

// Answers every message box that opens while it lives with the given button and
// records the texts, in order.
class TMessageBoxWatcher {
public:
    explicit TMessageBoxWatcher(QMessageBox::StandardButton answer = QMessageBox::Ok);
    ~TMessageBoxWatcher();
    QStringList Texts;
    QMessageBox::StandardButton Answer;

private:
    class QTimer* FTimer;
};

// A window that overrides what a test needs; the rest is the framework's.
class TTestWindow : public TfrmMainBasic {
public:
    TTestWindow();

    std::function<void(const std::string&, const std::string&)> OnConvert;
    std::function<bool(int page)> OnPageAvailable;
    std::string AcceptMask = "*.src";               // AcceptFile matches the name against this
    std::vector<std::string> Extensions = {".out"}; // per destination entry
    int BeforeRuns = 0;
    int AfterRuns = 0;
    std::vector<std::string> Converted; // sources handed to ConvertFile

    bool IsPageAvailable() override;
    void ConvertFile(const std::string& source, const std::string& dest) override;
    bool AcceptFile(const std::string& fileName) override;
    std::string GetDestinationExt() override;
    void BeforeRun() override { ++BeforeRuns; }
    void AfterRun() override { ++AfterRuns; }

    void SetPageTo(int page) { SetPage(page); }
    // Refills the destination entries, one per extension, and selects the first.
    void SetExtensions(std::vector<std::string> extensions);
};

// Sets the job by switches and walks the window onto its last page.
void OpenLastPage(TTestWindow& w, const std::vector<std::string>& switches);

// Finds a named child widget or fails the test.
template <class T> T* Child(QWidget* window, const char* name) {
    T* w = window->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << "no control named " << name;
    return w;
}

// Rows of a list view as "text|text|..." per row (visible columns), for comparisons.
std::vector<std::string> Rows(QTreeWidget* list, std::vector<int> columns);
std::string Column(QTreeWidgetItem* item, int column);

// The built program run unattended: no display, its own settings folder.
struct TProgramResult {
    int Status = -1;
    std::string Stderr;
    std::string Stdout;
};
#ifdef TREVASCO_BINARY
// The program run with no display and with environment (assignments or "-u NAME"
// options of env) before the arguments; stderr goes to errFile.
TProgramResult RunProgramWith(const std::string& environment, const std::vector<std::string>& args,
                              const std::string& errFile);
TProgramResult RunProgram(const std::string& configHome, const std::vector<std::string>& args,
                          const std::string& errFile);
#endif
