// SPDX-License-Identifier: GPL-3.0-or-later
// Window-side helpers: the shell, the folder dialog, numeric edits, and the
// byte-exact file names behind the texts that edits and rows show.
#pragma once

#include <QDateTime>
#include <QString>

#include <string>

class QLineEdit;
class QWidget;

// Opens a file, web address or mailto link with the desktop's handler; false when
// no handler took it.
bool ShellOpen(const std::string& target);
// Where the window's folders start on a first start: the user's Pictures folder
// (XDG user folders), or home without one; with a trailing "/".
std::string PicturesFolder();
// The HTML manual of a program in programFolder; empty when there is none.
std::string FindManual(const std::string& programFolder);
// The folder dialog; true and folder replaced when the user chose a folder.
bool SelectFolder(QWidget* owner, const QString& title, std::string& folder);
// Digits only, right-aligned.
void MakeEditNumeric(QLineEdit* edit);

// A display copy of bytes that are meant to be UTF-8 (invalid sequences shown as U+FFFD).
QString DecodeBytes(const std::string& bytes);
// Puts bytes into an edit and remembers them, so that a name that is not valid
// UTF-8 survives until the user changes the text.
void SetEditBytes(QLineEdit* edit, const std::string& bytes);
// The bytes an edit stands for: the remembered bytes while the text is unchanged,
// else the text in UTF-8.
std::string EditBytes(const QLineEdit* edit);

// Date and time for the log header: the system locale's short date and long time
// pattern without the time-zone field; the time is left out at exactly 00:00:00.
std::string LogDateTime(const QDateTime& when);
