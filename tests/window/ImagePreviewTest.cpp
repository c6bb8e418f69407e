// SPDX-License-Identifier: GPL-3.0-or-later
// The File list's thumbnail and the Options page's before/after view: they
// show what the program's own readers read and what a run would write, work
// in the background with the latest request winning, and leave no file behind.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Picture.h"
#include "util/IniFile.h"
#include "window/ImagePreview.h"
#include "window/RadioGroup.h"
#include "window/frmMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class TPreviewWindow : public TfrmMain {
public:
    using TfrmMain::SetPage;
};

std::unique_ptr<TPreviewWindow> NewWindow() {
    static bool registered = false;
    EnsureApplication();
    if (!registered) RegisterImageFormats();
    registered = true;
    return std::make_unique<TPreviewWindow>();
}

// A picture of noise, so that the JPEG quality changes the file's size.
void WriteNoise(const std::string& fileName, int width, int height) {
    TBitmap b(width, height, pf24bit);
    uint32_t state = 12345;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < 3 * width; ++x) {
            state = state * 1103515245u + 12345u;
            row[x] = static_cast<uint8_t>((state >> 16) & 0xFF);
        }
    }
    b.SaveToFile(fileName);
}

// A source folder: a.bmp (300 x 200), b.bmp (90 x 140), c.bmp (50 x 30), and
// d.bmp, which is no picture at all.
std::string SourceFolder(const TTempFolder& tmp) {
    const std::string in = tmp.File("in");
    fs::create_directory(in);
    WriteNoise(in + "/a.bmp", 300, 200);
    WriteNoise(in + "/b.bmp", 90, 140);
    WriteNoise(in + "/c.bmp", 50, 30);
    WriteFileBytes(in + "/d.bmp", {'B', 'M', 1, 2, 3, 4, 5, 6, 7, 8, 9});
    return in;
}

QTreeWidgetItem* RowNamed(QTreeWidget* list, const char* name) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(flcName) == QLatin1String(name))
            return list->topLevelItem(i);
    ADD_FAILURE() << "no row " << name;
    return nullptr;
}

struct TWritten {
    int Width = 0, Height = 0;
    int64_t Bytes = -1;
};

// The file a real run of the window's job writes for a.bmp.
TWritten RealRun(TPreviewWindow& w, const std::string& out, const std::string& ext) {
    w.SetPage(5);
    w.SetPage(6);
    {
        TMessageBoxWatcher boxes;
        w.RunBatch();
    }
    w.SetPage(4);
    TWritten written;
    const std::string file = out + "/a" + ext;
    if (!fs::exists(file)) {
        ADD_FAILURE() << "the run wrote no " << file;
        return written;
    }
    TPicture picture;
    picture.LoadFromFile(file);
    written.Width = picture.Width();
    written.Height = picture.Height();
    written.Bytes = static_cast<int64_t>(fs::file_size(file));
    fs::remove_all(out); // so that a file there later can only come from the preview
    return written;
}

// The after panel once the view has converted with the options now.
TPreviewPanelData After(TPreviewWindow& w) {
    auto* view = w.findChild<TfrmPreview*>(QStringLiteral("frmPreview"));
    EXPECT_NE(view, nullptr);
    if (!view) return {};
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([view] { return !view->Busy(); }, 60000));
    return Child<TPictureView>(view, "imgAfter")->Panel();
}

} // namespace

