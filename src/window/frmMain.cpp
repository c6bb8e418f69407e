// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/frmMain.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "batch/SourceScan.h"
#include "batch/Switches.h"
#include "convert/Watermark.h"
#include "formats/FileFormatList.h"
#include "formats/ImageEncoder.h"
#include "util/FileUtils.h"
#include "util/IniFile.h"
#include "util/Wildcard.h"
#include "window/Anchors.h"
#include "window/ImagePreview.h"
#include "window/RadioGroup.h"
#include "window/WindowUtils.h"
#include "window/frmMainAlignment.h"

#include <QCheckBox>
#include <QClipboard>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QValidator>

#include <algorithm>
#include <cmath>
#include <cstring>

const char* const StretchModeItems[3] = {"fixed size in pixels", "resize/stretch in %",
                                         "fit inside width x height"};
const char* const ResampleItems[2] = {"smooth (photos)", "nearest pixel (pixel art)"};
const char* const PixelFormatItems[8] = {"Device",  "1bit",    "pf4bit",  "pf8bit",
                                         "pf15bit", "pf16bit", "pf24bit", "pf32bit"};
const char* const CompressionItems[5] = {"100", "80", "50", "30", "20"};
const char* const ColorReductionItems[10] = {"none",
                                             "Windows 20 color system palette",
                                             "Windows 256 color halftone palette",
                                             "Windows 4 grayscale colors",
                                             "black/white monochrome palette",
                                             "256 shade grayscale palette",
                                             "Netscape 216 color palette",
                                             "optimal 2^n color palette",
                                             "56 color windows palette",
                                             "optimal, best quality"};

const char* const MetadataItems[3] = {"keep", "strip", "keep all but location"};

namespace {

const char* const DestinationItems[9] = {"Bitmaps (*.bmp)",
                                         "JPEG (*.jpg)",
                                         "GIF-images (*.gif)",
                                         "Metafiles (*.wmf)",
                                         "Enhanced metafiles (*.emf)",
                                         "PNG-images (*.png)",
                                         "WebP images (*.webp)",
                                         "AVIF images (*.avif)",
                                         "JPEG XL images (*.jxl)"};

// The effort a combo of the scale shows; -1 (the encoder's default) without a selection.
int EffortOf(const QComboBox* combo, const TEffortScale& scale) {
    return combo->currentIndex() < 0 ? -1 : combo->currentIndex() + scale.Min;
}

// A value outside the scale leaves the list without a selection: the encoder's default.
void SetEffort(QComboBox* combo, const TEffortScale& scale, int32_t value) {
    combo->setCurrentIndex(value < scale.Min || value > scale.Max ? -1 : value - scale.Min);
}

// Defaults of a fresh start; the equivalent command line names what differs.
constexpr int DefaultColorReduction = ReduceBest;

template <class T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// The JPEG quality: whole numbers 1 to 100 only. A value left half-typed (empty,
// 0) is brought into the range when the field is left.
class TQualityValidator : public QValidator {
public:
    explicit TQualityValidator(QObject* parent) : QValidator(parent) {}
    State validate(QString& input, int&) const override {
        if (input.isEmpty()) return Intermediate;
        if (input.size() > 3 ||
            !std::all_of(input.begin(), input.end(), [](QChar c) { return c.isDigit(); }))
            return Invalid;
        const int value = input.toInt();
        return value > 100 ? Invalid : value < 1 ? Intermediate : Acceptable;
    }
    void fixup(QString& input) const override {
        bool ok = false;
        const int value = input.trimmed().toInt(&ok);
        input = QString::number(!ok ? TConvertOptions().Quality : std::clamp(value, 1, 100));
    }
};

std::string Text(const QLineEdit* edit) {
    return edit->text().toUtf8().toStdString();
}

QString QText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

void FillCombo(QComboBox* combo, const char* const* items, int count) {
    for (int i = 0; i < count; ++i)
        combo->addItem(QString::fromLatin1(items[i]));
}

QColor DisplayColor(int32_t color) {
    const TColor rgb = ColorToRGB(static_cast<TColor>(color));
    return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

// One argument for a POSIX shell: as it is when nothing in it is special.
std::string ShellQuote(const std::string& arg) {
    const bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               std::strchr("_/.,:=%+@-", c) != nullptr;
    });
    if (plain) return arg;
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted.push_back(c);
    }
    return quoted + "'";
}

