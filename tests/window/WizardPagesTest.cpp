// SPDX-License-Identifier: GPL-3.0-or-later
// The image window's pages as a user meets them: what a page refuses before it
// is left, the File list keeping the user's ticks, the quality field, presets
// with their mask, and the window's size on small and scaled screens.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "util/IniFile.h"
#include "window/WindowUtils.h"
#include "window/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class TPagesWindow : public TfrmMain {
public:
    using TfrmMain::SetPage;
};

class WizardPages : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        static bool formats = false;
        if (!formats) RegisterImageFormats();
        formats = true;
        fs::create_directory(In);
        for (const char* name : {"a.bmp", "b.bmp", "c.png", "notes.txt"})
            std::ofstream(In + "/" + name) << "x";
    }

    std::unique_ptr<TPagesWindow> Open(std::vector<std::string> args = {}) {
        auto w = std::make_unique<TPagesWindow>();
        args.insert(args.begin(), {"/SRC=" + In, "/DST=" + Tmp.File("out")});
        w->ProcessCommandLine(args);
        return w;
    }

    // Next as the user presses it; the texts of the message boxes it raised.
    QStringList Next(TfrmMainBasic& w) {
        TMessageBoxWatcher boxes;
        Child<QPushButton>(&w, "btnNext")->click();
        return boxes.Texts;
    }
    void Back(TfrmMainBasic& w) { Child<QPushButton>(&w, "btnPrev")->click(); }
    void NextTo(TfrmMainBasic& w, int page) {
        while (w.CurrentPage() < page) {
            const int before = w.CurrentPage();
            EXPECT_TRUE(Next(w).isEmpty());
            if (w.CurrentPage() == before) break;
        }
        ASSERT_EQ(w.CurrentPage(), page);
    }

    TPrivateSettings Settings;
    TTempFolder Tmp;
    std::string In = Tmp.File("in");
};

// "name" -> ticked, for the File list.
std::map<std::string, bool> Ticks(QWidget* w) {
    std::map<std::string, bool> ticks;
    auto* list = Child<QTreeWidget>(w, "lvFileName");
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        ticks[list->topLevelItem(i)->text(flcName).toStdString()] =
            list->topLevelItem(i)->checkState(flcName) == Qt::Checked;
    return ticks;
}

void Tick(QWidget* w, const char* name, bool on) {
    auto* list = Child<QTreeWidget>(w, "lvFileName");
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(flcName) == QLatin1String(name))
            list->topLevelItem(i)->setCheckState(flcName, on ? Qt::Checked : Qt::Unchecked);
}

using TTicks = std::map<std::string, bool>;

} // namespace