TEST(ImagePreview, TheThumbnailShowsTheCurrentRowOrItsError) {
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = SourceFolder(tmp);
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + in, "/DST=" + tmp.File("out")});
    w->SetPage(5);
    auto* list = Child<QTreeWidget>(w.get(), "lvFileName");
    auto* thumbnail = Child<TFileThumbnail>(w.get(), "pnlThumbnail");
    auto* view = Child<TPictureView>(w.get(), "imgThumbnail");
    auto* caption = Child<QLabel>(w.get(), "lblThumbnail");
    ASSERT_EQ(list->topLevelItemCount(), 4);

    list->setCurrentItem(RowNamed(list, "a.bmp"));
    QTRY_VERIFY_WITH_TIMEOUT(!thumbnail->Busy(), 30000);
    EXPECT_EQ(view->Panel().Width, 300);
    EXPECT_EQ(view->Panel().Height, 200);
    // Shrunk into the 160 x 120 box with its proportions.
    EXPECT_EQ(view->Panel().Image.size(), QSize(160, 107));
    EXPECT_TRUE(caption->text().startsWith(QStringLiteral("300 \u00d7 200, ")))
        << caption->text().toStdString();
    EXPECT_TRUE(view->Text().isEmpty());

    list->setCurrentItem(RowNamed(list, "d.bmp"));
    QTRY_VERIFY_WITH_TIMEOUT(!thumbnail->Busy(), 30000);
    EXPECT_TRUE(view->Panel().Image.isNull());
    EXPECT_FALSE(view->Text().isEmpty()) << "an unreadable file shows why";
    EXPECT_TRUE(caption->text().isEmpty());

    // Rows passed over quickly: the view ends on the last one, whatever finished first.
    for (const char* name : {"a.bmp", "b.bmp", "d.bmp", "a.bmp", "c.bmp"})
        list->setCurrentItem(RowNamed(list, name));
    QTRY_VERIFY_WITH_TIMEOUT(!thumbnail->Busy(), 30000);
    EXPECT_EQ(view->Panel().Width, 50);
    EXPECT_EQ(view->Panel().Height, 30);
    EXPECT_EQ(view->Panel().Image.size(), QSize(50, 30)) << "a small picture is not enlarged";

    // A new search clears the view until a row is chosen.
    w->SetPage(4);
    Child<QLineEdit>(w.get(), "edSourceWildcard")->setText(QStringLiteral("b*"));
    w->SetPage(5);
    QTRY_VERIFY_WITH_TIMEOUT(!thumbnail->Busy(), 30000);
    // Never a picture of the rows that are gone.
    if (list->currentItem())
        EXPECT_EQ(view->Panel().Width, 90);
    else
        EXPECT_TRUE(view->Panel().Image.isNull());
}

TEST(ImagePreview, TheAfterIsWhatARunWritesAndNothingIsLeftBehind) {
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = SourceFolder(tmp);
    const std::string out = tmp.File("out");
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + in, "/DST=" + out, "/DSTFORMAT=jpg", "/QUALITY=90"});
    w->SetPage(4);
    auto* view = Child<TfrmPreview>(w.get(), "frmPreview");
    EXPECT_FALSE(view->isVisible()) << "off by default";
    Child<QCheckBox>(w.get(), "chkShowPreview")->setChecked(true);
    // Before the File list exists, the first file of the folder.
    TPreviewPanelData after = After(*w);
    EXPECT_EQ(view->SourceFile(), in + "/a.bmp");
    EXPECT_FALSE(fs::exists(out)) << "the preview wrote into the destination";
    ASSERT_FALSE(view->LastTemporaryFolder().isEmpty());
    EXPECT_FALSE(fs::exists(view->LastTemporaryFolder().toStdString()));
    EXPECT_EQ(Child<TPictureView>(view, "imgBefore")->Panel().Width, 300);
    EXPECT_TRUE(Child<QLabel>(view, "lblAfter")->text().contains(QStringLiteral("JPEG")));

    TWritten real = RealRun(*w, out, ".jpg");
    EXPECT_EQ(after.Width, real.Width);
    EXPECT_EQ(after.Height, real.Height);
    EXPECT_EQ(after.Bytes, real.Bytes);
    const int64_t at90 = after.Bytes;

    // Quality: a smaller file, the one a run writes.
    Child<QComboBox>(w.get(), "cbCompression")->setCurrentText(QStringLiteral("30"));
    after = After(*w);
    EXPECT_LT(after.Bytes, at90);
    EXPECT_EQ(after.Bytes, RealRun(*w, out, ".jpg").Bytes);

    // Size.
    Child<QCheckBox>(w.get(), "chkResize")->setChecked(true);
    Child<QComboBox>(w.get(), "cbStretchMode")->setCurrentIndex(smPixels);
    Child<QCheckBox>(w.get(), "chkWidth")->setChecked(true);
    Child<QCheckBox>(w.get(), "chkHeight")->setChecked(true);
    Child<QLineEdit>(w.get(), "edWidth")->setText(QStringLiteral("120"));
    Child<QLineEdit>(w.get(), "edHeight")->setText(QStringLiteral("77"));
    after = After(*w);
    EXPECT_EQ(after.Width, 120);
    EXPECT_EQ(after.Height, 77);
    real = RealRun(*w, out, ".jpg");
    EXPECT_EQ(after.Bytes, real.Bytes);
    EXPECT_EQ(real.Width, 120);

    // Format, chosen on its own page: the view converts anew on return.
    w->SetPage(3);
    EXPECT_FALSE(view->isVisible());
    Child<TRadioGroup>(w.get(), "rgDestination")->SetItemIndex(dfGIF);
    w->SetPage(4);
    after = After(*w);
    EXPECT_TRUE(Child<QLabel>(view, "lblAfter")->text().contains(QStringLiteral("GIF")));
    real = RealRun(*w, out, ".gif");
    EXPECT_EQ(after.Width, real.Width);
    EXPECT_EQ(after.Height, real.Height);
    EXPECT_EQ(after.Bytes, real.Bytes);

    // The File list's current row is the file the view converts.
    w->SetPage(5);
    auto* list = Child<QTreeWidget>(w.get(), "lvFileName");
    list->setCurrentItem(RowNamed(list, "b.bmp"));
    w->SetPage(4);
    after = After(*w);
    EXPECT_EQ(view->SourceFile(), in + "/b.bmp");
    EXPECT_EQ(after.Width, 120);
    EXPECT_FALSE(fs::exists(out)) << "the preview wrote into the destination";

    // An unreadable file: its reason in both halves, no crash.
    w->SetPage(5);
    list->setCurrentItem(RowNamed(list, "d.bmp"));
    w->SetPage(4);
    after = After(*w);
    EXPECT_TRUE(after.Image.isNull());
    EXPECT_FALSE(after.Error.isEmpty());
    EXPECT_FALSE(Child<TPictureView>(view, "imgBefore")->Text().isEmpty());
    EXPECT_FALSE(fs::exists(view->LastTemporaryFolder().toStdString()));

    // Closing the view unticks its box.
    view->reject();
    EXPECT_FALSE(Child<QCheckBox>(w.get(), "chkShowPreview")->isChecked());
}

