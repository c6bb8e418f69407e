// SPDX-License-Identifier: GPL-3.0-or-later
// Settings-file reader and writer: any bytes as a settings file, every listed
// key read back in every form, then one write into the parsed text, which must
// change that key only.
#include "util/IniFile.h"
#include "util/Wildcard.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using TValues = std::vector<std::pair<std::pair<std::string, std::string>, std::string>>;

TValues ReadAll(const TIniFile& ini) {
    TValues values;
    for (const std::string& section : ini.ReadSections())
        for (const std::string& key : ini.ReadSection(section)) {
            if (!ini.ValueExists(section, key)) __builtin_trap();
            std::string value = ini.ReadString(section, key, "");
            if (Utf8Length(value) > TIniFile::MaxValueLength) __builtin_trap();
            ini.ReadInteger(section, key, 0);
            ini.ReadBool(section, key, false);
            values.push_back({{section, key}, std::move(value)});
        }
    return values;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    TIniFile ini = TIniFile::FromText(text);
    TValues before = ReadAll(ini);

    // Line breaks are refused by the writer; anything else must round-trip.
    std::string value(text.substr(0, 64));
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    ini.WriteString("Fuzz", "Key", value);
    TIniFile reread = TIniFile::FromText(ini.Text());
    if (reread.ReadString("fuzz", "KEY", "-") != value) __builtin_trap();
    for (const auto& [name, old] : before) {
        if (SameTextFolded(name.first, "Fuzz") && SameTextFolded(name.second, "Key")) continue;
        if (reread.ReadString(name.first, name.second, "-") != old) __builtin_trap();
    }
    return 0;
}
