// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: the window, or with /EXECUTE an unattended run without a display.
#include "app/Startup.h"
#include "base/FreedMemory.h"
#include "base/StrUtils.h"
#include "base/Streams.h"
#include "batch/UnattendedRun.h"
#include "window/frmMainBasic.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool DebugOutput() {
    return std::getenv("TREVASCO_DEBUG") != nullptr;
}

// Qt's own notes (such as the one about XDG_RUNTIME_DIR under the offscreen
// platform) would break the rule that a successful run prints nothing.
void QuietMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    // A fatal message ends the program: its reason must be seen.
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "trevasco: %s\n", message.toLocal8Bit().constData());
        return;
    }
    if (!DebugOutput()) return;
    static const char* const kinds[] = {"debug", "warning", "critical", "fatal", "info"};
    const char* kind = type >= 0 && type <= 4 ? kinds[type] : "message";
    std::fprintf(stderr, "qt %s: %s\n", kind, message.toLocal8Bit().constData());
}

// Whether the window can be shown: a platform named outright, or a display
// server to connect to. Without one, Qt's platform plugin would abort.
bool DisplayAvailable() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[]) {
    FreedMemory::KeepForReuse();
    // The arguments as bytes, before Qt sees (and may change) argv.
    std::vector<std::string> args;
    bool unattended = false;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
        if (SameTextAscii(args.back(), "/EXECUTE")) unattended = true;
        if (args.back() == "--help" || args.back() == "-h" || args.back() == "/?") {
            std::fputs(ApplicationCommandLineHelp().c_str(), stdout);
            return 0;
        }
        if (args.back() == "--version") {
            std::puts("trevasco " TREVASCO_VERSION);
            return 0;
        }
    }
    // An unattended run is the batch core alone: no Qt object is made, so it
    // needs no display server and no platform plugin.
    if (unattended) {
        InstallTemporaryFileCleanup();
        try {
            RegisterApplicationFormats();
            return RunUnattended(args);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "trevasco: %s\n", e.what());
            return 1;
        }
    }
    if (!DisplayAvailable()) {
        std::fputs("trevasco: no display; add /EXECUTE to run without a window\n", stderr);
        return 1;
    }
    qInstallMessageHandler(QuietMessageHandler);

    InstallTemporaryFileCleanup();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("trevasco"));
    try {
        RegisterApplicationFormats();
        std::unique_ptr<TfrmMainBasic> form = CreateApplicationMainForm();
        form->ProcessCommandLine(args);
        if (form->ShowMainForm()) form->show();
        int status = QApplication::exec();
        if (!form->ShowMainForm()) status = form->ExitCode();
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trevasco: %s\n", e.what());
        return 1;
    }
}
