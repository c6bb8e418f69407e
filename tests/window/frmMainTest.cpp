// SPDX-License-Identifier: GPL-3.0-or-later
// The image window: option controls, enabling rules, settings keys, the
// source-format list and filter, and the option switches of the command line.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "formats/FileFormatList.h"
#include "util/FileUtils.h"
#include "util/IniFile.h"
#include "window/RadioGroup.h"
#include "window/frmMain.h"
#include "window/frmMainAlignment.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QValidator>

#include <fstream>

namespace {

void EnsureFormats() {
    static bool done = false;
    if (!done) RegisterImageFormats();
    done = true;
}

std::unique_ptr<TfrmMain> NewWindow() {
    EnsureApplication();
    EnsureFormats();
    return std::make_unique<TfrmMain>();
}

template <class T> T* C(QWidget* w, const char* name) {
    return Child<T>(w, name);
}

std::vector<std::string> TickedRows(QWidget* w) {
    std::vector<std::string> keys;
    auto* list = C<QTreeWidget>(w, "lvImageFormats");
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->checkState(0) == Qt::Checked)
            keys.push_back(list->topLevelItem(i)->text(1).toStdString());
    return keys;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

TEST(ImageWindowFreshStart, ListsEverySourceFormatTicked) {
    auto w = NewWindow();
    auto* list = C<QTreeWidget>(w.get(), "lvImageFormats");
    ASSERT_EQ(list->topLevelItemCount(), 27);
    EXPECT_EQ(TickedRows(w.get()).size(), 27u);
    std::vector<std::string> extensions;
    FormatRegistry->ListExtensions(extensions);
    for (int i = 0; i < 27; ++i) {
        const std::string& ext = extensions[static_cast<size_t>(i)];
        EXPECT_EQ(list->topLevelItem(i)->text(1).toStdString(), "." + ext);
        EXPECT_EQ(list->topLevelItem(i)->text(0).toStdString(),
                  ext == "emf"
                      ? "Windows enhanced metafiles"
                      : FormatRegistry->ClassDescription(FormatRegistry->ClassForExtension(ext)));
    }
    EXPECT_TRUE(list->isHeaderHidden());
    EXPECT_EQ(list->columnWidth(0), 350);
}

TEST(ImageWindowFreshStart, OffersTheNineDestinationsWithBitmapChosen) {
    auto w = NewWindow();
    auto* rg = C<TRadioGroup>(w.get(), "rgDestination");
    ASSERT_EQ(rg->Count(), 9);
    EXPECT_EQ(rg->Item(4).toStdString(), "Enhanced metafiles (*.emf)");
    EXPECT_EQ(rg->Item(dfWebP).toStdString(), "WebP images (*.webp)");
    EXPECT_EQ(rg->Item(dfAVIF).toStdString(), "AVIF images (*.avif)");
    EXPECT_EQ(rg->Item(dfJXL).toStdString(), "JPEG XL images (*.jxl)");
    EXPECT_EQ(rg->ItemIndex(), 0);
    EXPECT_EQ(w->GetDestinationExt(), ".bmp");
}

TEST(ImageWindowFreshStart, ShowsTheDefaultOptionsAndConvertsWithThem) {
    auto w = NewWindow();
    EXPECT_FALSE(C<QCheckBox>(w.get(), "chkResize")->isChecked());
    EXPECT_EQ(C<QComboBox>(w.get(), "cbStretchMode")->currentIndex(), 0);
    EXPECT_EQ(C<QLineEdit>(w.get(), "edWidth")->text(), "800");
    EXPECT_EQ(C<QLineEdit>(w.get(), "edHeight")->text(), "600");
    EXPECT_TRUE(C<QCheckBox>(w.get(), "chkWidth")->isChecked());
    EXPECT_TRUE(C<QCheckBox>(w.get(), "chkHeight")->isChecked());
    EXPECT_EQ(C<QComboBox>(w.get(), "cbPixelFormat")->currentText(), "Device");
    EXPECT_EQ(C<QComboBox>(w.get(), "cbCompression")->currentText(), "100");
    EXPECT_TRUE(C<QComboBox>(w.get(), "cbCompression")->isEditable());
    EXPECT_EQ(C<QComboBox>(w.get(), "cbGIFColorReduction")->currentText(), "optimal, best quality");
    EXPECT_FALSE(C<QCheckBox>(w.get(), "chkWatermark")->isChecked());
    EXPECT_EQ(C<QLineEdit>(w.get(), "edWatermarkText")->text(), "Sample text");
    EXPECT_EQ(C<QComboBox>(w.get(), "cbWAlignment")->currentText(), "left");
    EXPECT_EQ(C<QComboBox>(w.get(), "cbWPosition")->currentText(), "top");
    EXPECT_FALSE(C<QCheckBox>(w.get(), "chkWAngle")->isChecked());
    auto* angle = C<QLineEdit>(w.get(), "edWAngle");
    EXPECT_EQ(angle->text(), "0");
    EXPECT_FALSE(angle->isEnabledTo(C<QWidget>(w.get(), "pnlWatermark")));
    EXPECT_EQ(FontToString(w->WatermarkFont(), w->WatermarkBackground()), DefaultFontText);

    // The options the conversion would use now.
    TConvertOptions o = w->ReadOptions();
    EXPECT_EQ(o.Destination, dfBitmap);
    EXPECT_EQ(o.Quality, 100);
    EXPECT_EQ(o.ColorReduction, ReduceBest);
    EXPECT_FALSE(o.Resize);
}

// Digits only in the three numeric edits; the quality box takes 1 to 100.
TEST(ImageWindowFreshStart, NumericFieldsRefuseWhatIsNoNumberInTheirRange) {
    auto w = NewWindow();
    for (const char* name : {"edWidth", "edHeight", "edWAngle"}) {
        auto* edit = C<QLineEdit>(w.get(), name);
        ASSERT_NE(edit->validator(), nullptr) << name;
        QString text = QStringLiteral("12a");
        int pos = 0;
        EXPECT_EQ(edit->validator()->validate(text, pos), QValidator::Invalid) << name;
        EXPECT_TRUE(edit->alignment() & Qt::AlignRight) << name;
    }
    ASSERT_NE(C<QComboBox>(w.get(), "cbCompression")->validator(), nullptr);
    for (const char* wrong : {"abc", "250", "0", "-1", "5.5"}) {
        QString text = QString::fromLatin1(wrong);
        int pos = 0;
        EXPECT_NE(C<QComboBox>(w.get(), "cbCompression")->validator()->validate(text, pos),
                  QValidator::Acceptable)
            << wrong;
    }
}

TEST(ImageWindow, ResizeEnablingRules) {
    auto w = NewWindow();
    auto* resize = C<QCheckBox>(w.get(), "chkResize");
    auto* panel = C<QWidget>(w.get(), "pnlResize");
    auto* mode = C<QComboBox>(w.get(), "cbStretchMode");
    auto* chkWidth = C<QCheckBox>(w.get(), "chkWidth");
    auto* chkHeight = C<QCheckBox>(w.get(), "chkHeight");
    auto* edWidth = C<QLineEdit>(w.get(), "edWidth");
    auto* edHeight = C<QLineEdit>(w.get(), "edHeight");

    // Off at creation: the panel and everything in it.
    EXPECT_FALSE(panel->isEnabledTo(w.get()));
    EXPECT_FALSE(mode->isEnabledTo(panel));
    EXPECT_FALSE(chkWidth->isEnabledTo(panel));
    EXPECT_FALSE(chkHeight->isEnabledTo(panel));

    resize->setChecked(true);
    EXPECT_TRUE(panel->isEnabled());
    EXPECT_TRUE(mode->isEnabled());
    EXPECT_TRUE(edWidth->isEnabled());
    chkWidth->setChecked(false);
    EXPECT_FALSE(edWidth->isEnabledTo(panel));
    EXPECT_TRUE(edHeight->isEnabled());

    // Ticking Resize again re-enables the edits only where their boxes are ticked.
    resize->setChecked(false);
    EXPECT_FALSE(mode->isEnabledTo(panel));
    resize->setChecked(true);
    EXPECT_FALSE(edWidth->isEnabledTo(panel));
    EXPECT_TRUE(edHeight->isEnabledTo(panel));

    // An edit's own state follows its box even inside a disabled panel, where it takes no input.
    resize->setChecked(false);
    chkWidth->setChecked(true);
    EXPECT_TRUE(edWidth->isEnabledTo(panel));
    EXPECT_FALSE(edWidth->isEnabled());
}

TEST(ImageWindow, WatermarkEnablingRules) {
    auto w = NewWindow();
    auto* watermark = C<QCheckBox>(w.get(), "chkWatermark");
    auto* wpanel = C<QWidget>(w.get(), "pnlWatermark");
    auto* rotate = C<QCheckBox>(w.get(), "chkWAngle");
    auto* angle = C<QLineEdit>(w.get(), "edWAngle");
    for (const char* name :
         {"edWatermarkText", "btnWatermarkText", "cbWAlignment", "cbWPosition", "chkWAngle"})
        EXPECT_FALSE(C<QWidget>(w.get(), name)->isEnabledTo(wpanel)) << name;
    watermark->setChecked(true);
    for (const char* name :
         {"edWatermarkText", "btnWatermarkText", "cbWAlignment", "cbWPosition", "chkWAngle"})
        EXPECT_TRUE(C<QWidget>(w.get(), name)->isEnabled()) << name;
    EXPECT_FALSE(angle->isEnabled()); // the rotate rule ran after the panel's
    rotate->setChecked(true);
    EXPECT_TRUE(angle->isEnabled());
    watermark->setChecked(false);
    watermark->setChecked(true);
    EXPECT_TRUE(angle->isEnabled());
}

TEST(ImageWindow, OptionsPageShowsOnlyThePanelOfTheDestination) {
    auto w = NewWindow();
    auto* rg = C<TRadioGroup>(w.get(), "rgDestination");
    auto* options = C<QWidget>(w.get(), "tsOptions");
    const char* panels[3] = {"gbBitmap", "gbJPEG", "gbGIF"};
    for (int destination = 0; destination < 6; ++destination) {
        w->SetPage(3);
        rg->SetItemIndex(destination);
        w->SetPage(4);
        ASSERT_EQ(w->CurrentPage(), 4);
        for (int p = 0; p < 3; ++p)
            EXPECT_EQ(C<QWidget>(w.get(), panels[p])->isVisibleTo(options), p == destination)
                << panels[p] << " for destination " << destination;
        EXPECT_TRUE(C<QWidget>(w.get(), "pnlResize")->isVisibleTo(options));
        EXPECT_TRUE(C<QWidget>(w.get(), "pnlWatermark")->isVisibleTo(options));
    }
    // The list popup acts on the source formats while the Source page is current.
    w->SetPage(2);
    EXPECT_EQ(w->GetSelectionList(), C<QTreeWidget>(w.get(), "lvImageFormats"));
    w->SetPage(3);
    EXPECT_EQ(w->GetSelectionList(), C<QTreeWidget>(w.get(), "lvFileName"));
}

TEST(ImageWindow, SourceFormatSwitchTicksTheExtensionsItNames) {
    struct TCase {
        const char* Arg;
        std::vector<std::string> Ticked;
    } cases[] = {
        {"/SRCFORMAT=.gif", {".gif"}},
        {"/srcformat=*.TIF", {".tif"}},
        {"/SRCFORMAT=jpg png", {".jpg", ".png"}},
        {"/SRCFORMAT=JPG,png", {".jpg", ".png"}},
        {"/SRCFORMAT=*.jpg;*.png", {".jpg", ".png"}},
        {"/SRCFORMAT=.jpg.png", {".jpg", ".png"}},
        // Each extension stands for itself: .jpeg is not .jpe.
        {"/SRCFORMAT=*.jpeg", {".jpeg"}},
    };
    for (const TCase& c : cases) {
        auto w = NewWindow();
        w->ProcessCommandLine({c.Arg});
        EXPECT_EQ(TickedRows(w.get()), c.Ticked) << c.Arg;
        EXPECT_EQ(w->ExitCode(), 0);
    }
    // An extension no reader has, or none at all, fails the run and changes nothing.
    for (const char* bad : {"/SRCFORMAT=*.xyz", "/SRCFORMAT=jpg;xyz", "/SRCFORMAT="}) {
        auto w = NewWindow();
        const std::vector<std::string> before = TickedRows(w.get());
        w->ProcessCommandLine({bad, "/EXECUTE"});
        EXPECT_EQ(TickedRows(w.get()), before) << bad;
        EXPECT_EQ(w->ExitCode(), 1) << bad;
    }
}

TEST(ImageWindow, AcceptFileMatchesTickedExtensionsIgnoringCase) {
    auto w = NewWindow();
    EXPECT_TRUE(w->AcceptFile("photo.JPG"));
    EXPECT_FALSE(w->AcceptFile("photo.jpg.bak"));
    EXPECT_TRUE(w->AcceptFile("/pictures/2024/scan.Tiff"));
    EXPECT_FALSE(w->AcceptFile("notes.txt"));
    EXPECT_FALSE(w->AcceptFile("jpg"));
    w->ProcessCommandLine({"/SRCFORMAT=*.png"});
    EXPECT_FALSE(w->AcceptFile("photo.jpg"));
    EXPECT_TRUE(w->AcceptFile("a.b.PNG"));
    // A value naming no format is refused and changes nothing.
    w->ProcessCommandLine({"/SRCFORMAT="});
    EXPECT_TRUE(w->AcceptFile("a.png"));
}

// Every option set away from its default, saved, and read back by a new window.
class ImageWindowSettingsRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        Font.Name = "DejaVu Serif";
        Font.Charset = 0;
        Font.Color = 0x0000FF;
        Font.Size = 14;
        Font.Style = fsBold | fsItalic;
        {
            auto w = NewWindow();
            C<QCheckBox>(w.get(), "chkResize")->setChecked(true);
            C<QComboBox>(w.get(), "cbStretchMode")->setCurrentIndex(1);
            C<QCheckBox>(w.get(), "chkWidth")->setChecked(false);
            C<QLineEdit>(w.get(), "edWidth")->setText("25");
            C<QLineEdit>(w.get(), "edHeight")->setText("");
            C<QComboBox>(w.get(), "cbPixelFormat")->setCurrentIndex(6);
            C<QComboBox>(w.get(), "cbCompression")->setCurrentText("high");
            C<QComboBox>(w.get(), "cbGIFColorReduction")->setCurrentIndex(0);
            C<QComboBox>(w.get(), "cbMetadata")->setCurrentIndex(2);
            C<QCheckBox>(w.get(), "chkWatermark")->setChecked(true);
            C<QLineEdit>(w.get(), "edWatermarkText")->setText(QString::fromUtf8("© Kelvane, 2024"));
            w->SetWatermarkFont(Font, 0x00FFFF);
            C<QComboBox>(w.get(), "cbWAlignment")->setCurrentIndex(2);
            C<QComboBox>(w.get(), "cbWPosition")->setCurrentIndex(1);
            C<QCheckBox>(w.get(), "chkWAngle")->setChecked(true);
            C<QLineEdit>(w.get(), "edWAngle")->setText("45");
            C<TRadioGroup>(w.get(), "rgDestination")->SetItemIndex(2);
            w->ProcessCommandLine({"/SRCFORMAT=*.png;*.gif;*.tiff"});
            C<QCheckBox>(w.get(), "chkKeepFolders")->setChecked(true);
            C<QCheckBox>(w.get(), "chkKeepBoth")->setChecked(true);
            C<QLineEdit>(w.get(), "edNamePattern")->setText("{n}-{name}");
            w->SaveSettings();
        }
        W = NewWindow();
        W->LoadSettings();
    }

    TPrivateSettings Settings;
    TFontDescription Font;
    std::unique_ptr<TfrmMain> W;
};

