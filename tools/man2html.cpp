// SPDX-License-Identifier: GPL-3.0-or-later
// Turns the manual page into the HTML page that Help > Contents opens. It knows
// the man macros our page uses (TH, SH, SS, PP, LP, TP, IP, RS, RE, br, B, I and
// the alternating-font pairs) and the usual escapes; anything else is kept as text.
//   man2html <page.1> <out.html>
#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// Inline escapes and font changes of one line.
std::string Inline(const std::string& line) {
    std::string out;
    std::string font = "R";
    auto setFont = [&](const std::string& to) {
        if (font == "B") out += "</b>";
        if (font == "I") out += "</i>";
        font = to == "P" ? "R" : to;
        if (font == "B") out += "<b>";
        if (font == "I") out += "<i>";
    };
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c != '\\' || i + 1 >= line.size()) {
            out += Escape(std::string(1, c));
            continue;
        }
        const char e = line[++i];
        if (e == 'f' && i + 1 < line.size()) {
            setFont(std::string(1, line[++i]));
        } else if (e == '-' || e == 'e') {
            out += e == '-' ? "-" : "\\";
        } else if (e == '&' || e == ':') {
        } else if (e == '(' && i + 2 < line.size()) {
            const std::string name = line.substr(i + 1, 2);
            i += 2;
            out += name == "em" ? "&mdash;" : name == "en" ? "&ndash;" : name == "aq" ? "'" : "";
        } else if (e == ' ') {
            out += "&nbsp;";
        } else {
            out += Escape(std::string(1, e));
        }
    }
    setFont("R");
    return out;
}

// The words of a macro line; quoted arguments keep their blanks.
std::vector<std::string> Arguments(const std::string& text) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) args.push_back(current);
    return args;
}

std::string Tagged(const std::string& tag, const std::string& text) {
    return tag.empty() ? text : "<" + tag + ">" + text + "</" + tag + ">";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: man2html page.1 out.html\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "man2html: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::ostringstream body;
    std::string title = "Manual";
    bool inParagraph = false, inList = false, termNext = false;
    auto closeBlocks = [&] {
        if (inParagraph) body << "</p>\n";
        if (inList) body << "</dd>\n</dl>\n";
        inParagraph = inList = false;
    };
    auto text = [&](const std::string& html) {
        if (termNext) {
            body << "<dt>" << html << "</dt>\n<dd>";
            termNext = false;
            return;
        }
        if (!inParagraph && !inList) {
            body << "<p>";
            inParagraph = true;
        }
        body << html << "\n";
    };
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(".\\\"") || line.starts_with("'\\\"")) continue;
        if (line.empty() || line[0] != '.') {
            text(Inline(line));
            continue;
        }
        const size_t space = line.find(' ');
        const std::string macro =
            line.substr(1, space == std::string::npos ? std::string::npos : space - 1);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        const std::vector<std::string> args = Arguments(rest);
        if (macro == "TH") {
            if (!args.empty()) title = args[0];
            for (char& c : title)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (macro == "SH" || macro == "SS") {
            closeBlocks();
            body << (macro == "SH" ? "<h2>" : "<h3>") << Inline(rest)
                 << (macro == "SH" ? "</h2>\n" : "</h3>\n");
        } else if (macro == "PP" || macro == "LP" || macro == "P") {
            closeBlocks();
        } else if (macro == "TP" || macro == "IP") {
            if (inParagraph) body << "</p>\n";
            inParagraph = false;
            if (!inList)
                body << "<dl>\n";
            else
                body << "</dd>\n";
            inList = true;
            if (macro == "TP")
                termNext = true;
            else
                body << "<dt>" << (args.empty() ? "" : Inline(args[0])) << "</dt>\n<dd>";
        } else if (macro == "RS") {
            closeBlocks();
            body << "<div class=\"indent\">\n";
        } else if (macro == "RE") {
            closeBlocks();
            body << "</div>\n";
        } else if (macro == "br") {
            body << "<br>\n";
        } else if (macro == "B" || macro == "I") {
            text(Tagged(macro == "B" ? "b" : "i", Inline(rest.empty() ? "" : rest)));
        } else if (macro.size() == 2 && std::string("BIR").find(macro[0]) != std::string::npos &&
                   std::string("BIR").find(macro[1]) != std::string::npos) {
            std::string html;
            for (size_t i = 0; i < args.size(); ++i) {
                const char f = macro[i % 2];
                html += Tagged(f == 'B' ? "b" : f == 'I' ? "i" : "", Inline(args[i]));
            }
            text(html);
        }
        // Other requests (spacing, fonts of whole blocks) carry nothing for the page.
    }
    closeBlocks();
    std::ofstream out(argv[2], std::ios::binary);
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
        << Escape(title) << " manual</title>\n<style>\n"
        << "body{font-family:sans-serif;max-width:50em;margin:2em auto;padding:0 1em;"
           "line-height:1.45}\n"
        << "dt{margin-top:.6em}dd{margin-left:2em}.indent{margin-left:2em}\n"
        << "</style>\n</head>\n<body>\n<h1>" << Escape(title) << "</h1>\n"
        << body.str() << "</body>\n</html>\n";
    if (!out) {
        std::cerr << "man2html: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