// Puts the widgets one after another in the Tab order, each after the one before.
void ChainFocus(std::initializer_list<QWidget*> widgets) {
    QWidget* previous = nullptr;
    for (QWidget* w : widgets) {
        if (previous && w) QWidget::setTabOrder(previous, w);
        if (w) previous = w;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Creation

TfrmMain::TfrmMain(QWidget* parent) : TfrmMainBasic(parent) {
    setObjectName(QStringLiteral("frmMain"));
    imgAlignment = DrawAlignmentImages();
    CreateOptionControls();

    // FormCreate: the image window's part, after the framework's.
    FillSourceFormats();
    rgDestination->Clear();
    for (const char* item : DestinationItems)
        rgDestination->AddItem(QString::fromLatin1(item));
    rgDestination->SetItemIndex(0);
    // Tab walks each page in reading order. Creation order would put what is made
    // here after the framework's navigation buttons.
    ChainFocus({chkSubFolders, chkKeepFolders, edSourceWildcard, btnTickAllFormats,
                btnTickNoFormats, lvImageFormats});
    // Nine formats need a little more room than the six the page was laid out for:
    // the buttons close up and the group grows into the gaps around it.
    rgDestination->setGeometry(8, 78, 489, 200);
    if (QLayout* buttons = rgDestination->layout()) {
        buttons->setSpacing(0);
        buttons->setContentsMargins(8, 0, 8, 2);
    }
    chkKeepBoth->move(8, 280);
    // What grows with the window; placed after the framework, so anchored again here.
    Anchor(rgDestination, akStretchX, PageDesign);
    Anchor(gbSourceFormats, akStretchX | akStretchY, PageDesign);
    Anchor(btnTickAllFormats, akMoveX, PageDesign);
    Anchor(btnTickNoFormats, akMoveX, PageDesign);
    Anchor(lvImageFormats, akStretchX | akStretchY, gbSourceFormats->size());
    Anchor(lvProgress, akStretchX | akStretchY, PageDesign);
    Anchor(lblCommandLine, akMoveY, PageDesign);
    Anchor(edCommandLine, akStretchX | akMoveY, PageDesign);
    Anchor(btnCopyCommandLine, akMoveX | akMoveY, PageDesign);
    ChainFocus({chkOverwrite, rgDestination->Button(0), rgDestination->Button(1),
                rgDestination->Button(2), rgDestination->Button(3), rgDestination->Button(4),
                rgDestination->Button(5), rgDestination->Button(6), rgDestination->Button(7),
                rgDestination->Button(8), chkKeepBoth, edNamePattern});
    ChainFocus({chkLogProcessed->previousInFocusChain(),
                chkResize,
                cbStretchMode,
                chkWidth,
                edWidth,
                chkHeight,
                edHeight,
                chkShrinkOnly,
                cbPixelFormat,
                cbCompression,
                cbGIFColorReduction,
                chkWebPLossless,
                cbWebPEffort,
                chkAVIFLossless,
                cbAVIFSpeed,
                chkJXLLossless,
                cbJXLEffort,
                cbResample,
                btnBackground,
                chkAutoRotate,
                chkWatermark,
                edWatermarkText,
                btnWatermarkText,
                btnWatermarkColor,
                cbWAlignment,
                cbWPosition,
                chkWAngle,
                edWAngle,
                cbMetadata});
    ChainFocus({lvProgress, edCommandLine, btnCopyCommandLine});
    CreatePreviewControls();
    // Each label names the field it stands over (screen readers announce it with the field).
    lblStretchMode->setBuddy(cbStretchMode);
    lblResample->setBuddy(cbResample);
    lblBackground->setBuddy(btnBackground);
    lblPixelFormat->setBuddy(cbPixelFormat);
    lblCompression->setBuddy(cbCompression);
    lblGIFColorReduction->setBuddy(cbGIFColorReduction);
    lblMetadata->setBuddy(cbMetadata);
    lblWatermarkText->setBuddy(edWatermarkText);
    lblWAlignment->setBuddy(cbWAlignment);
    lblWPosition->setBuddy(cbWPosition);
    lblCommandLine->setBuddy(edCommandLine);
    cbStretchMode->setCurrentIndex(smPixels);
    cbResample->setCurrentIndex(rmSmooth);
    SetBackground(0xFFFFFF);
    cbPixelFormat->setCurrentIndex(0);
    cbCompression->setCurrentText(QString::fromLatin1(CompressionItems[0]));
    cbGIFColorReduction->setCurrentIndex(DefaultColorReduction);
    lblWebPEffort->setBuddy(cbWebPEffort);
    lblAVIFSpeed->setBuddy(cbAVIFSpeed);
    lblJXLEffort->setBuddy(cbJXLEffort);
    cbWAlignment->setCurrentIndex(0);
    cbWPosition->setCurrentIndex(0);
    MakeEditNumeric(edWidth);
    MakeEditNumeric(edHeight);
    MakeEditNumeric(edWAngle);
    SetWatermarkFont(TFontDescription(), static_cast<int32_t>(clWindow));
    chkResizeClick(chkResize->isChecked());
    chkWatermarkClick(chkWatermark->isChecked());

    FConverter.OnProgress = [this](int position, int maximum) { SetProgress(position, maximum); };
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::CreateOptionControls() {
    // Source page: the source formats below the mask, with buttons that tick them all or none.
    btnTickAllFormats =
        Named(new QPushButton(QStringLiteral("Select &all"), tsSource), "btnTickAllFormats");
    btnTickAllFormats->setGeometry(307, 96, 94, 25);
    btnTickNoFormats =
        Named(new QPushButton(QStringLiteral("Select n&one"), tsSource), "btnTickNoFormats");
    btnTickNoFormats->setGeometry(403, 96, 94, 25);
    for (auto [button, on] :
         {std::pair{btnTickAllFormats, true}, std::pair{btnTickNoFormats, false}}) {
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this,
                [this, on = on] { SetAllTicks(lvImageFormats, on); });
    }
    gbSourceFormats =
        Named(new QGroupBox(QStringLiteral(" Source formats "), tsSource), "gbSourceFormats");
    gbSourceFormats->setGeometry(8, 128, 489, 229);
    lvImageFormats = Named(new QTreeWidget(gbSourceFormats), "lvImageFormats");
    lvImageFormats->setGeometry(8, 20, 473, 201);
    lvImageFormats->setColumnCount(2);
    lvImageFormats->setColumnWidth(0, 350);
    lvImageFormats->setHeaderHidden(true);
    lvImageFormats->setRootIsDecorated(false);
    lvImageFormats->setUniformRowHeights(true);
    lvImageFormats->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvImageFormats->setEditTriggers(QAbstractItemView::NoEditTriggers);
    AttachListPopup(lvImageFormats);

    // Options page, above the framework's log settings.
    chkResize = Named(new QCheckBox(QStringLiteral("Resize"), tsOptions), "chkResize");
    chkResize->setGeometry(8, 4, 200, 20);
    pnlResize = Named(new QFrame(tsOptions), "pnlResize");
    pnlResize->setGeometry(8, 24, 240, 110);
    lblStretchMode = Named(new QLabel(QStringLiteral("Mode:"), pnlResize), "lblStretchMode");
    lblStretchMode->setGeometry(4, 7, 40, 16);
    cbStretchMode = Named(new QComboBox(pnlResize), "cbStretchMode");
    cbStretchMode->setGeometry(46, 4, 186, 22);
    FillCombo(cbStretchMode, StretchModeItems, 3);
    chkWidth = Named(new QCheckBox(QStringLiteral("width"), pnlResize), "chkWidth");
    chkWidth->setGeometry(4, 34, 80, 20);
    chkWidth->setChecked(true);
    edWidth = Named(new QLineEdit(QStringLiteral("800"), pnlResize), "edWidth");
    edWidth->setGeometry(90, 32, 80, 22);
    chkHeight = Named(new QCheckBox(QStringLiteral("height"), pnlResize), "chkHeight");
    chkHeight->setGeometry(4, 60, 80, 20);
    chkHeight->setChecked(true);
    edHeight = Named(new QLineEdit(QStringLiteral("600"), pnlResize), "edHeight");
    edHeight->setGeometry(90, 58, 80, 22);
    chkShrinkOnly = Named(new QCheckBox(QStringLiteral("Only shrink, never enlarge"), pnlResize),
                          "chkShrinkOnly");
    chkShrinkOnly->setGeometry(4, 86, 228, 20);

    // How pictures are resampled, turned and flattened: below the format panel.
    lblResample = Named(new QLabel(QStringLiteral("Resampling:"), tsOptions), "lblResample");
    lblResample->setGeometry(256, 79, 76, 16);
    cbResample = Named(new QComboBox(tsOptions), "cbResample");
    cbResample->setGeometry(334, 76, 163, 22);
    FillCombo(cbResample, ResampleItems, 2);
    lblBackground = Named(new QLabel(QStringLiteral("Background:"), tsOptions), "lblBackground");
    lblBackground->setGeometry(256, 107, 76, 16);
    btnBackground = Named(new QPushButton(tsOptions), "btnBackground");
    btnBackground->setGeometry(334, 104, 163, 22);
    btnBackground->setAutoDefault(false);
    btnBackground->setToolTip(
        QStringLiteral("Colour behind transparent pixels for formats without transparency"));

    // The three format panels share one place; SetPage shows the one that applies.
    auto formatPanel = [this](const char* name, const char* caption, const char* labelName,
                              const char* labelText, QLabel*& label) {
        auto* panel = Named(new QGroupBox(QString::fromLatin1(caption), tsOptions), name);
        panel->setGeometry(256, 4, 241, 68);
        label = Named(new QLabel(QString::fromLatin1(labelText), panel), labelName);
        label->setGeometry(10, 24, 220, 16);
        return panel;
    };
    gbBitmap =
        formatPanel("gbBitmap", " Bitmap ", "lblPixelFormat", "Pixel format:", lblPixelFormat);
    cbPixelFormat = Named(new QComboBox(gbBitmap), "cbPixelFormat");
    cbPixelFormat->setGeometry(10, 42, 220, 22);
    FillCombo(cbPixelFormat, PixelFormatItems, 8);
    gbJPEG = formatPanel("gbJPEG", " JPEG ", "lblCompression", "Compression (%):", lblCompression);
    cbCompression = Named(new QComboBox(gbJPEG), "cbCompression");
    cbCompression->setGeometry(10, 42, 220, 22);
    cbCompression->setEditable(true);
    cbCompression->setInsertPolicy(QComboBox::NoInsert);
    // Typing cannot make a wrong value; one from a settings file is shown as stored.
    cbCompression->setValidator(new TQualityValidator(cbCompression));
    FillCombo(cbCompression, CompressionItems, 5);
    gbGIF = formatPanel("gbGIF", " GIF ", "lblGIFColorReduction",
                        "Color reduction:", lblGIFColorReduction);
    cbGIFColorReduction = Named(new QComboBox(gbGIF), "cbGIFColorReduction");
    cbGIFColorReduction->setGeometry(10, 42, 220, 22);
    FillCombo(cbGIFColorReduction, ColorReductionItems, 10);
    CreateModernFormatPanels();

    chkWatermark = Named(new QCheckBox(QStringLiteral("Watermark"), tsOptions), "chkWatermark");
    chkWatermark->setGeometry(8, 140, 180, 20);
    // Beside the watermark's box: the caption needs the page's right half.
    chkAutoRotate = Named(
        new QCheckBox(QStringLiteral("Turn pictures upright (camera orientation)"), tsOptions),
        "chkAutoRotate");
    chkAutoRotate->setGeometry(200, 140, 297, 20);
    chkAutoRotate->setChecked(true);
    // EXIF, XMP and colour profile: carried, stripped, or carried without the
    // location. On the free right half of the watermark's last row, outside its
    // panel, so that it stays usable while the watermark is off.
    lblMetadata = Named(new QLabel(QStringLiteral("Metadata:"), tsOptions), "lblMetadata");
    cbMetadata = Named(new QComboBox(tsOptions), "cbMetadata");
    FillCombo(cbMetadata, MetadataItems, 3);
    lblMetadata->setBuddy(cbMetadata);
    pnlWatermark = Named(new QFrame(tsOptions), "pnlWatermark");
    pnlWatermark->setGeometry(8, 160, 489, 140);
    lblWatermarkText =
        Named(new QLabel(QStringLiteral("Watermark text:"), pnlWatermark), "lblWatermarkText");
    lblWatermarkText->setGeometry(4, 4, 200, 16);
    edWatermarkText =
        Named(new QLineEdit(QStringLiteral("Sample text"), pnlWatermark), "edWatermarkText");
    edWatermarkText->setGeometry(4, 22, 150, 24);
    // The font by name and size, in the window's own size (a 36-point sample would not fit).
    lblWatermarkFont = Named(new QLabel(pnlWatermark), "lblWatermarkFont");
    lblWatermarkFont->setGeometry(158, 22, 132, 24);
    lblWatermarkFont->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    lblWatermarkFont->setAutoFillBackground(true);
    lblWatermarkFont->setIndent(4);
    btnWatermarkText =
        Named(new QPushButton(QStringLiteral("Font..."), pnlWatermark), "btnWatermarkText");
    btnWatermarkText->setGeometry(294, 22, 90, 24);
    btnWatermarkText->setAutoDefault(false);
    // The font dialog has no colour: the text's colour has its own button.
    btnWatermarkColor =
        Named(new QPushButton(QStringLiteral("Color..."), pnlWatermark), "btnWatermarkColor");
    btnWatermarkColor->setGeometry(390, 22, 90, 24);
    btnWatermarkColor->setAutoDefault(false);
    lblWAlignment =
        Named(new QLabel(QStringLiteral("Horizontal position:"), pnlWatermark), "lblWAlignment");
    lblWAlignment->setGeometry(4, 52, 200, 16);
    cbWAlignment = Named(new TAlignmentComboBox(&imgAlignment, pnlWatermark), "cbWAlignment");
    cbWAlignment->setGeometry(4, 70, 200, 22);
    cbWAlignment->addItems(
        {QStringLiteral("left"), QStringLiteral("center"), QStringLiteral("right")});
    lblWPosition =
        Named(new QLabel(QStringLiteral("Vertical position:"), pnlWatermark), "lblWPosition");
    lblWPosition->setGeometry(250, 52, 200, 16);
    cbWPosition = Named(new QComboBox(pnlWatermark), "cbWPosition");
    cbWPosition->setGeometry(250, 70, 200, 22);
    cbWPosition->addItems(
        {QStringLiteral("top"), QStringLiteral("center"), QStringLiteral("bottom")});
    chkWAngle = Named(new QCheckBox(QStringLiteral("Rotate (angle)"), pnlWatermark), "chkWAngle");
    chkWAngle->setGeometry(4, 104, 140, 20);
    edWAngle = Named(new QLineEdit(QStringLiteral("0"), pnlWatermark), "edWAngle");
    edWAngle->setGeometry(150, 102, 60, 22);
    lblMetadata->setGeometry(256, 266, 70, 16);
    cbMetadata->setGeometry(330, 262, 167, 22);
    lblMetadata->raise();
    cbMetadata->raise();

    // Log page: the job as a command line, under the progress list, and under
    // it what the command line leaves out.
    lvProgress->setGeometry(8, 8, 489, 268);
    lblCommandLine = Named(new QLabel(QStringLiteral("Command line:"), tsLog), "lblCommandLine");
    lblCommandLine->setGeometry(8, 284, 90, 16);
    edCommandLine = Named(new QLineEdit(tsLog), "edCommandLine");
    edCommandLine->setGeometry(100, 282, 320, 22);
    edCommandLine->setReadOnly(true);
    btnCopyCommandLine =
        Named(new QPushButton(QStringLiteral("Copy"), tsLog), "btnCopyCommandLine");
    btnCopyCommandLine->setGeometry(426, 282, 71, 22);
    lblCommandLineNote = Named(new QLabel(tsLog), "lblCommandLineNote");
    lblCommandLineNote->setGeometry(8, 308, 489, 26);
    lblCommandLineNote->setWordWrap(true);
    lblCommandLineNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblCommandLineNote->hide();
    btnCopyCommandLine->setAutoDefault(false);

    // toggled, not clicked: a box set from the settings file or a switch runs its rule too.
    connect(chkResize, &QCheckBox::toggled, this, [this](bool on) { chkResizeClick(on); });
    connect(chkWidth, &QCheckBox::toggled, this, [this](bool on) { chkWidthClick(on); });
    connect(chkHeight, &QCheckBox::toggled, this, [this](bool on) { chkHeightClick(on); });
    connect(chkWatermark, &QCheckBox::toggled, this, [this](bool on) { chkWatermarkClick(on); });
    connect(chkWAngle, &QCheckBox::toggled, this, [this](bool on) { chkWAngleClick(on); });
    connect(btnWatermarkText, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { btnWatermarkTextClick(); }); });
    connect(btnWatermarkColor, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { btnWatermarkColorClick(); }); });
    connect(btnCopyCommandLine, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { btnCopyCommandLineClick(); }); });
    connect(btnBackground, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { btnBackgroundClick(); }); });
}