TEST_F(ImageWindowSettingsRoundTrip, KeysGoToTheirSectionsAfterTheFrameworks) {
    TIniFile ini(Settings.SettingsFile());
    EXPECT_EQ(ini.ReadSections(),
              (std::vector<std::string>{"General", "Log", "Image", "Bitmap", "Jpeg", "GIF",
                                        "Watermark", "SourceFormat"}));
    EXPECT_EQ(ini.ReadSection("SourceFormat").size(), 27u);
    // A quality text that is no number is stored as what it means.
    EXPECT_EQ(ini.ReadString("Jpeg", "Compression", ""), "100");
    EXPECT_EQ(ini.ReadString("Watermark", "Font", ""), "DejaVu Serif,0,255,14,3,65535");
    EXPECT_EQ(ini.ReadString("Image", "Height", "?"), "");
    EXPECT_EQ(ini.ReadString("Image", "Metadata", ""), "nolocation");
    EXPECT_EQ(ini.ReadString("General", "ExistingFiles", ""), "rename");
}

TEST_F(ImageWindowSettingsRoundTrip, ResizeAndFormatOptionsComeBack) {
    QWidget* w = W.get();
    EXPECT_TRUE(C<QCheckBox>(w, "chkResize")->isChecked());
    EXPECT_EQ(C<QComboBox>(w, "cbStretchMode")->currentIndex(), 1);
    EXPECT_FALSE(C<QCheckBox>(w, "chkWidth")->isChecked());
    EXPECT_FALSE(C<QLineEdit>(w, "edWidth")->isEnabledTo(C<QWidget>(w, "pnlResize")));
    EXPECT_EQ(C<QLineEdit>(w, "edWidth")->text(), "25");
    EXPECT_EQ(C<QLineEdit>(w, "edHeight")->text(), "");
    EXPECT_EQ(C<QComboBox>(w, "cbPixelFormat")->currentIndex(), 6);
    EXPECT_EQ(C<QComboBox>(w, "cbCompression")->currentText(), "100");
    EXPECT_EQ(C<QComboBox>(w, "cbGIFColorReduction")->currentIndex(), 0);
    EXPECT_EQ(W->ReadOptions().Metadata, TMetadataMode::NoLocation);
}

