// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/ImagePreview.h"

#include "convert/PreviewPicture.h"
#include "window/WindowUtils.h"

#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPromise>
#include <QScreen>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <memory>

namespace {

// Box of the File list's thumbnail and of each half of the before/after view.
constexpr QSize ThumbnailBox{160, 120};
constexpr QSize PreviewBox{360, 270};

// The engine's pf32bit picture (blue, green, red, alpha) as a QImage.
QImage ToQImage(const TBitmap& bgra) {
    QImage image(bgra.Width(), bgra.Height(), QImage::Format_RGBA8888);
    for (int y = 0; y < bgra.Height(); ++y) {
        const uint8_t* from = bgra.ScanLine(y);
        uchar* to = image.scanLine(y);
        for (int x = 0; x < bgra.Width(); ++x, from += 4, to += 4) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
            to[3] = from[3];
        }
    }
    return image;
}

void TakePicture(TPreviewPanelData& panel, const TPreviewPicture& picture) {
    panel.Width = picture.Width;
    panel.Height = picture.Height;
    panel.Image = ToQImage(*picture.Pixels);
}

// Runs a reading step; its failure becomes the panel's text.
template <class F> void Guarded(TPreviewPanelData& panel, F&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        panel = TPreviewPanelData();
        panel.Error = DecodeBytes(e.what());
    } catch (...) {
        panel = TPreviewPanelData();
        panel.Error = QStringLiteral("Unknown error");
    }
}

TPreviewPanelData ReadSource(const std::string& fileName, QSize box) {
    TPreviewPanelData panel;
    Guarded(panel, [&] {
        TakePicture(panel, LoadPreviewPicture(fileName, box.width(), box.height()));
        std::error_code error;
        const auto bytes = std::filesystem::file_size(fileName, error);
        if (!error) panel.Bytes = static_cast<int64_t>(bytes);
    });
    return panel;
}

QString SizeText(int64_t bytes) {
    if (bytes < 1024) return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024) return QStringLiteral("%1 KB").arg((bytes + 512) / 1024);
    return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QSize DeviceBox(const QWidget* view, QSize box) {
    return box * std::max(1.0, view->devicePixelRatioF());
}

} // namespace

// ---- TPreviewLoader

TPreviewLoader::TPreviewLoader(QObject* parent) : QObject(parent) {
    connect(&FWatcher, &QFutureWatcherBase::finished, this, [this] { Finished(); });
}

// Work still running keeps only its own copies and its promise; its result is dropped.
TPreviewLoader::~TPreviewLoader() = default;

void TPreviewLoader::Request(TWork work) {
    if (FRunning)
        FPending = std::move(work);
    else
        Start(std::move(work));
}

void TPreviewLoader::Start(TWork work) {
    FRunning = true;
    auto promise = std::make_shared<QPromise<TPreviewOutcome>>();
    promise->start();
    FWatcher.setFuture(promise->future());
    QThreadPool::globalInstance()->start([promise, work = std::move(work)] {
        TPreviewOutcome outcome;
        try {
            outcome = work();
        } catch (const std::exception& e) {
            outcome.Before.Error = DecodeBytes(e.what());
        } catch (...) {
            outcome.Before.Error = QStringLiteral("Unknown error");
        }
        promise->addResult(std::move(outcome));
        promise->finish();
    });
}

void TPreviewLoader::Finished() {
    FRunning = false;
    const QFuture<TPreviewOutcome> future = FWatcher.future();
    if (FPending) {
        // Overtaken: the newer request is the one that counts.
        TWork next = std::move(*FPending);
        FPending.reset();
        Start(std::move(next));
        return;
    }
    if (future.resultCount() > 0) emit Ready(future.result());
}

// ---- TPictureView

TPictureView::TPictureView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setMinimumSize(64, 48);
}

void TPictureView::SetPanel(const TPreviewPanelData& panel) {
    FPanel = panel;
    FText = panel.Image.isNull() ? panel.Error : QString();
    setToolTip(FText);
    update();
}

void TPictureView::Clear(const QString& text) {
    FPanel = TPreviewPanelData();
    FText = text;
    setToolTip(QString());
    update();
}