void TfrmMain::CreateModernFormatPanels() {
    auto panel = [this](const char* name, const char* caption, const char* losslessName,
                        const char* labelName, const char* labelText, const char* comboName,
                        const TEffortScale& scale, QCheckBox*& lossless, QLabel*& label,
                        QComboBox*& combo) {
        auto* box = Named(new QGroupBox(QString::fromLatin1(caption), tsOptions), name);
        box->setGeometry(256, 4, 241, 130);
        lossless = Named(new QCheckBox(QStringLiteral("Lossless"), box), losslessName);
        lossless->setGeometry(10, 70, 220, 20);
        label = Named(new QLabel(QString::fromLatin1(labelText), box), labelName);
        label->setGeometry(10, 100, 80, 16);
        combo = Named(new QComboBox(box), comboName);
        combo->setGeometry(90, 98, 140, 22);
        for (int v = scale.Min; v <= scale.Max; ++v)
            combo->addItem(QString::number(v));
        combo->setCurrentIndex(scale.Default - scale.Min);
        box->setVisible(false);
        return box;
    };
    gbWebP =
        panel("gbWebP", " WebP ", "chkWebPLossless", "lblWebPEffort", "Effort:", "cbWebPEffort",
              WebPEffortScale, chkWebPLossless, lblWebPEffort, cbWebPEffort);
    gbAVIF = panel("gbAVIF", " AVIF ", "chkAVIFLossless", "lblAVIFSpeed", "Speed:", "cbAVIFSpeed",
                   AVIFSpeedScale, chkAVIFLossless, lblAVIFSpeed, cbAVIFSpeed);
    gbJXL = panel("gbJXL", " JPEG XL ", "chkJXLLossless", "lblJXLEffort", "Effort:", "cbJXLEffort",
                  JXLEffortScale, chkJXLLossless, lblJXLEffort, cbJXLEffort);
}