TEST_F(ImageWindowSettingsRoundTrip, TheWatermarkComesBackWithItsFont) {
    QWidget* w = W.get();
    EXPECT_TRUE(C<QWidget>(w, "pnlWatermark")->isEnabled());
    EXPECT_EQ(C<QLineEdit>(w, "edWatermarkText")->text(), QString::fromUtf8("© Kelvane, 2024"));
    EXPECT_EQ(W->WatermarkFont(), Font);
    EXPECT_EQ(W->WatermarkBackground(), 0x00FFFF);
    EXPECT_EQ(C<QComboBox>(w, "cbWAlignment")->currentIndex(), 2);
    EXPECT_EQ(C<QComboBox>(w, "cbWPosition")->currentIndex(), 1);
    EXPECT_TRUE(C<QLineEdit>(w, "edWAngle")->isEnabled());
    EXPECT_EQ(C<QLineEdit>(w, "edWAngle")->text(), "45");
}

// The font is named in a field of the window's size, in the watermark's colours.
TEST_F(ImageWindowSettingsRoundTrip, TheWatermarkFontIsNamedAtTheWindowsSize) {
    QWidget* w = W.get();
    auto* shown = C<QLabel>(w, "lblWatermarkFont");
    EXPECT_EQ(shown->toolTip(), "DejaVu Serif, 14 pt, bold italic");
    EXPECT_TRUE(shown->text().startsWith("DejaVu"));
    EXPECT_LE(shown->sizeHint().width(), shown->width());
    EXPECT_EQ(shown->font().pointSize(), w->font().pointSize());
    EXPECT_EQ(C<QLineEdit>(w, "edWatermarkText")->font().pointSize(), w->font().pointSize());
    EXPECT_EQ(shown->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(shown->palette().color(QPalette::Window), QColor(255, 255, 0));
}

TEST_F(ImageWindowSettingsRoundTrip, SourceAndDestinationChoicesComeBack) {
    QWidget* w = W.get();
    EXPECT_EQ(C<TRadioGroup>(w, "rgDestination")->ItemIndex(), 2);
    EXPECT_EQ(TickedRows(w), (std::vector<std::string>{".tiff", ".gif", ".png"}));
    EXPECT_TRUE(C<QCheckBox>(w, "chkKeepFolders")->isChecked());
    EXPECT_TRUE(C<QCheckBox>(w, "chkKeepBoth")->isChecked());
    EXPECT_FALSE(C<QCheckBox>(w, "chkOverwrite")->isEnabled());
    EXPECT_EQ(C<QLineEdit>(w, "edNamePattern")->text(), "{n}-{name}");
}

TEST(ImageWindow, SettingsFileWithStrayKeysAndOutOfRangeIndexes) {
    TPrivateSettings settings;
    CreateFolderPath(settings.SettingsFolder());
    WriteText(settings.SettingsFile(), "[General]\nDestinationFormat=9\n"
                                       "[Bitmap]\nPixelFormat=12\n"
                                       "[Image]\nStretchMode=-3\n"
                                       "[Watermark]\nAlignment=0x2\nAngle=abc\nFont=Arial,x\n"
                                       "[SourceFormat]\n.xyz=1\n.bmp=0\n.PNG=0\n.gif=yes\n");
    auto w = NewWindow();
    C<QComboBox>(w.get(), "cbGIFColorReduction")->setCurrentIndex(2);
    C<QLineEdit>(w.get(), "edWAngle")->setText("30");
    w->LoadSettings();
    EXPECT_EQ(C<TRadioGroup>(w.get(), "rgDestination")->ItemIndex(), dfJXL);
    EXPECT_EQ(C<QComboBox>(w.get(), "cbPixelFormat")->currentIndex(), -1);
    // A stretch mode outside the list resizes nothing.
    EXPECT_FALSE(C<QCheckBox>(w.get(), "chkResize")->isChecked());
    EXPECT_EQ(C<QComboBox>(w.get(), "cbWAlignment")->currentIndex(), 2);
    // A missing colour reduction reads as 7, whatever the list showed.
    EXPECT_EQ(C<QComboBox>(w.get(), "cbGIFColorReduction")->currentIndex(), 7);
    // A stored angle that is no number gives the edit's own value.
    EXPECT_EQ(C<QLineEdit>(w.get(), "edWAngle")->text(), "30");
    // Font fields before the damage apply; the rest stays.
    EXPECT_EQ(w->WatermarkFont().Name, "Arial");
    EXPECT_EQ(w->WatermarkFont().Size, 8);
    std::vector<std::string> ticked = TickedRows(w.get());
    EXPECT_EQ(ticked.size(), 25u);
    EXPECT_EQ(std::find(ticked.begin(), ticked.end(), ".png"), ticked.end()); // key case ignored
    EXPECT_NE(std::find(ticked.begin(), ticked.end(), ".gif"), ticked.end()); // "yes" is no number

    // Without a list selection the conversion is refused, never a file of some other kind.
    EXPECT_EQ(w->ReadOptions().PixelFormat, pfCustom);

    // Writing erases the section first: the row that is not registered disappears.
    w->SaveSettings();
    TIniFile ini(settings.SettingsFile());
    EXPECT_FALSE(ini.ValueExists("SourceFormat", ".xyz"));
    EXPECT_EQ(ini.ReadSection("SourceFormat").size(), 27u);
    EXPECT_EQ(ini.ReadInteger("Watermark", "Angle", -1), 30);
}

TEST(ImageWindow, AlignmentItemsAreDrawnWithTheirPictures) {
    auto w = NewWindow();
    const std::vector<QPixmap>& images = w->AlignmentImages();
    ASSERT_EQ(images.size(), 3u);
    EXPECT_NE(images[0].toImage(), images[1].toImage());
    EXPECT_NE(images[1].toImage(), images[2].toImage());
    EXPECT_EQ(C<QComboBox>(w.get(), "cbWAlignment")->view()->sizeHintForRow(0), 16);

    QPalette palette;
    palette.setColor(QPalette::Base, Qt::white);
    auto render = [&](int index, bool enabled) {
        QImage canvas(120, 16, QImage::Format_ARGB32);
        canvas.fill(Qt::black);
        QPainter p(&canvas);
        DrawAlignmentItem(p, QRect(0, 0, 120, 16), index, QStringLiteral("center"), images, palette,
                          enabled, false);
        p.end();
        return canvas;
    };
    for (int index = 0; index < 3; ++index) {
        QImage canvas = render(index, true);
        QImage picture = images[static_cast<size_t>(index)].toImage();
        int painted = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) {
                if (qAlpha(picture.pixel(x, y)) != 255) continue;
                ++painted;
                EXPECT_EQ(canvas.pixel(x + 1, y + 1), picture.pixel(x, y));
            }
        EXPECT_GT(painted, 20);
        EXPECT_EQ(canvas.pixel(0, 0), qRgb(255, 255, 255)); // the background is filled
        EXPECT_NE(render(index, false), canvas);            // greyed when disabled
    }
    // No picture for an index without one: only the background and the text.
    QImage none = render(3, true);
    for (int y = 1; y < 15; ++y)
        EXPECT_EQ(none.pixel(1, y), qRgb(255, 255, 255));
}