TEST_F(WizardPages, FileListKeepsTheUsersTicksUntilTheSearchChanges) {
    auto w = Open();
    NextTo(*w, 5);
    EXPECT_EQ(Ticks(w.get()),
              (TTicks{{"a.bmp", true}, {"b.bmp", true}, {"c.png", true}, {"notes.txt", false}}));
    auto* count = Child<QLabel>(w.get(), "lblFileCount");
    EXPECT_EQ(count->text(), "4 files, 3 ticked");
    Tick(w.get(), "b.bmp", false);
    Tick(w.get(), "notes.txt", true);
    QTest::qWait(1);
    EXPECT_EQ(count->text(), "4 files, 3 ticked");
    Tick(w.get(), "a.bmp", false);
    QTest::qWait(1);
    EXPECT_EQ(count->text(), "4 files, 2 ticked");
    Tick(w.get(), "a.bmp", true);

    // Back to the destination page and forward again: the same search, the same ticks;
    // a file that appeared meanwhile comes in with the filter's tick.
    Back(*w);
    Back(*w);
    std::ofstream(In + "/d.bmp") << "x";
    NextTo(*w, 5);
    EXPECT_EQ(Ticks(w.get()), (TTicks{{"a.bmp", true},
                                      {"b.bmp", false},
                                      {"c.png", true},
                                      {"d.bmp", true},
                                      {"notes.txt", true}}));
    // The run takes what is ticked (the filter still refuses the text file).
    NextTo(*w, 6);
    EXPECT_EQ(Rows(Child<QTreeWidget>(w.get(), "lvProgress"), {pcFileName}),
              (std::vector<std::string>{In + "/a.bmp", In + "/c.png", In + "/d.bmp"}));

    // Each of the folder, mask, sub-folder flag and formats starts the ticks afresh.
    auto* formats = Child<QTreeWidget>(w.get(), "lvImageFormats");
    const std::vector<std::function<void(bool)>> changes = {
        [&](bool on) { Child<QLineEdit>(w.get(), "edSourceWildcard")->setText(on ? "*" : "*.*"); },
        [&](bool on) { Child<QCheckBox>(w.get(), "chkSubFolders")->setChecked(on); },
        [&](bool on) {
            // A format the files do not have: only the filter's key changes.
            const auto gif = formats->findItems(QStringLiteral(".gif"), Qt::MatchExactly, 1);
            ASSERT_EQ(gif.size(), 1);
            gif[0]->setCheckState(0, on ? Qt::Unchecked : Qt::Checked);
        },
        [&](bool on) {
            Child<QLineEdit>(w.get(), "edSourceName")
                ->setText(QString::fromStdString(In + (on ? "/" : "")));
        },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        w->SetPage(4);
        w->SetPage(5);
        Tick(w.get(), "b.bmp", false);
        w->SetPage(4);
        changes[i](true);
        w->SetPage(5);
        EXPECT_TRUE(Ticks(w.get())["b.bmp"]) << "change " << i;
        w->SetPage(4);
        changes[i](false);
    }
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w->close();
}

TEST_F(WizardPages, SourceAndDestinationPagesSayWhatIsWrongBeforeMovingOn) {
    auto w = Open({"/SRC=" + Tmp.File("missing")});
    NextTo(*w, 2);
    QStringList said = Next(*w);
    ASSERT_EQ(said.size(), 1);
    EXPECT_EQ(said[0].toStdString(),
              "The source folder \"" + Tmp.File("missing") + "\" does not exist.");
    EXPECT_EQ(w->CurrentPage(), 2);
    // >> stops there too.
    {
        TMessageBoxWatcher boxes;
        Child<QPushButton>(w.get(), "btnLast")->click();
        EXPECT_EQ(boxes.Texts.size(), 1);
        EXPECT_EQ(w->CurrentPage(), 2);
    }
    Child<QLineEdit>(w.get(), "edSourceName")->setText(QString::fromStdString(In + "/a.bmp"));
    said = Next(*w);
    ASSERT_EQ(said.size(), 1);
    EXPECT_EQ(said[0].toStdString(), "\"" + In + "/a.bmp\" is not a folder.");
    Child<QLineEdit>(w.get(), "edSourceName")->setText(QString::fromStdString(In));
    EXPECT_TRUE(Next(*w).isEmpty());
    ASSERT_EQ(w->CurrentPage(), 3);

    // An empty destination (blanks count as empty) is refused on its page.
    auto* destination = Child<QLineEdit>(w.get(), "edDestinationName");
    for (const char* empty : {"", "  "}) {
        destination->setText(QLatin1String(empty));
        said = Next(*w);
        ASSERT_EQ(said.size(), 1);
        EXPECT_EQ(said[0], "Please enter the destination folder.");
        EXPECT_EQ(w->CurrentPage(), 3);
    }
    destination->setText(QString::fromStdString(Tmp.File("out")));
    EXPECT_TRUE(Next(*w).isEmpty());
    EXPECT_EQ(w->CurrentPage(), 4);
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w->close();
}