void TfrmMain::FillSourceFormats() {
    lvImageFormats->clear();
    if (!FormatRegistry) return;
    std::vector<std::string> extensions;
    FormatRegistry->ListExtensions(extensions);
    QList<QTreeWidgetItem*> rows;
    for (const std::string& ext : extensions) {
        auto* row = new QTreeWidgetItem();
        // WMF and EMF share a reader, and so its name; the list tells them apart.
        row->setText(0, ext == "emf" ? QStringLiteral("Windows enhanced metafiles")
                                     : QText(FormatRegistry->ClassDescription(
                                           FormatRegistry->ClassForExtension(ext))));
        row->setText(1, QText("." + ext));
        row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        row->setCheckState(0, Qt::Checked);
        rows.append(row);
    }
    lvImageFormats->addTopLevelItems(rows);
}

// ---------------------------------------------------------------------------
// Enabling rules

void TfrmMain::chkResizeClick(bool checked) {
    pnlResize->setEnabled(checked);
    for (QWidget* w : pnlResize->findChildren<QWidget*>())
        w->setEnabled(checked);
    // The edits' own state after their panel's: an edit may show enabled inside a disabled panel.
    edWidth->setEnabled(chkWidth->isChecked());
    edHeight->setEnabled(chkHeight->isChecked());
}

