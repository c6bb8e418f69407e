// Program entry: the window, or with /EXECUTE an unattended run without a display.
#include "app/Startup.h"
#include "batch/frmMainBasic.h"
#include "util/StrUtils.h"

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
    if (!DebugOutput()) return;
    static const char* const kinds[] = {"debug", "warning", "critical", "fatal", "info"};
    const char* kind = type >= 0 && type <= 4 ? kinds[type] : "message";
    std::fprintf(stderr, "qt %s: %s\n", kind, message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char* argv[]) {
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
    // An unattended run needs no display server.
    if (unattended) qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(QuietMessageHandler);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("trevasco"));
    try {
        RegisterApplicationFormats();
        std::unique_ptr<TfrmMainBasic> form = CreateApplicationMainForm();
        form->ProcessCommandLine(args);
        if (form->ShowMainForm()) form->show();
        int status = QApplication::exec();
        // An unattended run ends through QCoreApplication::exit with the run's status.
        if (!form->ShowMainForm()) status = form->ExitCode();
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trevasco: %s\n", e.what());
        return 1;
    }
}