TEST_F(WizardPages, JPEGQualityTakesWholeNumbersFromOneToAHundredOnly) {
    auto w = Open({"/DSTFORMAT=jpg"});
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->SetPage(4);
    auto* quality = Child<QComboBox>(w.get(), "cbCompression");
    QLineEdit* edit = quality->lineEdit();
    ASSERT_NE(edit, nullptr);
    const std::pair<const char*, const char*> typed[] = {
        {"abc", "100"}, {"250", "25"}, {"100", "100"}, {"7", "7"}, {"1000", "100"}};
    for (const auto& [keys, kept] : typed) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, QLatin1String(keys));
        EXPECT_EQ(quality->currentText().toStdString(), kept) << keys;
    }
    // Left empty or at 0, the field comes back into the range.
    for (const char* half : {"", "0"}) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, QLatin1String(half));
        // Leaving the field settles it.
        Child<QComboBox>(w.get(), "cbResample")->setFocus();
        ASSERT_FALSE(edit->hasFocus());
        const int value = quality->currentText().toInt();
        EXPECT_GE(value, 1) << '"' << half << '"';
        EXPECT_LE(value, 100) << '"' << half << '"';
    }
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w->close();
}

TEST_F(WizardPages, PresetsCarryTheMaskAndTheUsersFileDoesNot) {
    const std::string preset = Tmp.File("photos.ini");
    {
        auto w = Open({"/MASK=IMG_*.jpg;*.png"});
        w->SaveSettingsTo(preset);
        w->SaveSettings();
    }
    EXPECT_EQ(TIniFile(preset).ReadString("General", "Mask", ""), "IMG_*.jpg;*.png");
    EXPECT_FALSE(TIniFile(Settings.SettingsFile()).ValueExists("General", "Mask"));

    // Read back through File, Load settings and through /SETTINGS=.
    auto loaded = Open();
    loaded->LoadSettingsFrom(preset);
    EXPECT_EQ(Child<QLineEdit>(loaded.get(), "edSourceWildcard")->text(), "IMG_*.jpg;*.png");
    auto run = Open({"/SETTINGS=" + preset});
    EXPECT_EQ(Child<QLineEdit>(run.get(), "edSourceWildcard")->text(), "IMG_*.jpg;*.png");

    // A mask that found its way into the user's file is not read from it.
    TIniFile(Settings.SettingsFile()).WriteString("General", "Mask", "*.gif");
    auto fresh = Open();
    fresh->LoadSettings();
    EXPECT_EQ(Child<QLineEdit>(fresh.get(), "edSourceWildcard")->text(), "*.*");
    // A preset with the usual mask keeps the usual keys.
    const std::string plain = Tmp.File("plain.ini");
    fresh->SaveSettingsTo(plain);
    EXPECT_FALSE(TIniFile(plain).ValueExists("General", "Mask"));
}