void TfrmMain::chkWidthClick(bool checked) {
    edWidth->setEnabled(checked);
}

void TfrmMain::chkHeightClick(bool checked) {
    edHeight->setEnabled(checked);
}

void TfrmMain::chkWatermarkClick(bool checked) {
    pnlWatermark->setEnabled(checked);
    for (QWidget* w : pnlWatermark->findChildren<QWidget*>())
        w->setEnabled(checked);
    chkWAngleClick(chkWAngle->isChecked());
}

void TfrmMain::chkWAngleClick(bool checked) {
    edWAngle->setEnabled(checked);
}

// ---------------------------------------------------------------------------
// Watermark font

void TfrmMain::SetWatermarkFont(const TFontDescription& font, int32_t background) {
    FWatermarkFont = font;
    FWatermarkBackground = background;
    ApplyWatermarkFont();
    PreviewOptionsChanged();
}

QFont TfrmMain::WatermarkQFont() const {
    // The face is kept as chosen; the system substitutes a similar one for display.
    QFont f(QText(FWatermarkFont.Name));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSize(FWatermarkFont.Size > 0 ? FWatermarkFont.Size : 8);
    f.setBold(FWatermarkFont.Style & fsBold);
    f.setItalic(FWatermarkFont.Style & fsItalic);
    f.setUnderline(FWatermarkFont.Style & fsUnderline);
    f.setStrikeOut(FWatermarkFont.Style & fsStrikeOut);
    return f;
}

void TfrmMain::ApplyWatermarkFont() {
    QString text = QStringLiteral("%1, %2 pt")
                       .arg(QText(FWatermarkFont.Name))
                       .arg(FWatermarkFont.Size > 0 ? FWatermarkFont.Size : 8);
    QStringList styles;
    for (auto [style, name] :
         {std::pair{fsBold, "bold"}, std::pair{fsItalic, "italic"},
          std::pair{fsUnderline, "underlined"}, std::pair{fsStrikeOut, "struck out"}})
        if (FWatermarkFont.Style & style) styles << QLatin1String(name);
    if (!styles.isEmpty()) text += QStringLiteral(", ") + styles.join(QLatin1Char(' '));
    // Shortened to the field with "…"; the whole description is its tooltip.
    lblWatermarkFont->setText(lblWatermarkFont->fontMetrics().elidedText(
        text, Qt::ElideRight, lblWatermarkFont->width() - 2 * lblWatermarkFont->frameWidth() - 8));
    lblWatermarkFont->setToolTip(text);
    // The field shows the watermark's colours; disabled it looks disabled.
    QPalette palette = lblWatermarkFont->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, DisplayColor(FWatermarkFont.Color));
        palette.setColor(group, QPalette::Window, DisplayColor(FWatermarkBackground));
    }
    lblWatermarkFont->setPalette(palette);
}

