// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the window for the documentation:
//
//   take_screenshots <folder>
//
// At scale 1 it saves the framework window's six pages (page<n>.png), the about
// box (about.png) and the image window's pages (image-page<n>.png); under
// QT_SCALE_FACTOR=<f> it saves the image window's pages as hidpi-<f>-page<n>.png.
// Run it under a real X server (xvfb-run) so that fonts and styles are the
// desktop's; tools/take-screenshots does both scales.
#include "DemoWindow.h"

#include "base/Exceptions.h"
#include "convert/FormatStartup.h"
#include "window/frmAbout.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTreeWidget>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

namespace {

class TImageWindow : public TfrmMain {
public:
    using TfrmMain::SetPage;
};

// Lets the window system show and paint the widget (and background work finish,
// for at most `extra` milliseconds more) before it is grabbed.
void Settle(QWidget* widget, int extra = 80) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000 &&
           !(widget->windowHandle() && widget->windowHandle()->isExposed()))
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    const qint64 painted = clock.elapsed() + extra;
    while (clock.elapsed() < painted)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// Every page of a window, the last one after a run, saved as prefix<n>.png;
// onPage may set a page up before it is taken.
template <class W>
bool SavePages(W& window, const std::string& folder, const std::string& prefix,
               const std::function<void(int page)>& onPage = {}) {
    bool ok = true;
    for (int page = 1; page <= 6; ++page) {
        window.SetPage(page);
        if (page == 6) window.RunBatch();
        if (onPage) onPage(page);
        Settle(&window);
        ok = SaveGrab(&window, folder, prefix + std::to_string(page) + ".png") && ok;
    }
    return ok;
}

// The framework window on a made-up holiday folder with one broken file, so that
// the Log page shows every kind of row.
bool FrameworkPictures(const std::string& folder, const std::string& scratch) {
    const std::string in = scratch + "/pictures";
    fs::create_directories(in + "/holiday");
    for (const char* n : {"beach.src", "harbour.src", "holiday/sunset.src", "notes.txt",
                          "portrait.src", "scan-broken.src"})
        std::ofstream(in + "/" + n) << "x";
    TDemoWindow w({".bmp", ".jpg", ".gif", ".wmf", ".emf", ".png"});
    w.OnConvert = [](const std::string& source) {
        if (source.find("broken") != std::string::npos)
            throw EInvalidGraphic("Bitmap image is not valid");
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    };
    w.ProcessCommandLine({"/SRC=" + in, "/DST=" + scratch + "/converted", "/SUBDIR",
                          "/LOGFILE=" + scratch + "/processed.log", "/DSTFORMAT=png"});
    w.show();
    bool ok = SavePages(w, folder, "page");
    TfrmAbout about(&w);
    about.show();
    Settle(&about);
    ok = SaveGrab(&about, folder, "about.png") && ok;
    return ok;
}

// The image window converting the bundled samples to half-size GIFs, with a
// photograph chosen on the File list so that its thumbnail shows; at scale 1
// also the before/after preview of that photograph.
bool ImageWindowPictures(const std::string& folder, const std::string& scratch,
                         const std::string& prefix, bool withPreview) {
    TImageWindow w;
    w.ProcessCommandLine({"/SRC=" + fs::absolute("samples").string(),
                          "/DST=" + scratch + "/converted-images", "/DSTFORMAT=gif",
                          "/RESIZE=50%"});
    w.show();
    bool ok = SavePages(w, folder, prefix, [&](int page) {
        if (page != 5) return;
        auto* files = w.findChild<QTreeWidget*>(QStringLiteral("lvFileName"));
        const QList<QTreeWidgetItem*> photo =
            files ? files->findItems(QStringLiteral("jpg-scene.jpg"), Qt::MatchExactly)
                  : QList<QTreeWidgetItem*>();
        if (!photo.isEmpty()) files->setCurrentItem(photo.first());
        Settle(&w, 1500);
    });
    if (!withPreview) return ok;
    w.SetPage(4);
    if (auto* show = w.findChild<QCheckBox*>(QStringLiteral("chkShowPreview"))) {
        show->setChecked(true);
        if (auto* preview = w.findChild<QWidget*>(QStringLiteral("frmPreview"))) {
            Settle(preview, 3000);
            ok = SaveGrab(preview, folder, prefix.substr(0, prefix.find("page")) + "preview.png") &&
                 ok;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>  (run from the project root)\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const char* factor = std::getenv("QT_SCALE_FACTOR");
    const bool scaled = factor && std::string(factor) != "1";
    try {
        fs::create_directories(folder);
        TScratchSettings settings;
        QApplication app(argc, argv);
        RegisterImageFormats();
        TMessageBoxAnswerer answerer;
        bool ok = true;
        if (scaled) {
            ok = ImageWindowPictures(folder, settings.Folder(),
                                     "hidpi-" + std::string(factor) + "-page", false);
        } else {
            ok = FrameworkPictures(folder, settings.Folder()) && ok;
            ok = ImageWindowPictures(folder, settings.Folder(), "image-page", true) && ok;
        }
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "take_screenshots: %s\n", e.what());
        return 1;
    }
}
