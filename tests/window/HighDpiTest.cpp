// SPDX-License-Identifier: GPL-3.0-or-later
// The image window on a high-density screen. Qt takes its scale factor once, at
// start-up, so each factor runs in a child copy of this test program. There the
// drawn pictures must carry the screen's pixel ratio (drawn sharp, not a small
// bitmap blown up), every caption must fit its control, and no control may
// leave its page.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "window/frmMain.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTest>

#include <cmath>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

class TDpiWindow : public TfrmMain {
public:
    using TfrmMain::SetPage;
};

// Runs this program's child test under a scale factor; its exit status.
int RunChild(const std::string& factor) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.starts_with("QT_SCALE_FACTOR=") || var.starts_with("TREVASCO_DPI_CHILD=")) continue;
        env.push_back(var);
    }
    env.push_back("QT_SCALE_FACTOR=" + factor);
    env.push_back("TREVASCO_DPI_CHILD=" + factor);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=HighDpiChild.*";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whether a picture was made for the screen's pixel ratio.
void ExpectSharp(const QPixmap& pixmap, qreal ratio, QSize logical, const char* what) {
    EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), ratio) << what;
    EXPECT_EQ(pixmap.deviceIndependentSize().toSize(), logical) << what;
    EXPECT_GE(pixmap.width(), static_cast<int>(std::floor(logical.width() * ratio))) << what;
}

// Captions that do not fit their control and controls that reach past their page.
QStringList LayoutFaults(QWidget* page) {
    QStringList faults;
    for (QWidget* w : page->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(page)) continue;
        const QRect inPage(w->mapTo(page, QPoint(0, 0)), w->size());
        if (!page->rect().contains(inPage))
            faults << w->objectName() + QStringLiteral(" leaves the page");
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
        if (auto* l = qobject_cast<QLabel*>(w); l && !l->wordWrap()) text = l->text();
        if (text.isEmpty() || w->objectName().isEmpty()) continue;
        QSize need = w->sizeHint();
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            // A push button's size hint has a style minimum; what must fit is its caption.
            const QFontMetrics metrics = button->fontMetrics();
            need = QSize(metrics.horizontalAdvance(QString(text).remove(QLatin1Char('&'))) +
                             2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin),
                         metrics.height());
        }
        if (need.width() > w->width() || need.height() > w->height() + 2)
            faults << QStringLiteral("%1 needs %2x%3, has %4x%5")
                          .arg(w->objectName())
                          .arg(need.width())
                          .arg(need.height())
                          .arg(w->width())
                          .arg(w->height());
    }
    return faults;
}

} // namespace

TEST(HighDpi, TheWindowHoldsAtTwiceAndOneAndAHalfTheScale) {
    if (std::getenv("TREVASCO_DPI_CHILD")) GTEST_SKIP() << "inside the child";
    for (const char* factor : {"2", "1.5"})
        EXPECT_EQ(RunChild(factor), 0) << "scale factor " << factor;
}

TEST(HighDpiChild, PagesPicturesAndCaptions) {
    const char* factorText = std::getenv("TREVASCO_DPI_CHILD");
    if (!factorText) GTEST_SKIP() << "runs in the child of HighDpi";
    EnsureApplication();
    RegisterImageFormats();
    TPrivateSettings settings;
    TTempFolder tmp;
    const qreal ratio = std::stod(factorText);
    ASSERT_DOUBLE_EQ(qApp->devicePixelRatio(), ratio);

    TDpiWindow w;
    const std::string samples = std::filesystem::absolute("samples").string();
    // The metafile samples are left out: drawing them is slow in a sanitizer build.
    w.ProcessCommandLine({"/SRC=" + samples, "/DST=" + tmp.File("out"), "/DSTFORMAT=gif",
                          "/SRCFORMAT=*.bmp;*.dib;*.rle;*.gif;*.ico;*.jpg;*.pcx;*.png;*.tif"});
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));

    ExpectSharp(Child<QLabel>(&w, "imgBackground")->pixmap(), ratio, QSize(138, 59), "header");
    ExpectSharp(Child<QLabel>(&w, "imgDescription")->pixmap(), ratio, QSize(48, 48), "icon");
    for (const QPixmap& image : w.AlignmentImages())
        ExpectSharp(image, ratio, QSize(16, 14), "alignment picture");
    for (const QIcon& icon : TfrmMainBasic::ProgressImages())
        ExpectSharp(icon.pixmap(QSize(16, 16), ratio), ratio, QSize(16, 16), "row image");

    // At twice the scale the window fits a 1920x1080 screen under a panel and a
    // title bar, with every button inside it.
    if (ratio == 2) {
        EXPECT_LE(w.width() * ratio, 1920);
        EXPECT_LE(w.height() * ratio, 1000);
        for (const char* name : {"btnFirst", "btnPrev", "btnNext", "btnLast", "btnCancel"})
            EXPECT_TRUE(
                w.centralWidget()->rect().contains(Child<QPushButton>(&w, name)->geometry()))
                << name;
    }

    // The closed alignment list shows its picture beside the text, not over it.
    auto* alignment = Child<QComboBox>(&w, "cbWAlignment");
    EXPECT_EQ(alignment->view()->sizeHintForRow(0), 16);

    auto* pages = Child<QStackedWidget>(&w, "pcWizard");
    for (int page = 1; page <= 6; ++page) {
        w.SetPage(page);
        if (page == 6) {
            // The rows with their status pictures.
            TMessageBoxWatcher boxes;
            w.RunBatch();
        }
        QTest::qWait(20);
        const QStringList faults = LayoutFaults(pages->currentWidget());
        EXPECT_TRUE(faults.isEmpty())
            << "page " << page << ": " << faults.join(QStringLiteral("; ")).toStdString();
        const QPixmap shot = w.grab();
        EXPECT_DOUBLE_EQ(shot.devicePixelRatio(), ratio);
    }
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}
