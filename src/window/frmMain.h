// SPDX-License-Identifier: GPL-3.0-or-later
// The image window: the wizard of the framework turned into an image
// converter. It adds the source-format list, the six destination formats, the
// option panels of the Options page and their settings keys, the option
// switches of the command line, and the conversion of one file, which reads
// the controls at every call and hands a plain options value to the engine.
#pragma once

#include "convert/ConvertOptions.h"
#include "convert/ImageConverter.h"
#include "util/FontText.h"
#include "window/frmMainBasic.h"

#include <QFont>
#include <QPixmap>

#include <cstdint>
#include <string>
#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class TAlignmentComboBox;
class TFileThumbnail;
class TfrmPreview;

// Item captions of the option lists, in index order.
extern const char* const StretchModeItems[3];
extern const char* const PixelFormatItems[8];
extern const char* const CompressionItems[5];
extern const char* const ColorReductionItems[10];
// Captions of the metadata choices (TMetadataMode order).
extern const char* const MetadataItems[3];

class TfrmMain : public TfrmMainBasic {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    bool ProcessParameter(const std::string& param) override;
    void SetPage(int page) override;
    void ConvertFile(const std::string& source, const std::string& dest) override;
    bool AcceptFile(const std::string& fileName) override;
    std::string GetDestinationExt() override;
    void BeforeRun() override;
    void AfterRun() override;
    TWorkerConversion CreateWorkerConversion() override;
    QTreeWidget* GetSelectionList() override;
    bool WrittenSize(const std::string& source, int& width, int& height) override;
    void LoadSettings() override;
    void SaveSettings() override;
    std::string SourceFilterKey() override;
    void FillJob(TBatchJob& job) const override;
    void ShowJob(const TBatchJob& job) override;

    // What the conversion of one file uses, read from the controls now.
    TConvertOptions ReadOptions() const;
    // The arguments that run the current job unattended: a switch for every
    // setting that differs from a fresh start, then /EXECUTE.
    std::vector<std::string> EquivalentArguments() const;
    // The same as one line for a POSIX shell, program name first.
    std::string EquivalentCommandLine() const;
    // What the command line cannot say about the job ("" when nothing).
    std::string CommandLineNote() const;
    // The text of --help.
    static std::string CommandLineHelp();

    // The watermark font as stored: the description and the edit's background.
    const TFontDescription& WatermarkFont() const { return FWatermarkFont; }
    int32_t WatermarkBackground() const { return FWatermarkBackground; }
    void SetWatermarkFont(const TFontDescription& font, int32_t background);
    const std::vector<QPixmap>& AlignmentImages() const { return imgAlignment; }

protected:
    void chkResizeClick(bool checked);
    void chkWidthClick(bool checked);
    void chkHeightClick(bool checked);
    void chkWatermarkClick(bool checked);
    void chkWAngleClick(bool checked);
    void btnWatermarkTextClick();
    void btnWatermarkColorClick();
    void btnCopyCommandLineClick();
    void btnBackgroundClick();

    // Source page.
    QPushButton* btnTickAllFormats;
    QPushButton* btnTickNoFormats;
    QGroupBox* gbSourceFormats;
    QTreeWidget* lvImageFormats;
    // Options page.
    QCheckBox* chkResize;
    QFrame* pnlResize;
    QLabel* lblStretchMode;
    QComboBox* cbStretchMode;
    QCheckBox* chkWidth;
    QLineEdit* edWidth;
    QCheckBox* chkHeight;
    QLineEdit* edHeight;
    QCheckBox* chkShrinkOnly;
    QLabel* lblResample;
    QComboBox* cbResample;
    QCheckBox* chkAutoRotate;
    QLabel* lblBackground;
    QPushButton* btnBackground;
    QGroupBox* gbBitmap;
    QLabel* lblPixelFormat;
    QComboBox* cbPixelFormat;
    QGroupBox* gbJPEG;
    QLabel* lblCompression;
    QComboBox* cbCompression;
    QGroupBox* gbGIF;
    QLabel* lblGIFColorReduction;
    QComboBox* cbGIFColorReduction;
    // WebP, AVIF and JPEG XL: the quality edit of the JPEG panel moves into
    // the panel shown, so one quality serves them all.
    QGroupBox* gbWebP;
    QCheckBox* chkWebPLossless;
    QLabel* lblWebPEffort;
    QComboBox* cbWebPEffort;
    QGroupBox* gbAVIF;
    QCheckBox* chkAVIFLossless;
    QLabel* lblAVIFSpeed;
    QComboBox* cbAVIFSpeed;
    QGroupBox* gbJXL;
    QCheckBox* chkJXLLossless;
    QLabel* lblJXLEffort;
    QComboBox* cbJXLEffort;
    QCheckBox* chkWatermark;
    QLabel* lblMetadata;
    QComboBox* cbMetadata;
    QFrame* pnlWatermark;
    QLabel* lblWatermarkText;
    QLineEdit* edWatermarkText;
    QLabel* lblWatermarkFont;
    QPushButton* btnWatermarkText;
    QPushButton* btnWatermarkColor;
    QLabel* lblWAlignment;
    TAlignmentComboBox* cbWAlignment;
    QLabel* lblWPosition;
    QComboBox* cbWPosition;
    QCheckBox* chkWAngle;
    QLineEdit* edWAngle;
    // Log page.
    QLabel* lblCommandLine;
    QLineEdit* edCommandLine;
    QPushButton* btnCopyCommandLine;
    QLabel* lblCommandLineNote;

    // The File list's thumbnail and the Options page's before/after view.
    TFileThumbnail* pnlThumbnail = nullptr;
    QCheckBox* chkShowPreview = nullptr;
    TfrmPreview* frmPreview = nullptr;

    std::vector<QPixmap> imgAlignment;

private:
    void CreateOptionControls();
    void FillSourceFormats();
    void ApplyWatermarkFont();
    QFont WatermarkQFont() const;
    // The colour behind transparent pixels (0xRRGGBB), shown on its button.
    void SetBackground(uint32_t rgb);
    void CreateModernFormatPanels();
    // The format panel of the Options page and the command line of the Log page.
    void UpdatePageExtras();
    void CreatePreviewControls();
    // The before/after view is shown on the Options page while its box is ticked.
    void UpdatePreview();
    void PreviewOptionsChanged();

    TFontDescription FWatermarkFont;
    int32_t FWatermarkBackground = static_cast<int32_t>(clWindow);
    uint32_t FBackground = 0xFFFFFF;
    TImageConverter FConverter;
};
