// SPDX-License-Identifier: GPL-3.0-or-later
// Folder tests and creation, the program file, and where the settings live.
#pragma once

#include <string>
#include <string_view>

constexpr char PathDelim = '/';

// True when path names a folder (links followed).
bool FolderExists(const std::string& path);
// path without one trailing "/".
std::string RemoveTrailingDelimiter(const std::string& path);
// Creates the folder and its missing parents, like mkdir -p; true when the
// folder exists afterwards. The root and the empty parent of a relative path
// count as existing. Only an empty path raises (EInOutError "Unable to create
// directory"); every other failure is just the false result.
bool CreateFolderPath(const std::string& path);

// The running executable, links resolved (a link with another name still finds
// the program's own settings).
std::string GetProgramFileName();
// The folder of the program file, with trailing "/".
std::string GetProgramFolder();
// Where source and destination are when nobody says: the current working
// folder, with trailing "/" (the program's own folder is a system folder once
// installed). The program's folder when the working folder cannot be named.
std::string DefaultFolder();
// A file name without its folder and without its last extension
// ("/opt/tool.beta.exe" gives "tool.beta"; a leading dot starts no extension).
std::string ProgramBaseName(std::string_view fileName);

// The per-user configuration folder ($XDG_CONFIG_HOME, else $HOME/.config).
// With a sub-path the result is that folder + "/" + subPath, created on the
// way. When no such folder can be named the program's own folder is returned
// and nothing is created.
std::string GetUserDataFolder(const std::string& subPath);
// <user data folder>/Kelvane/N/N.ini, N being ProgramBaseName of the program file.
std::string GetSettingsFileName();