TEST_F(WizardPages, AFirstStartLooksInThePicturesFolder) {
    TTempFolder home;
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", home.Path().c_str(), 1);
    auto folders = [this](const std::vector<std::string>& args) {
        TPagesWindow w;
        w.ProcessCommandLine(args);
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        std::pair<std::string, std::string> shown{
            Child<QLineEdit>(&w, "edSourceName")->text().toStdString(),
            Child<QLineEdit>(&w, "edDestinationName")->text().toStdString()};
        TMessageBoxWatcher yes(QMessageBox::Yes);
        w.close();
        fs::remove(Settings.SettingsFile()); // each start is a first start
        return shown;
    };
    // No Pictures folder: home.
    EXPECT_EQ(folders({}), std::pair(home.Path() + "/", home.Path() + "/"));
    fs::create_directory(home.File("Pictures"));
    EXPECT_EQ(folders({}), std::pair(home.Path() + "/Pictures/", home.Path() + "/Pictures/"));
    // The XDG user folder wins, and a switch wins over both.
    fs::create_directory(home.File("Bilder"));
    std::ofstream(Settings.ConfigHome() + "/user-dirs.dirs")
        << "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n";
    EXPECT_EQ(folders({"/DST=" + Tmp.File("out")}),
              std::pair(home.Path() + "/Bilder/", Tmp.File("out")));
    // Not a first start: the folders of the last use.
    {
        TIniFile ini(Settings.SettingsFile());
        ini.WriteString("General", "Source", In);
    }
    TPagesWindow again;
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(Child<QLineEdit>(&again, "edSourceName")->text().toStdString(), In);
    TMessageBoxWatcher yes(QMessageBox::Yes);
    again.close();
    if (oldHome)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST_F(WizardPages, TheWindowGrowsItsListsAndRemembersItsSize) {
    auto w = Open();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    // Smallest, it fits a 1366x768 screen under a panel and a title bar.
    const QSize least = w->size();
    EXPECT_EQ(w->minimumSize(), least);
    EXPECT_LE(least.width(), 1366);
    EXPECT_LE(least.height(), 768 - 80);
    QWidget* client = w->centralWidget();
    auto* files = Child<QTreeWidget>(w.get(), "lvFileName");
    auto* progress = Child<QTreeWidget>(w.get(), "lvProgress");
    auto* formats = Child<QTreeWidget>(w.get(), "lvImageFormats");
    const QSize filesBefore = files->size(), progressBefore = progress->size(),
                formatsBefore = formats->size();
    auto inside = [&](const char* name) {
        auto* b = Child<QPushButton>(w.get(), name);
        return client->rect().contains(b->geometry());
    };
    for (const char* b : {"btnFirst", "btnPrev", "btnNext", "btnLast", "btnCancel"})
        EXPECT_TRUE(inside(b)) << b;

    w->resize(least + QSize(200, 100));
    QTest::qWait(50);
    ASSERT_EQ(w->size(), least + QSize(200, 100));
    // Each page takes the new size when it is shown.
    for (auto [page, list, before] :
         {std::tuple{2, formats, formatsBefore}, std::tuple{5, files, filesBefore},
          std::tuple{6, progress, progressBefore}}) {
        w->SetPage(page);
        QTest::qWait(20);
        EXPECT_EQ(list->size(), before + QSize(200, 100)) << list->objectName().toStdString();
    }
    // The buttons keep to the bottom right corner, the command line under its list.
    auto* cancel = Child<QPushButton>(w.get(), "btnCancel");
    EXPECT_EQ(client->width() - cancel->geometry().right(), 540 - (440 + 88) + 1);
    EXPECT_EQ(client->height() - cancel->geometry().bottom(), 470 - (437 + 25) + 1);
    for (const char* b : {"btnFirst", "btnPrev", "btnNext", "btnLast", "btnCancel"})
        EXPECT_TRUE(inside(b)) << b;
    auto* line = Child<QLineEdit>(w.get(), "edCommandLine");
    EXPECT_GT(line->y(), progress->geometry().bottom());
    EXPECT_LT(line->geometry().bottom(), line->parentWidget()->height());

    // The size is kept in the user's settings and comes back at the next start.
    {
        TMessageBoxWatcher yes(QMessageBox::Yes);
        w->close();
    }
    TIniFile ini(Settings.SettingsFile());
    EXPECT_EQ(ini.ReadInteger("Window", "Width", 0), least.width() + 200);
    EXPECT_EQ(ini.ReadInteger("Window", "Height", 0), least.height() + 100);
    auto again = Open();
    again->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(again.get()));
    EXPECT_EQ(again->size(), least + QSize(200, 100));
    // A preset does not carry it.
    again->SaveSettingsTo(Tmp.File("job.ini"));
    EXPECT_FALSE(TIniFile(Tmp.File("job.ini")).ValueExists("Window", "Width"));
    TMessageBoxWatcher yes(QMessageBox::Yes);
    again->close();
}