TEST(ImageWindowOptionSwitches, SetTheControls) {
    auto w = NewWindow();
    w->ProcessCommandLine({"/resize=800x", "/PIXELFORMAT=pf24bit", "/QUALITY=50",
                           "/COLORREDUCTION=mono", "/NOOVERRIDE", "/metadata=Strip"});
    TConvertOptions o = w->ReadOptions();
    EXPECT_TRUE(o.Resize);
    EXPECT_EQ(o.StretchMode, smPixels);
    EXPECT_TRUE(o.UseWidth);
    EXPECT_EQ(o.Width, 800);
    EXPECT_FALSE(o.UseHeight);
    EXPECT_EQ(o.PixelFormat, pf24bit);
    EXPECT_EQ(o.Quality, 50);
    EXPECT_EQ(o.ColorReduction, ReduceMonochrome);
    EXPECT_EQ(o.Metadata, TMetadataMode::Strip);
    EXPECT_FALSE(C<QCheckBox>(w.get(), "chkOverwrite")->isChecked());
    EXPECT_TRUE(C<QWidget>(w.get(), "cbStretchMode")->isEnabled());
    EXPECT_FALSE(C<QWidget>(w.get(), "edHeight")->isEnabled());
}

TEST(ImageWindowOptionSwitches, EveryResizeFormSetsModeAndSides) {
    struct TResize {
        const char* Arg;
        int Mode;
        const char* Width; // nullptr: side unticked
        const char* Height;
    } resizes[] = {
        {"/RESIZE=x600", smPixels, nullptr, "600"}, {"/RESIZE=640x480px", smPixels, "640", "480"},
        {"/RESIZE=50%", smPercent, "50", "50"},     {"/RESIZE=50x25%", smPercent, "50", "25"},
        {"/RESIZE=x10%", smPercent, nullptr, "10"},
    };
    for (const TResize& r : resizes) {
        auto v = NewWindow();
        v->ProcessCommandLine({r.Arg});
        TConvertOptions ro = v->ReadOptions();
        EXPECT_TRUE(ro.Resize) << r.Arg;
        EXPECT_EQ(ro.StretchMode, r.Mode) << r.Arg;
        EXPECT_EQ(ro.UseWidth, r.Width != nullptr) << r.Arg;
        if (r.Width) {
            EXPECT_EQ(SideText(ro.Width), r.Width) << r.Arg;
        }
        EXPECT_EQ(ro.UseHeight, r.Height != nullptr) << r.Arg;
        if (r.Height) {
            EXPECT_EQ(SideText(ro.Height), r.Height) << r.Arg;
        }
    }
}