void TPictureView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect();
    painter.fillRect(area, palette().color(QPalette::Base));
    if (FPanel.Image.isNull()) {
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(area.adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap, FText);
        return;
    }
    // Scaled to fit in device pixels, never enlarged, centred.
    const qreal ratio = devicePixelRatioF();
    QSizeF size = QSizeF(FPanel.Image.size()) / ratio;
    if (size.width() > area.width() || size.height() > area.height())
        size.scale(area.size(), Qt::KeepAspectRatio);
    const QRectF target(area.left() + (area.width() - size.width()) / 2,
                        area.top() + (area.height() - size.height()) / 2, size.width(),
                        size.height());
    if (FPanel.Image.hasAlphaChannel()) {
        // Transparent parts show as a check pattern, as image viewers do.
        QPixmap tile(16, 16);
        tile.fill(Qt::white);
        QPainter tiles(&tile);
        tiles.fillRect(0, 0, 8, 8, QColor(204, 204, 204));
        tiles.fillRect(8, 8, 8, 8, QColor(204, 204, 204));
        tiles.end();
        painter.fillRect(target, QBrush(tile));
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, FPanel.Image);
}

// ---- captions

QString DestinationFormatName(int destination) {
    static const char* const names[] = {"BMP", "JPEG", "GIF",  "WMF",    "EMF",
                                        "PNG", "WebP", "AVIF", "JPEG XL"};
    if (destination < 0 || destination >= static_cast<int>(std::size(names))) return QString();
    return QString::fromLatin1(names[destination]);
}

QString PreviewCaption(const TPreviewPanelData& panel) {
    if (panel.Image.isNull()) return QString();
    QString text = QStringLiteral("%1 \u00d7 %2").arg(panel.Width).arg(panel.Height);
    if (panel.Bytes >= 0)
        text += QStringLiteral(", ") +
                (panel.Format.isEmpty() ? QString() : panel.Format + QLatin1Char(' ')) +
                SizeText(panel.Bytes);
    return text;
}

// ---- TFileThumbnail

TFileThumbnail::TFileThumbnail(QWidget* parent) : QWidget(parent) {
    imgThumbnail = new TPictureView(this);
    imgThumbnail->setObjectName(QStringLiteral("imgThumbnail"));
    imgThumbnail->setAccessibleName(QStringLiteral("Picture of the selected file"));
    imgThumbnail->setGeometry(0, 0, ThumbnailBox.width(), ThumbnailBox.height());
    lblThumbnail = new QLabel(this);
    lblThumbnail->setObjectName(QStringLiteral("lblThumbnail"));
    lblThumbnail->setGeometry(0, ThumbnailBox.height() + 4, ThumbnailBox.width(), 48);
    lblThumbnail->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lblThumbnail->setWordWrap(true);
    resize(ThumbnailBox.width(), ThumbnailBox.height() + 52);
    imgThumbnail->Clear(QStringLiteral("Select a file to see its picture here."));
    FLoader = new TPreviewLoader(this);
    connect(FLoader, &TPreviewLoader::Ready, this,
            [this](const TPreviewOutcome& outcome) { Shown(outcome); });
}

void TFileThumbnail::ShowFile(const std::string& fileName) {
    FFileName = fileName;
    if (fileName.empty()) {
        imgThumbnail->Clear(QStringLiteral("Select a file to see its picture here."));
        lblThumbnail->clear();
        // Work still running reports into an empty view; a later request replaces it.
        FLoader->Request([] { return TPreviewOutcome(); });
        return;
    }
    lblThumbnail->setText(QStringLiteral("Reading\u2026"));
    const QSize box = DeviceBox(imgThumbnail, ThumbnailBox);
    FLoader->Request([fileName, box] {
        TPreviewOutcome outcome;
        outcome.Before = ReadSource(fileName, box);
        return outcome;
    });
}

void TFileThumbnail::Shown(const TPreviewOutcome& outcome) {
    if (FFileName.empty()) return;
    imgThumbnail->SetPanel(outcome.Before);
    lblThumbnail->setText(PreviewCaption(outcome.Before));
}

// ---- TfrmPreview

