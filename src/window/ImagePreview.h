// SPDX-License-Identifier: GPL-3.0-or-later
// The thumbnail of the File list and the before/after view of the Options
// page. Pictures are read and converted by the engine on a pool thread (one
// at a time per view, the latest request wins), so the window never waits.
#pragma once

#include "convert/ConvertOptions.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QLabel;
class QTimer;

// One picture of a view: what was read, or why nothing was.
struct TPreviewPanelData {
    QImage Image;
    int Width = 0, Height = 0; // of the whole picture
    int64_t Bytes = -1;        // its file's size
    QString Format;            // the written format's name, for a converted picture
    QString Error;
};

struct TPreviewOutcome {
    TPreviewPanelData Before, After;
    // The private folder the conversion wrote into (removed when the work ended).
    QString TemporaryFolder;
};

// Runs one piece of work at a time on the global thread pool. A request made
// while one runs waits in place of any earlier waiting one, and the result of
// work overtaken by a newer request is dropped: only the latest is reported.
class TPreviewLoader : public QObject {
    Q_OBJECT
public:
    using TWork = std::function<TPreviewOutcome()>;
    explicit TPreviewLoader(QObject* parent = nullptr);
    ~TPreviewLoader() override;
    void Request(TWork work);
    // Work running or waiting.
    bool Busy() const { return FRunning || FPending.has_value(); }
signals:
    void Ready(const TPreviewOutcome& outcome);

private:
    void Start(TWork work);
    void Finished();
    QFutureWatcher<TPreviewOutcome> FWatcher;
    std::optional<TWork> FPending;
    bool FRunning = false;
};

// A picture scaled to fit (never enlarged), centred, over a check pattern
// where it is transparent; the reason in its place when there is none.
class TPictureView : public QWidget {
    Q_OBJECT
public:
    explicit TPictureView(QWidget* parent = nullptr);
    void SetPanel(const TPreviewPanelData& panel);
    void Clear(const QString& text = QString());
    const TPreviewPanelData& Panel() const { return FPanel; }
    // What is shown instead of a picture ("" while a picture is shown).
    QString Text() const { return FText; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TPreviewPanelData FPanel;
    QString FText;
};

// "1024 × 768, 120 KB", with the format before the bytes when the panel names one.
QString PreviewCaption(const TPreviewPanelData& panel);
// "JPEG", "PNG", … of a destination index.
QString DestinationFormatName(int destination);

// The File list's thumbnail: the picture of the current row, its pixel size and file size.
class TFileThumbnail : public QWidget {
    Q_OBJECT
public:
    explicit TFileThumbnail(QWidget* parent = nullptr);
    // An empty name clears the view.
    void ShowFile(const std::string& fileName);
    bool Busy() const { return FLoader->Busy(); }
    // The file shown or being read.
    const std::string& FileName() const { return FFileName; }

private:
    void Shown(const TPreviewOutcome& outcome);
    TPictureView* imgThumbnail;
    QLabel* lblThumbnail;
    TPreviewLoader* FLoader;
    std::string FFileName;
};

// The before/after view: one source as read and as the current options
// convert it, side by side. The conversion writes into a private temporary
// folder that is removed as soon as the written file has been read back.
class TfrmPreview : public QDialog {
    Q_OBJECT
public:
    // Where the file and the options come from, read when the work starts.
    using TSourceOf = std::function<std::string()>;
    using TOptionsOf = std::function<TConvertOptions()>;
    TfrmPreview(TSourceOf sourceOf, TOptionsOf optionsOf, QWidget* parent = nullptr);
    // Shows the view beside owner (first time only: then where the user put it),
    // leaving the keyboard where it is.
    void ShowBeside(const QWidget* owner);
    // Converts anew after a short pause (option edits come in bursts).
    void OptionsChanged();
    // Reads the file and the options and starts the conversion now; an empty
    // source shows why there is nothing.
    void Flush();
    bool Busy() const;
    const std::string& SourceFile() const { return FSource; }
    // The folder the last finished conversion used.
    const QString& LastTemporaryFolder() const { return FLastTemporaryFolder; }

private:
    void Shown(const TPreviewOutcome& outcome);
    QLabel* lblPreviewFile;
    QLabel* lblBefore;
    QLabel* lblAfter;
    TPictureView* imgBefore;
    TPictureView* imgAfter;
    QTimer* FDelay;
    TPreviewLoader* FLoader;
    TSourceOf FSourceOf;
    TOptionsOf FOptionsOf;
    std::string FSource;
    // The source's picture of the last result: an option change converts
    // again but need not read the source again.
    std::string FBeforeSource;
    TPreviewPanelData FBefore;
    QString FLastTemporaryFolder;
    bool FPlaced = false;
};