// "off" clears an earlier resize; stored-style indexes name the same choices.
TEST(ImageWindowOptionSwitches, ResizeOffAndNumericIndexes) {
    auto off = NewWindow();
    off->ProcessCommandLine({"/RESIZE=50%", "/RESIZE=off", "/PIXELFORMAT=1", "/COLORREDUCTION=8"});
    EXPECT_FALSE(off->ReadOptions().Resize);
    EXPECT_EQ(off->ReadOptions().PixelFormat, pf1bit);
    EXPECT_EQ(off->ReadOptions().ColorReduction, ReduceOptimalSystem);
}

TEST(ImageWindow, OptionValuesThatNameNothingFailAnUnattendedRun) {
    const char* bad[] = {"/RESIZE=800",
                         "/RESIZE=x",
                         "/RESIZE=",
                         "/RESIZE=8a0x600",
                         "/RESIZE=-5x",
                         "/RESIZE=99999999999x",
                         "/PIXELFORMAT=pf64bit",
                         "/PIXELFORMAT=8",
                         "/QUALITY=0",
                         "/QUALITY=101",
                         "/QUALITY=high",
                         "/QUALITY= 50",
                         "/COLORREDUCTION=10",
                         "/COLORREDUCTION=gray",
                         "/METADATA=none",
                         "/METADATA=",
                         "/SETTINGS=/nonexistent/a.ini"};
    for (const char* arg : bad) {
        auto w = NewWindow();
        const TConvertOptions before = w->ReadOptions();
        testing::internal::CaptureStderr();
        w->ProcessCommandLine({arg, "/EXECUTE"});
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(w->ExitCode(), 1) << arg;
        EXPECT_NE(err.find("trevasco: "), std::string::npos) << arg;
        // The refused value changed nothing.
        const TConvertOptions after = w->ReadOptions();
        EXPECT_EQ(after.Resize, before.Resize) << arg;
        EXPECT_EQ(after.PixelFormat, before.PixelFormat) << arg;
        EXPECT_EQ(after.Quality, before.Quality) << arg;
        EXPECT_EQ(after.ColorReduction, before.ColorReduction) << arg;
        EXPECT_EQ(after.Metadata, before.Metadata) << arg;
    }
    // Interactively the same value is shown in a message box once the window is up.
    auto w = NewWindow();
    w->ProcessCommandLine({"/QUALITY=abc"});
    EXPECT_EQ(w->ExitCode(), 0);
    TMessageBoxWatcher boxes;
    for (int i = 0; i < 20 && boxes.Texts.isEmpty(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_TRUE(boxes.Texts[0].contains(QStringLiteral("/QUALITY=abc")));
}

// A window set up with most switches, and what its Log page's line gives.
class ImageWindowEquivalentCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        W = NewWindow();
        W->ProcessCommandLine({"/SRC=" + Tmp.File("my pictures"), "/DST=" + Tmp.File("out"),
                               "/MASK=*.p*", "/SUBDIR", "/LOGFILE=" + Tmp.File("it's.log"),
                               "/DSTFORMAT=gif", "/SRCFORMAT=*.png;*.bmp", "/RESIZE=x25%",
                               "/PIXELFORMAT=pf8bit", "/COLORREDUCTION=web216", "/RENAME",
                               "/KEEPFOLDERS", "/NAME={name}-{n}", "/METADATA=nolocation"});
        C<QComboBox>(W.get(), "cbCompression")
            ->setCurrentText("300"); // the encoder uses 300 & 255 = 44
        Args = W->EquivalentArguments();
        ASSERT_EQ(Args.back(), "/EXECUTE");
        Args.pop_back();
    }

    bool Names(const std::string& arg) const {
        return std::find(Args.begin(), Args.end(), arg) != Args.end();
    }

    TTempFolder Tmp;
    std::unique_ptr<TfrmMain> W;
    std::vector<std::string> Args;
};