void TfrmMain::CreatePreviewControls() {
    // The list gives the thumbnail room on its right; both grow with the window.
    lvFileName->setGeometry(8, 40, 323, 317);
    pnlThumbnail = new TFileThumbnail(tsFileList);
    pnlThumbnail->setObjectName(QStringLiteral("pnlThumbnail"));
    pnlThumbnail->move(337, 40);
    Anchor(lvFileName, akStretchX | akStretchY, PageDesign);
    Anchor(pnlThumbnail, akMoveX, PageDesign);
    connect(lvFileName, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* row) {
        pnlThumbnail->ShowFile(row ? JoinPath(ItemBytes(row, flcPath), ItemBytes(row, flcName))
                                   : std::string());
    });

    // The page is full: the box takes the free row under the metadata list.
    chkShowPreview = new QCheckBox(QStringLiteral("Show before/after pre&view"), tsOptions);
    chkShowPreview->setObjectName(QStringLiteral("chkShowPreview"));
    chkShowPreview->setGeometry(256, 285, 241, 19);
    ChainFocus({cbMetadata, chkShowPreview});
    frmPreview =
        new TfrmPreview([this] { return PreviewSource(); }, [this] { return ReadOptions(); }, this);
    connect(chkShowPreview, &QCheckBox::toggled, this, [this] { UpdatePreview(); });
    // Closing the view unticks its box.
    connect(frmPreview, &QDialog::finished, this, [this] { chkShowPreview->setChecked(false); });
    // Any option of the page converts the file anew.
    for (QCheckBox* box : tsOptions->findChildren<QCheckBox*>())
        if (box != chkShowPreview)
            connect(box, &QCheckBox::toggled, this, [this] { PreviewOptionsChanged(); });
    for (QComboBox* list : tsOptions->findChildren<QComboBox*>()) {
        connect(list, &QComboBox::currentIndexChanged, this, [this] { PreviewOptionsChanged(); });
        connect(list, &QComboBox::editTextChanged, this, [this] { PreviewOptionsChanged(); });
    }
    for (QLineEdit* edit : tsOptions->findChildren<QLineEdit*>())
        connect(edit, &QLineEdit::textChanged, this, [this] { PreviewOptionsChanged(); });
    // A preset loaded or folder dropped while the view is open may change the format or the file.
    connect(rgDestination, &TRadioGroup::ItemIndexChanged, this,
            [this] { PreviewOptionsChanged(); });
    for (QLineEdit* edit : {edSourceName, edSourceWildcard})
        connect(edit, &QLineEdit::textChanged, this, [this] { PreviewOptionsChanged(); });
    connect(chkSubFolders, &QCheckBox::toggled, this, [this] { PreviewOptionsChanged(); });
}

void TfrmMain::UpdatePreview() {
    if (!frmPreview) return;
    if (!chkShowPreview->isChecked() || CurrentPage() != 4 || !ShowMainForm() || Running()) {
        frmPreview->hide();
        return;
    }
    frmPreview->ShowBeside(this);
    frmPreview->OptionsChanged();
}

void TfrmMain::PreviewOptionsChanged() {
    if (frmPreview && frmPreview->isVisible()) frmPreview->OptionsChanged();
}

void TfrmMain::btnWatermarkTextClick() {
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, WatermarkQFont(), this);
    if (!ok) return;
    TFontDescription font = FWatermarkFont;
    font.Name = chosen.family().toUtf8().toStdString();
    font.Size = chosen.pointSize() > 0 ? chosen.pointSize()
                                       : static_cast<int>(std::lround(chosen.pointSizeF()));
    font.Style = (chosen.bold() ? fsBold : 0) | (chosen.italic() ? fsItalic : 0) |
                 (chosen.underline() ? fsUnderline : 0) | (chosen.strikeOut() ? fsStrikeOut : 0);
    SetWatermarkFont(font, FWatermarkBackground);
}

void TfrmMain::btnWatermarkColorClick() {
    const TColor now = ColorToRGB(static_cast<TColor>(FWatermarkFont.Color));
    const QColor chosen = QColorDialog::getColor(
        QColor(GetRValue(now), GetGValue(now), GetBValue(now)), this, QStringLiteral("Watermark"));
    if (!chosen.isValid()) return;
    TFontDescription font = FWatermarkFont;
    font.Color = static_cast<int32_t>(RGBColor(static_cast<uint8_t>(chosen.red()),
                                               static_cast<uint8_t>(chosen.green()),
                                               static_cast<uint8_t>(chosen.blue())));
    SetWatermarkFont(font, FWatermarkBackground);
}

void TfrmMain::btnBackgroundClick() {
    const QColor chosen = QColorDialog::getColor(QColor::fromRgb(static_cast<QRgb>(FBackground)),
                                                 this, QStringLiteral("Background"));
    if (!chosen.isValid()) return;
    SetBackground(static_cast<uint32_t>(chosen.rgb()) & 0xFFFFFF);
}

void TfrmMain::SetBackground(uint32_t rgb) {
    FBackground = rgb & 0xFFFFFF;
    QPixmap swatch(14, 14);
    swatch.fill(QColor::fromRgb(static_cast<QRgb>(FBackground)));
    btnBackground->setIcon(QIcon(swatch));
    btnBackground->setText(QText(BackgroundColorText(FBackground)));
    PreviewOptionsChanged();
}

void TfrmMain::btnCopyCommandLineClick() {
    QGuiApplication::clipboard()->setText(edCommandLine->text());
}

// ---------------------------------------------------------------------------
// Overridable operations

bool TfrmMain::ProcessParameter(const std::string& param) {
    return TfrmMainBasic::ProcessParameter(param);
}

void TfrmMain::SetPage(int page) {
    TfrmMainBasic::SetPage(page);
    UpdatePageExtras();
    UpdatePreview();
}

