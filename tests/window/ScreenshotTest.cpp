// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the six pages and the about box for the documentation. Runs only
// when TREVASCO_SCREENSHOTS names a folder (take them under a real X server,
// e.g. xvfb-run, so that fonts and styles are the desktop's).
#include "WindowTestSupport.h"

#include "base/Exceptions.h"
#include "window/frmAbout.h"

#include <QApplication>
#include <QCheckBox>
#include <QPixmap>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <thread>

TEST(Screenshots, SixPagesAndTheAboutBox) {
    const char* out = std::getenv("TREVASCO_SCREENSHOTS");
    if (!out) GTEST_SKIP() << "set TREVASCO_SCREENSHOTS=<folder> to take the pictures";
    EnsureApplication();
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = tmp.File("pictures");
    std::filesystem::create_directories(in + "/holiday");
    for (const char* n : {"beach.src", "harbour.src", "holiday/sunset.src", "notes.txt",
                          "portrait.src", "scan-broken.src"})
        std::ofstream(in + "/" + n) << "x";

    TTestWindow w;
    w.SetExtensions({".bmp", ".jpg", ".gif", ".wmf", ".emf", ".png"});
    w.OnConvert = [](const std::string& source, const std::string&) {
        if (source.find("broken") != std::string::npos)
            throw EInvalidGraphic("Bitmap image is not valid");
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    };
    w.ProcessCommandLine({"/SRC=" + in, "/DST=" + tmp.File("converted"), "/SUBDIR",
                          "/LOGFILE=" + tmp.File("processed.log"), "/DSTFORMAT=png"});
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    auto save = [&](QWidget* widget, const std::string& name) {
        QTest::qWait(50);
        EXPECT_TRUE(widget->grab().save(QString::fromStdString(std::string(out) + "/" + name)));
    };
    for (int page = 1; page <= 6; ++page) {
        w.SetPageTo(page);
        if (page == 6) {
            TMessageBoxWatcher boxes;
            w.RunBatch();
        }
        save(&w, "page" + std::to_string(page) + ".png");
    }
    TfrmAbout about(&w);
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    save(&about, "about.png");
    about.close();
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}