// A GIF destination has no quality, no bitmap pixel format and holds no metadata.
TEST_F(ImageWindowEquivalentCommandLine, LeavesOutWhatTheDestinationIgnores) {
    EXPECT_FALSE(Names("/QUALITY=44"));
    EXPECT_FALSE(Names("/PIXELFORMAT=pf8bit"));
    EXPECT_FALSE(Names("/METADATA=nolocation"));
}

TEST_F(ImageWindowEquivalentCommandLine, RecreatesTheJobInANewWindow) {
    auto v = NewWindow();
    v->ProcessCommandLine(Args);
    EXPECT_EQ(v->ExitCode(), 0);
    TConvertOptions a = W->ReadOptions(), b = v->ReadOptions();
    EXPECT_EQ(b.Destination, a.Destination);
    EXPECT_EQ(b.Resize, a.Resize);
    EXPECT_EQ(b.StretchMode, a.StretchMode);
    EXPECT_EQ(b.UseWidth, a.UseWidth);
    EXPECT_EQ(b.UseHeight, a.UseHeight);
    EXPECT_EQ(b.Height, a.Height);
    EXPECT_EQ(b.ColorReduction, a.ColorReduction);
    EXPECT_EQ(TickedRows(v.get()), TickedRows(W.get()));
    for (const char* name :
         {"edSourceName", "edDestinationName", "edSourceWildcard", "edLogProcessed"})
        EXPECT_EQ(C<QLineEdit>(v.get(), name)->text(), C<QLineEdit>(W.get(), name)->text()) << name;
    EXPECT_EQ(C<QLineEdit>(v.get(), "edNamePattern")->text(), "{name}-{n}");
    for (const char* name :
         {"chkSubFolders", "chkOverwrite", "chkLogProcessed", "chkKeepFolders", "chkKeepBoth"})
        EXPECT_EQ(C<QCheckBox>(v.get(), name)->isChecked(),
                  C<QCheckBox>(W.get(), name)->isChecked())
            << name;
}