TfrmPreview::TfrmPreview(TSourceOf sourceOf, TOptionsOf optionsOf, QWidget* parent)
    : QDialog(parent), FSourceOf(std::move(sourceOf)), FOptionsOf(std::move(optionsOf)) {
    setObjectName(QStringLiteral("frmPreview"));
    setWindowTitle(QStringLiteral("Preview"));
    setModal(false);
    // Ticking its box keeps the keyboard on the Options page.
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto* grid = new QGridLayout(this);
    lblPreviewFile = new QLabel(this);
    lblPreviewFile->setObjectName(QStringLiteral("lblPreviewFile"));
    grid->addWidget(lblPreviewFile, 0, 0, 1, 2);
    imgBefore = new TPictureView(this);
    imgBefore->setObjectName(QStringLiteral("imgBefore"));
    imgAfter = new TPictureView(this);
    imgAfter->setObjectName(QStringLiteral("imgAfter"));
    imgBefore->setAccessibleName(QStringLiteral("Before"));
    imgAfter->setAccessibleName(QStringLiteral("After conversion"));
    for (TPictureView* view : {imgBefore, imgAfter}) {
        view->setMinimumSize(PreviewBox / 2);
        view->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }
    grid->addWidget(imgBefore, 1, 0);
    grid->addWidget(imgAfter, 1, 1);
    lblBefore = new QLabel(this);
    lblBefore->setObjectName(QStringLiteral("lblBefore"));
    lblAfter = new QLabel(this);
    lblAfter->setObjectName(QStringLiteral("lblAfter"));
    for (QLabel* caption : {lblBefore, lblAfter})
        caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    grid->addWidget(lblBefore, 2, 0);
    grid->addWidget(lblAfter, 2, 1);
    resize(2 * PreviewBox.width() + 40, PreviewBox.height() + 80);

    FDelay = new QTimer(this);
    FDelay->setSingleShot(true);
    FDelay->setInterval(300);
    connect(FDelay, &QTimer::timeout, this, [this] { Flush(); });
    FLoader = new TPreviewLoader(this);
    connect(FLoader, &TPreviewLoader::Ready, this,
            [this](const TPreviewOutcome& outcome) { Shown(outcome); });
}

void TfrmPreview::ShowBeside(const QWidget* owner) {
    if (isVisible()) return;
    FBeforeSource.clear(); // the file may have changed while the view was closed
    if (!FPlaced && owner && owner->screen()) {
        // Beside the window, so that neither hides the other's options.
        const QRect main = owner->frameGeometry();
        const QRect screen = owner->screen()->availableGeometry();
        const QSize size = frameGeometry().size().boundedTo(screen.size());
        int x = main.right() + 8;
        if (x + size.width() > screen.right()) x = main.left() - 8 - size.width();
        if (x < screen.left()) x = screen.right() - size.width();
        const int y = std::clamp(main.top(), screen.top(), screen.bottom() - size.height());
        move(x, y);
        FPlaced = true;
    }
    show();
}

void TfrmPreview::OptionsChanged() {
    FDelay->start();
}

void TfrmPreview::Flush() {
    FDelay->stop();
    FSource = FSourceOf();
    if (FSource.empty()) {
        lblPreviewFile->setText(
            QStringLiteral("No file to preview: tick or select one on the File list."));
        imgBefore->Clear();
        imgAfter->Clear();
        lblBefore->clear();
        lblAfter->clear();
        FLoader->Request([] { return TPreviewOutcome(); });
        return;
    }
    lblPreviewFile->setText(DecodeBytes(FSource));
    lblAfter->setText(QStringLiteral("Converting\u2026"));
    const QSize box = DeviceBox(this, PreviewBox);
    std::optional<TPreviewPanelData> known;
    if (FBeforeSource == FSource) known = FBefore;
    FLoader->Request([source = FSource, options = FOptionsOf(), box, known] {
        TPreviewOutcome outcome;
        outcome.Before = known ? *known : ReadSource(source, box);
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/trevasco-preview-XXXXXX"));
        if (!folder.isValid()) {
            outcome.After.Error =
                QStringLiteral("No temporary folder for the preview: ") + folder.errorString();
            return outcome;
        }
        outcome.TemporaryFolder = folder.path();
        const std::string dest =
            folder.path().toStdString() + "/preview" + DestinationExtension(options.Destination);
        Guarded(outcome.After, [&] {
            const TPreviewResult result =
                ConvertForPreview(source, dest, options, box.width(), box.height());
            TakePicture(outcome.After, result.Picture);
            outcome.After.Bytes = result.FileSize;
            outcome.After.Format = DestinationFormatName(*options.Destination);
        });
        return outcome; // the folder and the file in it are removed here
    });
}

bool TfrmPreview::Busy() const {
    return FDelay->isActive() || FLoader->Busy();
}

void TfrmPreview::Shown(const TPreviewOutcome& outcome) {
    if (FSource.empty()) return;
    FBeforeSource = FSource;
    FBefore = outcome.Before;
    FLastTemporaryFolder = outcome.TemporaryFolder;
    imgBefore->SetPanel(outcome.Before);
    imgAfter->SetPanel(outcome.After);
    const QString before = PreviewCaption(outcome.Before);
    const QString after = PreviewCaption(outcome.After);
    lblBefore->setText(before.isEmpty() ? QString() : QStringLiteral("Before: ") + before);
    lblAfter->setText(after.isEmpty() ? QString() : QStringLiteral("After: ") + after);
}
