// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/FileUtils.h"

#include "base/Exceptions.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

bool FolderExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string RemoveTrailingDelimiter(const std::string& path) {
    if (!path.empty() && path.back() == PathDelim) return path.substr(0, path.size() - 1);
    return path;
}

bool CreateFolderPath(const std::string& path) {
    if (path.empty()) throw EInOutError("Unable to create directory");
    // Every trailing delimiter goes, not just one: "a//" must not make "a/" its own parent.
    std::string p = path;
    while (!p.empty() && p.back() == PathDelim)
        p.pop_back();
    if (p.empty() || FolderExists(p)) return true; // the root, or already there
    size_t slash = p.rfind(PathDelim);
    if (slash != std::string::npos && !CreateFolderPath(p.substr(0, slash + 1))) return false;
    // Another process may create it at the same moment: what counts is that it exists.
    if (::mkdir(p.c_str(), 0777) == 0) return true;
    return errno == EEXIST && FolderExists(p);
}

std::string GetProgramFileName() {
    std::vector<char> buf(4096);
    while (true) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) break;
        if (static_cast<size_t>(n) < buf.size()) {
            std::string name(buf.data(), static_cast<size_t>(n));
            // The kernel marks a program file replaced while it runs (an update).
            constexpr std::string_view deleted = " (deleted)";
            if (name.size() > deleted.size() && name.ends_with(deleted))
                name.resize(name.size() - deleted.size());
            return name;
        }
        buf.resize(buf.size() * 2);
    }
    // No /proc: fall back to the name the program was started by.
    if (char* resolved = ::realpath(program_invocation_name, nullptr)) {
        std::string name(resolved);
        std::free(resolved);
        return name;
    }
    return program_invocation_name;
}

std::string GetProgramFolder() {
    std::string file = GetProgramFileName();
    size_t slash = file.rfind(PathDelim);
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

std::string DefaultFolder() {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return GetProgramFolder();
        buf.resize(buf.size() * 2);
    }
    std::string folder(buf.data());
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string ProgramBaseName(std::string_view fileName) {
    size_t slash = fileName.rfind(PathDelim);
    std::string_view name = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return std::string(name);
}

namespace {

std::string WithoutTrailingDelimiters(std::string path) {
    while (path.size() > 1 && path.back() == PathDelim)
        path.pop_back();
    return path;
}

// The base configuration folder, or empty when the environment names none.
std::string ConfigHome() {
    // A relative XDG_CONFIG_HOME is invalid by its own rules and ignored.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == PathDelim) return WithoutTrailingDelimiters(xdg);
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') {
        std::string h = WithoutTrailingDelimiters(home);
        return (h == "/" ? "" : h) + "/.config";
    }
    return std::string();
}

} // namespace

std::string GetUserDataFolder(const std::string& subPath) {
    std::string base = ConfigHome();
    if (base.empty()) return GetProgramFolder();
    if (subPath.empty()) return base;
    std::string folder = base + PathDelim + subPath;
    // A folder that cannot be created is not reported here: reads fall back to
    // their defaults and the first write names the file it could not write.
    CreateFolderPath(folder);
    return folder;
}

std::string GetSettingsFileName() {
    std::string n = ProgramBaseName(GetProgramFileName());
    return GetUserDataFolder("Kelvane/" + n + "/") + n + ".ini";
}
