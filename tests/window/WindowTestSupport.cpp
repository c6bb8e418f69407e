// SPDX-License-Identifier: GPL-3.0-or-later
#include "WindowTestSupport.h"

#include "util/Wildcard.h"
#include "window/RadioGroup.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>

#include <QAbstractButton>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <filesystem>

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "test_window";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) {
        if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        new QApplication(argc, argv);
    }
}

TPrivateSettings::TPrivateSettings() {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
        FOld = old;
        FHadOld = true;
    }
    setenv("XDG_CONFIG_HOME", FFolder.Path().c_str(), 1);
}

TPrivateSettings::~TPrivateSettings() {
    if (FHadOld)
        setenv("XDG_CONFIG_HOME", FOld.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

std::string TPrivateSettings::SettingsFolder() const {
    return FFolder.Path() + "/Kelvane/test_window";
}

std::string TPrivateSettings::SettingsFile() const {
    return SettingsFolder() + "/test_window.ini";
}

TMessageBoxWatcher::TMessageBoxWatcher(QMessageBox::StandardButton answer)
    : Answer(answer), FTimer(new QTimer()) {
    FTimer->setInterval(5);
    QObject::connect(FTimer, &QTimer::timeout, [this] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        Texts << box->text();
        QAbstractButton* b = box->button(Answer);
        if (!b) b = box->buttons().value(0);
        if (b) b->click();
    });
    FTimer->start();
}

TMessageBoxWatcher::~TMessageBoxWatcher() {
    delete FTimer;
}

TTestWindow::TTestWindow() {
    SetExtensions(Extensions);
}

void TTestWindow::SetExtensions(std::vector<std::string> extensions) {
    Extensions = std::move(extensions);
    rgDestination->Clear();
    for (const std::string& e : Extensions)
        rgDestination->AddItem(QString::fromStdString(e));
    rgDestination->SetItemIndex(0);
}

bool TTestWindow::IsPageAvailable() {
    return OnPageAvailable ? OnPageAvailable(CurrentPage()) : TfrmMainBasic::IsPageAvailable();
}

void TTestWindow::ConvertFile(const std::string& source, const std::string& dest) {
    Converted.push_back(source);
    if (OnConvert) OnConvert(source, dest);
}

bool TTestWindow::AcceptFile(const std::string& fileName) {
    return MatchWildcard(fileName, AcceptMask, true);
}

std::string TTestWindow::GetDestinationExt() {
    int i = rgDestination->ItemIndex();
    if (i < 0 || i >= static_cast<int>(Extensions.size()))
        return TfrmMainBasic::GetDestinationExt();
    return Extensions[static_cast<size_t>(i)];
}

void OpenLastPage(TTestWindow& w, const std::vector<std::string>& switches) {
    w.ProcessCommandLine(switches);
    Child<QPushButton>(&w, "btnLast")->click();
    ASSERT_EQ(w.CurrentPage(), 6);
}

std::string Column(QTreeWidgetItem* item, int column) {
    return item->text(column).toStdString();
}

std::vector<std::string> Rows(QTreeWidget* list, std::vector<int> columns) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        std::string r;
        for (size_t c = 0; c < columns.size(); ++c) {
            if (c) r += "|";
            r += Column(list->topLevelItem(i), columns[c]);
        }
        rows.push_back(r);
    }
    return rows;
}

#ifdef TREVASCO_BINARY
TProgramResult RunProgramWith(const std::string& environment, const std::vector<std::string>& args,
                              const std::string& errFile) {
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + environment +
                      " '" TREVASCO_BINARY "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    cmd += " 2>'" + errFile + "'";
    TProgramResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 256> buf;
    while (size_t n = fread(buf.data(), 1, buf.size(), p))
        r.Stdout.append(buf.data(), n);
    const int status = pclose(p);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(errFile);
    r.Stderr.assign(std::istreambuf_iterator<char>(e), {});
    return r;
}

TProgramResult RunProgram(const std::string& configHome, const std::vector<std::string>& args,
                          const std::string& errFile) {
    return RunProgramWith("-u TREVASCO_DEBUG XDG_CONFIG_HOME='" + configHome + "'", args, errFile);
}
#endif