void TfrmMain::UpdatePageExtras() {
    if (CurrentPage() == 4) {
        const int destination = rgDestination->ItemIndex();
        gbBitmap->setVisible(destination == dfBitmap);
        gbJPEG->setVisible(destination == dfJPEG);
        gbGIF->setVisible(destination == dfGIF);
        gbWebP->setVisible(destination == dfWebP);
        gbAVIF->setVisible(destination == dfAVIF);
        gbJXL->setVisible(destination == dfJXL);
        // One quality for JPEG and today's formats: its edit goes to the panel on show.
        QGroupBox* host = destination == dfWebP   ? gbWebP
                          : destination == dfAVIF ? gbAVIF
                          : destination == dfJXL  ? gbJXL
                                                  : gbJPEG;
        if (cbCompression->parentWidget() != host) {
            lblCompression->setParent(host);
            cbCompression->setParent(host);
            lblCompression->setText(host == gbJPEG ? QStringLiteral("Compression (%):")
                                                   : QStringLiteral("Quality (%):"));
            lblCompression->show();
            cbCompression->show();
        }
    }
    if (CurrentPage() == PageCount()) {
        edCommandLine->setText(QText(EquivalentCommandLine()));
        const std::string note = CommandLineNote();
        lblCommandLineNote->setText(QText(note));
        lblCommandLineNote->setVisible(!note.empty());
    }
}

void TfrmMain::ConvertFile(const std::string& source, const std::string& dest) {
    TfrmMainBasic::ConvertFile(source, dest);
    // The controls are read at every file: what is on screen when a file is reached is used.
    FConverter.ConvertFile(source, dest, ReadOptions());
}

bool TfrmMain::AcceptFile(const std::string& fileName) {
    bool accepted = TfrmMainBasic::AcceptFile(fileName);
    for (int i = 0; i < lvImageFormats->topLevelItemCount() && !accepted; ++i) {
        QTreeWidgetItem* row = lvImageFormats->topLevelItem(i);
        if (row->checkState(0) != Qt::Checked) continue;
        std::string mask(1, '*');
        mask.append(row->text(1).toUtf8().toStdString());
        accepted = MatchWildcard(fileName, mask, true);
    }
    return accepted;
}

std::string TfrmMain::SourceFilterKey() {
    std::string key;
    for (int i = 0; i < lvImageFormats->topLevelItemCount(); ++i)
        key += lvImageFormats->topLevelItem(i)->checkState(0) == Qt::Checked ? '1' : '0';
    return key;
}

std::string TfrmMain::GetDestinationExt() {
    const int index = rgDestination->ItemIndex();
    if (index >= dfBitmap && index <= dfJXL) return DestinationExtension(index);
    return TfrmMainBasic::GetDestinationExt();
}

void TfrmMain::BeforeRun() {
    TfrmMainBasic::BeforeRun();
    FConverter.BeforeRun();
}

TWorkerConversion TfrmMain::CreateWorkerConversion() {
    // The options are read once for the whole parallel run: the option
    // controls cannot change while a run keeps the window busy.
    auto converter = std::make_shared<TImageConverter>();
    converter->BeforeRun();
    return
        [converter, options = ReadOptions()](const std::string& source, const std::string& dest) {
            converter->ConvertFile(source, dest, options);
        };
}

void TfrmMain::AfterRun() {
    FConverter.AfterRun();
    TfrmMainBasic::AfterRun();
}

QTreeWidget* TfrmMain::GetSelectionList() {
    if (CurrentPage() == 2) return lvImageFormats;
    return TfrmMainBasic::GetSelectionList();
}

bool TfrmMain::WrittenSize(const std::string& source, int& width, int& height) {
    // Only the name pattern asks, and only when it holds {w} or {h}: the picture is read for it.
    return WrittenPictureSize(source, ReadOptions(), width, height);
}

TConvertOptions TfrmMain::ReadOptions() const {
    TConvertOptions o;
    o.Destination = DestinationFromIndex(rgDestination->ItemIndex());
    o.PixelFormat = PixelFormatFromIndex(cbPixelFormat->currentIndex());
    // A list without a selection names no mode: nothing is resized.
    o.Resize = chkResize->isChecked() &&
               StretchModeFromIndex(cbStretchMode->currentIndex(), o.StretchMode);
    o.UseWidth = chkWidth->isChecked();
    o.Width = SideFromText(Text(edWidth));
    o.UseHeight = chkHeight->isChecked();
    o.Height = SideFromText(Text(edHeight));
    o.ShrinkOnly = chkShrinkOnly->isChecked();
    o.Resample = cbResample->currentIndex() == rmNearest ? rmNearest : rmSmooth;
    o.AutoRotate = chkAutoRotate->isChecked();
    o.Background = FBackground;
    o.Quality = QualityFromText(cbCompression->currentText().toUtf8().toStdString());
    o.ColorReduction = ColorReductionFromIndex(cbGIFColorReduction->currentIndex());
    const int metadata = cbMetadata->currentIndex();
    o.Metadata =
        metadata > 0 && metadata < 3 ? static_cast<TMetadataMode>(metadata) : TMetadataMode::Keep;
    o.WebP = {chkWebPLossless->isChecked(), EffortOf(cbWebPEffort, WebPEffortScale)};
    o.AVIF = {chkAVIFLossless->isChecked(), EffortOf(cbAVIFSpeed, AVIFSpeedScale)};
    o.JXL = {chkJXLLossless->isChecked(), EffortOf(cbJXLEffort, JXLEffortScale)};
    o.Watermark.Enabled = chkWatermark->isChecked();
    o.Watermark.Text = Text(edWatermarkText);
    o.Watermark.Font = FWatermarkFont;
    o.Watermark.Alignment = cbWAlignment->currentIndex();
    o.Watermark.Position = cbWPosition->currentIndex();
    o.Watermark.Rotate = chkWAngle->isChecked();
    o.Watermark.Angle = StrToIntDef(Text(edWAngle), 0);
    return o;
}