TEST_F(WizardPages, HelpContentsOpensTheManualOrSaysWhyNot) {
    // Installed under share/doc beside the program's bin folder, or beside it in a build.
    fs::create_directories(Tmp.File("usr/bin"));
    fs::create_directories(Tmp.File("usr/share/doc/trevasco"));
    EXPECT_EQ(FindManual(Tmp.File("usr/bin")), "");
    std::ofstream(Tmp.File("usr/share/doc/trevasco/trevasco.html")) << "<html></html>";
    EXPECT_EQ(FindManual(Tmp.File("usr/bin") + "/"),
              Tmp.File("usr/bin") + "/../share/doc/trevasco/trevasco.html");
#ifdef TREVASCO_BINARY
    const std::string built = FindManual(fs::path(TREVASCO_BINARY).parent_path().string());
    ASSERT_NE(built, "");
    std::ifstream in(built);
    const std::string html{std::istreambuf_iterator<char>(in), {}};
    for (const char* part : {"<h2>OPTIONS</h2>", "<b>/THREADS=</b>", "<h2>SEE ALSO</h2>"})
        EXPECT_NE(html.find(part), std::string::npos) << part;
#endif
    // The test program has no manual beside it, and this platform no handler:
    // either way the menu says so instead of doing nothing.
    auto w = Open();
    TMessageBoxWatcher boxes;
    Child<QAction>(w.get(), "miHelpContents")->trigger();
    EXPECT_EQ(boxes.Texts.size(), 1);
}

namespace {
// Drops local paths on the window as a file manager would.
void Drop(QWidget* w, const std::vector<std::string>& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& p : paths)
        urls << QUrl::fromLocalFile(QString::fromStdString(p));
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &drop);
}
} // namespace

TEST_F(WizardPages, DroppedFolderOrFilesBecomeTheSource) {
    fs::create_directory(In + "/sub");
    std::ofstream(In + "/sub/e.bmp") << "x";
    auto w = Open({"/MASK=*.gif"});
    Drop(w.get(), {In + "/sub"});
    EXPECT_EQ(w->CurrentPage(), 2);
    EXPECT_EQ(Child<QLineEdit>(w.get(), "edSourceName")->text().toStdString(), In + "/sub");

    // Files: exactly those, whatever the mask; their shared folder is the source.
    Drop(w.get(), {In + "/sub/e.bmp", In + "/a.bmp", In + "/notes.txt"});
    EXPECT_EQ(Child<QLineEdit>(w.get(), "edSourceName")->text().toStdString(), In);
    EXPECT_TRUE(Child<QLabel>(w.get(), "lblDropNote")->isVisibleTo(w.get()));
    NextTo(*w, 5);
    EXPECT_EQ(Ticks(w.get()), (TTicks{{"e.bmp", true}, {"a.bmp", true}, {"notes.txt", false}}));
    // Dropped on the File list, they replace its rows at once.
    Drop(w.get(), {In + "/c.png"});
    EXPECT_EQ(w->CurrentPage(), 5);
    EXPECT_EQ(Ticks(w.get()), (TTicks{{"c.png", true}}));
    NextTo(*w, 6);
    EXPECT_EQ(Rows(Child<QTreeWidget>(w.get(), "lvProgress"), {pcFileName}),
              std::vector<std::string>{In + "/c.png"});

    // A change of the search goes back to searching.
    w->SetPage(2);
    Child<QLineEdit>(w.get(), "edSourceWildcard")->setText("*.bmp");
    EXPECT_FALSE(Child<QLabel>(w.get(), "lblDropNote")->isVisibleTo(w.get()));
    w->SetPage(5);
    EXPECT_EQ(Ticks(w.get()), (TTicks{{"a.bmp", true}, {"b.bmp", true}}));

    // A folder and files together are refused with a word.
    TMessageBoxWatcher boxes;
    Drop(w.get(), {In + "/sub", In + "/a.bmp"});
    EXPECT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(Ticks(w.get()), (TTicks{{"a.bmp", true}, {"b.bmp", true}}));
}
