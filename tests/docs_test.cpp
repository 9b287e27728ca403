// The documents say what the program does: every cause it can print is in
// the causes list of each read-me and manual page, and nothing else is.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run.h"

namespace {

std::vector<std::string> lines_of(const std::string& document) {
    std::ifstream file(std::string(VORK_SOURCE_DIR) + "/" + document);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

// "erreur systeme N" and the like: the cause's own words, without the
// number; and `\-`, a man page's hyphen, as the hyphen it prints.
std::string cause_as_printed(std::string cause) {
    for (std::size_t at; (at = cause.find("\\-")) != std::string::npos;) {
        cause.erase(at, 1);
    }
    if (cause.size() > 2 && cause.compare(cause.size() - 2, 2, " N") == 0) {
        cause.resize(cause.size() - 2);
    }
    return cause;
}

// The text between `open` at the start of `line` (after its blanks) and the
// next `close`; empty when the line does not start so.
std::string quoted(const std::string& line, const std::string& open, char close) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line.compare(start, open.size(), open) != 0) {
        return {};
    }
    const std::size_t from = start + open.size();
    const std::size_t to = line.find(close, from);
    return to == std::string::npos ? std::string() : line.substr(from, to - from);
}

// A cause as each kind of document writes it on a line of its list.
std::string table_row(const std::string& line) { return quoted(line, "| `", '`'); }
std::string man_item(const std::string& line) {
    return line.rfind(".B \"\"", 0) == 0 ? std::string() : quoted(line, ".B \"", '"');
}
std::string text_line(const std::string& line) { return quoted(line, "\"Cause : ", '"'); }

struct CausesCase {
    const char* document;
    std::string start;  // the list follows the first line that begins so
    std::string end;    // ... up to the first line after it that begins so
    std::string (*cause)(const std::string& line);
};

TEST(Documents, ListEveryCauseTheProgramPrints) {
    const std::vector<std::string> program = vork::cause_texts();
    const std::set<std::string> expected(program.begin(), program.end());
    ASSERT_EQ(expected.size(), program.size()) << "two causes read the same";
    const std::string man_start = ".B \"\"\"Cause : %s\\en\"\"\"";
    const CausesCase documents[] = {
        {.document = "README.md", .start = "## Causes", .end = "## ", .cause = table_row},
        {.document = "LISEZMOI.md", .start = "## Causes", .end = "## ", .cause = table_row},
        {.document = "doc/vork.1", .start = man_start, .end = ".RE", .cause = man_item},
        {.document = "doc/fr/vork.1", .start = man_start, .end = ".RE", .cause = man_item},
        {.document = "doc/windows/LISEZMOI.txt", .start = "Quand quelque chose",
         .end = "Avec moins", .cause = text_line},
    };
    for (const CausesCase& c : documents) {
        const std::vector<std::string> lines = lines_of(c.document);
        auto at = std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.rfind(c.start, 0) == 0; });
        ASSERT_NE(at, lines.end()) << c.document << " has no causes list";
        std::set<std::string> listed;
        for (++at; at != lines.end() && at->rfind(c.end, 0) != 0; ++at) {
            const std::string cause = c.cause(*at);
            if (!cause.empty() && cause.rfind("Cause", 0) != 0) {
                listed.insert(cause_as_printed(cause));
            }
        }
        EXPECT_EQ(listed, expected) << c.document;
    }
}

// Plain-text titles are underlined to their exact length, in characters.
TEST(Documents, WindowsReadMeTitlesAreUnderlinedToTheirLength) {
    const auto characters = [](const std::string& text) {
        return std::count_if(text.begin(), text.end(),
                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    };
    const std::vector<std::string> lines = lines_of("doc/windows/LISEZMOI.txt");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() > 3 && line.find_first_not_of(line[0]) == std::string::npos &&
            (line[0] == '=' || line[0] == '-')) {
            std::string title = lines[i - 1];
            if (title.rfind("\xEF\xBB\xBF", 0) == 0) {
                title.erase(0, 3);  // the byte order mark Notepad wants
            }
            EXPECT_EQ(characters(line), characters(title)) << title;
        }
    }
}

}  // namespace
