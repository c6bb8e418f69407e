// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/WindowUtils.h"

#include <QByteArray>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStandardPaths>
#include <QUrl>
#include <QVariant>

namespace {
const char* const RawBytesProperty = "trevascoRawBytes";
}

bool ShellOpen(const std::string& target) {
    if (target.empty()) return false;
    QString text = DecodeBytes(target);
    // Web and mail addresses carry a scheme; anything else is a file name.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    QUrl url =
        scheme.match(text).hasMatch() ? QUrl(text, QUrl::TolerantMode) : QUrl::fromLocalFile(text);
    return QDesktopServices::openUrl(url);
}

std::string FindManual(const std::string& programFolder) {
    // Beside the program in a build; under share/doc when installed.
    std::string folder = programFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    for (const std::string& candidate :
         {folder + "trevasco.html", folder + "../share/doc/trevasco/trevasco.html"})
        if (QFileInfo(QFile::decodeName(candidate.c_str())).isFile()) return candidate;
    return std::string();
}

std::string PicturesFolder() {
    // The XDG user folder (user-dirs.dirs), or ~/Pictures by default; home when it is missing.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
    std::string bytes = QFile::encodeName(folder).toStdString();
    if (bytes.empty() || bytes.back() != '/') bytes += '/';
    return bytes;
}

bool SelectFolder(QWidget* owner, const QString& title, std::string& folder) {
    QString chosen = QFileDialog::getExistingDirectory(owner, title, DecodeBytes(folder),
                                                       QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return false;
    folder = chosen.toUtf8().toStdString();
    return true;
}

void MakeEditNumeric(QLineEdit* edit) {
    static const QRegularExpression digits(QStringLiteral("[0-9]*"));
    edit->setValidator(new QRegularExpressionValidator(digits, edit));
    edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

QString DecodeBytes(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

void SetEditBytes(QLineEdit* edit, const std::string& bytes) {
    edit->setText(DecodeBytes(bytes));
    edit->setProperty(RawBytesProperty,
                      QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string EditBytes(const QLineEdit* edit) {
    QVariant raw = edit->property(RawBytesProperty);
    if (raw.isValid()) {
        QByteArray bytes = raw.toByteArray();
        std::string s(bytes.constData(), static_cast<size_t>(bytes.size()));
        if (DecodeBytes(s) == edit->text()) return s;
    }
    return edit->text().toUtf8().toStdString();
}

namespace {
// Removes the time-zone field ("t", "tt", ...) and the blanks that set it off.
QString WithoutTimeZone(QString pattern) {
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    // Quoted literal text never holds the field in Qt's patterns for real locales.
    return pattern.replace(zone, QStringLiteral(" ")).trimmed();
}
} // namespace

std::string LogDateTime(const QDateTime& when) {
    QLocale locale = QLocale::system();
    QString text = locale.toString(when.date(), locale.dateFormat(QLocale::ShortFormat));
    QTime t = when.time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0)
        text += QLatin1Char(' ') +
                locale.toString(t, WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    return text.toUtf8().toStdString();
}
