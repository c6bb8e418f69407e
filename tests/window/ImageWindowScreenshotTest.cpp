// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the image window's pages for the README. Runs only when
// TREVASCO_SCREENSHOTS names a folder; take them under a real X server
// (xvfb-run) so that fonts and styles are the desktop's.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "window/frmMain.h"

#include <QCheckBox>
#include <QTest>

#include <filesystem>

namespace {

class TScreenshotWindow : public TfrmMain {
public:
    void SetPageTo(int page) { SetPage(page); }
};

} // namespace

TEST(Screenshots, ImageWindowPages) {
    const char* out = std::getenv("TREVASCO_SCREENSHOTS");
    if (!out) GTEST_SKIP() << "set TREVASCO_SCREENSHOTS=<folder> to take the pictures";
    EnsureApplication();
    RegisterImageFormats();
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string samples = std::filesystem::absolute("samples").string();

    TScreenshotWindow w;
    w.ProcessCommandLine(
        {"/SRC=" + samples, "/DST=" + tmp.File("converted"), "/DSTFORMAT=gif", "/RESIZE=50%"});
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    auto save = [&](const std::string& name) {
        QTest::qWait(50);
        EXPECT_TRUE(w.grab().save(QString::fromStdString(std::string(out) + "/" + name)));
    };
    for (int page = 1; page <= 6; ++page) {
        w.SetPageTo(page);
        if (page == 6) {
            TMessageBoxWatcher boxes;
            w.RunBatch();
        }
        save("image-page" + std::to_string(page) + ".png");
    }
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}
