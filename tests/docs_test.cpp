// The documents say what the program does: every cause it can print is in
// the causes list of each read-me and manual page, and nothing else is.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
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

// "erreur systeme N" and the like: the cause's own words, without the number.
std::string without_number(std::string cause) {
    if (cause.size() > 2 && cause.compare(cause.size() - 2, 2, " N") == 0) {
        cause.resize(cause.size() - 2);
    }
    return cause;
}

// The causes a document lists: where its list starts, and how a cause is
// written on a line of it.
struct CausesCase {
    const char* document;
    std::string start;  // the list follows the first line that begins so
    std::string end;    // ... up to the first line after it that begins so
    std::regex cause;   // its first group: the cause
};

TEST(Documents, ListEveryCauseTheProgramPrints) {
    const std::vector<std::string> program = vork::cause_texts();
    const std::set<std::string> expected(program.begin(), program.end());
    ASSERT_EQ(expected.size(), program.size()) << "two causes read the same";
    const std::regex table_row(R"(^\| `([^`]+)` \|)");
    const std::regex man_item(R"x(^\.B "([^"].*)"$)x");
    const CausesCase documents[] = {
        {.document = "README.md", .start = "## Causes", .end = "## ", .cause = table_row},
        {.document = "LISEZMOI.md", .start = "## Causes", .end = "## ", .cause = table_row},
        {.document = "doc/vork.1", .start = R"x(.B """Cause : %s\en""")x", .end = ".RE",
         .cause = man_item},
        {.document = "doc/fr/vork.1", .start = R"x(.B """Cause : %s\en""")x", .end = ".RE",
         .cause = man_item},
        {.document = "doc/windows/LISEZMOI.txt", .start = "Quand quelque chose", .end = "Avec moins",
         .cause = std::regex(R"x(^ +"Cause : ([^"]+)")x")},
    };
    for (const CausesCase& c : documents) {
        const std::vector<std::string> lines = lines_of(c.document);
        auto at = std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.rfind(c.start, 0) == 0; });
        ASSERT_NE(at, lines.end()) << c.document << " has no causes list";
        std::set<std::string> listed;
        for (++at; at != lines.end() && at->rfind(c.end, 0) != 0; ++at) {
            std::smatch found;
            if (std::regex_search(*at, found, c.cause) && found[1].str().rfind("Cause", 0) != 0) {
                listed.insert(without_number(std::regex_replace(found[1].str(), std::regex(R"(\\-)"), "-")));
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