// ---------------------------------------------------------------------------
// Settings

void TfrmMain::LoadSettings() {
    TfrmMainBasic::LoadSettings();
    TBatchJob job = Job();
    const TIniFile ini(SettingsFileName());
    LoadBatchJobImage(ini, job);
    ShowJob(job);
    // The preview is a way of looking, not part of a job: the user's file only.
    if (UsingUserSettings()) chkShowPreview->setChecked(ini.ReadBool("Window", "Preview", false));
    // A preset loaded from the File menu may change what the current page shows.
    UpdatePageExtras();
}

void TfrmMain::SaveSettings() {
    TfrmMainBasic::SaveSettings();
    TIniFile ini(SettingsFileName());
    SaveBatchJobImage(ini, Job());
    if (UsingUserSettings() &&
        (chkShowPreview->isChecked() || ini.ValueExists("Window", "Preview")))
        ini.WriteBool("Window", "Preview", chkShowPreview->isChecked());
}

void TfrmMain::FillJob(TBatchJob& job) const {
    TfrmMainBasic::FillJob(job);
    job.Options = ReadOptions();
    job.SourceFormats.clear();
    for (int i = 0; i < lvImageFormats->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lvImageFormats->topLevelItem(i);
        job.SourceFormats.push_back(
            {row->text(1).toUtf8().toStdString(), row->checkState(0) == Qt::Checked});
    }
    job.WatermarkFontBackground = FWatermarkBackground;
}

void TfrmMain::ShowJob(const TBatchJob& job) {
    TfrmMainBasic::ShowJob(job);
    const TConvertOptions& o = job.Options;
    chkResize->setChecked(o.Resize);
    cbStretchMode->setCurrentIndex(o.StretchMode);
    chkWidth->setChecked(o.UseWidth);
    edWidth->setText(QText(SideText(o.Width)));
    chkHeight->setChecked(o.UseHeight);
    edHeight->setText(QText(SideText(o.Height)));
    chkShrinkOnly->setChecked(o.ShrinkOnly);
    chkAutoRotate->setChecked(o.AutoRotate);
    cbResample->setCurrentIndex(o.Resample);
    SetBackground(o.Background);
    // A list without a selection stands for a stored index that names nothing.
    cbPixelFormat->setCurrentIndex(o.PixelFormat < pfCustom ? static_cast<int>(o.PixelFormat) : -1);
    cbCompression->setCurrentText(QString::number(o.Quality));
    cbGIFColorReduction->setCurrentIndex(o.ColorReduction ? static_cast<int>(*o.ColorReduction)
                                                          : -1);
    cbMetadata->setCurrentIndex(static_cast<int>(o.Metadata));
    for (auto [format, lossless, combo, scale] :
         {std::tuple{&o.WebP, chkWebPLossless, cbWebPEffort, &WebPEffortScale},
          std::tuple{&o.AVIF, chkAVIFLossless, cbAVIFSpeed, &AVIFSpeedScale},
          std::tuple{&o.JXL, chkJXLLossless, cbJXLEffort, &JXLEffortScale}}) {
        lossless->setChecked(format->Lossless);
        SetEffort(combo, *scale, format->Effort);
    }

    const TConvertOptions::TWatermark& w = o.Watermark;
    chkWatermark->setChecked(w.Enabled);
    edWatermarkText->setText(QText(w.Text));
    SetWatermarkFont(w.Font, job.WatermarkFontBackground);
    cbWAlignment->setCurrentIndex(w.Alignment);
    cbWPosition->setCurrentIndex(w.Position);
    chkWAngle->setChecked(w.Rotate);
    edWAngle->setText(QString::number(w.Angle));

    lvImageFormats->setUpdatesEnabled(false);
    for (int i = 0; i < lvImageFormats->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lvImageFormats->topLevelItem(i);
        const std::string ext = row->text(1).toUtf8().toStdString();
        for (const TSourceFormat& format : job.SourceFormats)
            if (format.Ext == ext)
                row->setCheckState(0, format.Ticked ? Qt::Checked : Qt::Unchecked);
    }
    lvImageFormats->setUpdatesEnabled(true);
}

// ---------------------------------------------------------------------------
// Command line of the current job

std::vector<std::string> TfrmMain::EquivalentArguments() const {
    return JobArguments(Job());
}

std::string TfrmMain::CommandLineNote() const {
    const TBatchJob job = Job();
    size_t unticked = 0;
    for (int i = 0; i < lvFileName->topLevelItemCount(); ++i)
        // Only files the command line would take: the source filter's own refusals are no loss.
        if (QTreeWidgetItem* row = lvFileName->topLevelItem(i);
            row->checkState(flcName) != Qt::Checked && job.AcceptsFile(ItemBytes(row, flcName)))
            ++unticked;
    std::string note;
    for (const std::string& part : JobPartsWithoutSwitch(job, unticked))
        note += (note.empty() ? "Not on the command line: " : ", ") + part;
    return note.empty() ? note : note + ".";
}

std::string TfrmMain::EquivalentCommandLine() const {
    std::string line = ProgramBaseName(GetProgramFileName());
    for (const std::string& arg : EquivalentArguments())
        line.append(1, ' ').append(ShellQuote(arg));
    return line;
}

std::string TfrmMain::CommandLineHelp() {
    return SwitchHelp();
}