// One shell line: arguments with blanks or quotes are quoted; the Log page shows it.
TEST_F(ImageWindowEquivalentCommandLine, IsOneQuotedShellLineShownOnTheLogPage) {
    const std::string line = W->EquivalentCommandLine();
    EXPECT_NE(line.find("'/SRC=" + Tmp.File("my pictures") + "'"), std::string::npos) << line;
    EXPECT_NE(line.find("'/LOGFILE=" + Tmp.File("it'\\''s.log") + "'"), std::string::npos) << line;
    EXPECT_NE(line.find(" /EXECUTE"), std::string::npos);
    W->SetPage(6);
    EXPECT_EQ(C<QLineEdit>(W.get(), "edCommandLine")->text().toStdString(), line);
    C<QPushButton>(W.get(), "btnCopyCommandLine")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), line);
}

TEST(ImageWindow, AFreshWindowsJobNeedsNothingButExecute) {
    auto fresh = NewWindow();
    EXPECT_EQ(fresh->EquivalentArguments(), std::vector<std::string>{"/EXECUTE"});
}

TEST(ImageWindow, BestColourReductionIsTheNewDefaultAndStoredOnesKeepTheirMeaning) {
    TPrivateSettings settings;
    // No settings file: the window's first start takes the best quality.
    {
        auto w = NewWindow();
        w->LoadSettings();
        EXPECT_EQ(w->ReadOptions().ColorReduction, ColorReductionFromIndex(9));
        auto* list = C<QComboBox>(w.get(), "cbGIFColorReduction");
        ASSERT_EQ(list->count(), 10);
        EXPECT_EQ(list->itemText(7).toStdString(), "optimal 2^n color palette");
    }
    // A file written before keeps the octree, stored or left out.
    CreateFolderPath(settings.SettingsFolder());
    WriteText(settings.SettingsFile(), "[GIF]\nColorReduction=7\n");
    {
        auto w = NewWindow();
        w->LoadSettings();
        EXPECT_EQ(w->ReadOptions().ColorReduction, ColorReductionFromIndex(7));
        // The octree differs from the default now, so the line names it for a GIF destination.
        C<TRadioGroup>(w.get(), "rgDestination")->SetItemIndex(dfGIF);
        const auto args = w->EquivalentArguments();
        EXPECT_NE(std::find(args.begin(), args.end(), "/COLORREDUCTION=optimal"), args.end());
    }
    WriteText(settings.SettingsFile(), "[Jpeg]\nCompression=80\n");
    {
        auto w = NewWindow();
        w->LoadSettings();
        EXPECT_EQ(w->ReadOptions().ColorReduction, ColorReductionFromIndex(7));
    }
    // The switch by name and number; the default needs no switch.
    for (const char* arg : {"/COLORREDUCTION=best", "/COLORREDUCTION=BEST", "/COLORREDUCTION=9"}) {
        auto w = NewWindow();
        w->ProcessCommandLine({"/COLORREDUCTION=optimal", arg});
        EXPECT_EQ(w->ExitCode(), 0) << arg;
        EXPECT_EQ(w->ReadOptions().ColorReduction, ColorReductionFromIndex(9)) << arg;
        EXPECT_EQ(w->EquivalentArguments(), std::vector<std::string>{"/EXECUTE"}) << arg;
    }
}

