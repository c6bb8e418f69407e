// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::string CorpusPath(const std::string& relative) {
    return "../shared/corpus/" + relative;
}

std::vector<std::string> CorpusFiles(const std::string& relative,
                                     const std::vector<std::string>& extensions, bool recursive) {
    std::vector<std::string> out;
    fs::path root = CorpusPath(relative);
    if (!fs::exists(root)) return out;
    auto take = [&](const fs::directory_entry& e) {
        if (!e.is_regular_file()) return;
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (extensions.empty() ||
            std::find(extensions.begin(), extensions.end(), ext) != extensions.end())
            out.push_back(e.path().string());
    };
    if (recursive)
        for (const auto& e : fs::recursive_directory_iterator(root))
            take(e);
    else
        for (const auto& e : fs::directory_iterator(root))
            take(e);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> KeptFuzzInputs(const std::string& target) {
    const char* root = std::getenv("TREVASCO_SOURCE_DIR");
    const fs::path dir = fs::path(root ? root : ".") / "fuzz/regressions" / target;
    std::vector<std::string> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() != ".md") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

TTempFolder::TTempFolder() {
    std::string tmpl = (fs::temp_directory_path() / "trevasco-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    char* made = mkdtemp(buf.data());
    FPath = made ? made : tmpl;
}

TTempFolder::~TTempFolder() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f),
                                std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}