TEST(ImagePreview, TheBoxIsAViewSettingOfTheUserFileOnly) {
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string preset = tmp.File("preset.ini");
    {
        auto w = NewWindow();
        w->SaveSettings();
        EXPECT_FALSE(TIniFile(settings.SettingsFile()).ValueExists("Window", "Preview"))
            << "a default is not written";
        Child<QCheckBox>(w.get(), "chkShowPreview")->setChecked(true);
        w->SaveSettings();
        w->SaveSettingsTo(preset);
    }
    EXPECT_TRUE(TIniFile(settings.SettingsFile()).ReadBool("Window", "Preview", false));
    EXPECT_FALSE(TIniFile(preset).ValueExists("Window", "Preview"));
    auto w = NewWindow();
    w->LoadSettings();
    EXPECT_TRUE(Child<QCheckBox>(w.get(), "chkShowPreview")->isChecked());
    // A preset keeps the box as the user left it.
    TIniFile(preset).WriteBool("Window", "Preview", false);
    w->LoadSettingsFrom(preset);
    EXPECT_TRUE(Child<QCheckBox>(w.get(), "chkShowPreview")->isChecked());
}

TEST(ImagePreview, AnOpenViewFollowsAPresetAndTheSource) {
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = SourceFolder(tmp);
    const std::string preset = tmp.File("png.ini");
    {
        auto other = NewWindow();
        other->ProcessCommandLine({"/SRC=" + in, "/DST=" + tmp.File("out"), "/DSTFORMAT=png"});
        other->SaveSettingsTo(preset);
    }
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + in, "/DST=" + tmp.File("out"), "/DSTFORMAT=jpg"});
    w->SetPage(4);
    Child<QCheckBox>(w.get(), "chkShowPreview")->setChecked(true);
    auto* view = Child<TfrmPreview>(w.get(), "frmPreview");
    auto* caption = Child<QLabel>(view, "lblAfter");
    After(*w);
    EXPECT_TRUE(caption->text().contains(QStringLiteral("JPEG"))) << caption->text().toStdString();

    w->LoadSettingsFrom(preset);
    After(*w);
    EXPECT_TRUE(caption->text().contains(QStringLiteral("PNG"))) << caption->text().toStdString();

    // A source without a file to convert: the view says so instead of showing the last one.
    const std::string empty = tmp.File("empty");
    fs::create_directory(empty);
    Child<QLineEdit>(w.get(), "edSourceName")->setText(QString::fromStdString(empty));
    const TPreviewPanelData after = After(*w);
    EXPECT_TRUE(after.Image.isNull());
    EXPECT_TRUE(view->SourceFile().empty());
    EXPECT_TRUE(caption->text().isEmpty());
}