TEST(ImageWindow, HelpListsEverySwitch) {
    const std::string help = TfrmMain::CommandLineHelp();
    for (const char* s :
         {"/SRC=", "/SUBDIR", "/MASK=", "/DST=", "/OVERRIDE", "/NOOVERRIDE",
          "/LOGFILE=", "/DSTFORMAT=", "/SRCFORMAT=", "/SETTINGS=", "/RESIZE=", "/PIXELFORMAT=",
          "/QUALITY=", "/COLORREDUCTION=", "/METADATA=", "/EXECUTE", "--help"})
        EXPECT_NE(help.find(s), std::string::npos) << s;
    for (const char* name : ColorReductionNames)
        EXPECT_NE(help.find(name), std::string::npos) << name;
    for (const char* name : MetadataNames)
        EXPECT_NE(help.find(name), std::string::npos) << name;
}

TEST(ImageWindow, MetadataKeyIsWrittenOnlyOnceItDiffersAndThenStaysTrue) {
    TPrivateSettings settings;
    {
        auto w = NewWindow();
        w->SaveSettings();
    }
    EXPECT_FALSE(TIniFile(settings.SettingsFile()).ValueExists("Image", "Metadata"));
    {
        auto w = NewWindow();
        w->ProcessCommandLine({"/METADATA=strip"});
        w->SaveSettings();
    }
    EXPECT_EQ(TIniFile(settings.SettingsFile()).ReadString("Image", "Metadata", ""), "strip");
    {
        // Back to keep: the key says so, instead of leaving "strip" behind.
        auto w = NewWindow();
        w->LoadSettings();
        EXPECT_EQ(w->ReadOptions().Metadata, TMetadataMode::Strip);
        C<QComboBox>(w.get(), "cbMetadata")->setCurrentIndex(0);
        w->SaveSettings();
    }
    EXPECT_EQ(TIniFile(settings.SettingsFile()).ReadString("Image", "Metadata", ""), "keep");
    // A name the program does not know keeps everything.
    TIniFile(settings.SettingsFile()).WriteString("Image", "Metadata", "some");
    auto w = NewWindow();
    w->ProcessCommandLine({"/METADATA=strip"});
    w->LoadSettings();
    EXPECT_EQ(w->ReadOptions().Metadata, TMetadataMode::Keep);
}
