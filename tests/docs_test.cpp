// The documents say what the program does: every cause it can print is in
// the causes list of each read-me, guide and manual page, and nothing else
// is; every fault it finds in a disk image is in each guide and manual
// page; and each read-me's sample run is its quick start's own command,
// which prints what the sample shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scratch.h"
#include "texts.h"

namespace {

namespace fs = std::filesystem;

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
        {.document = "doc/guide.md", .start = "### Causes", .end = "#", .cause = table_row},
        {.document = "doc/fr/guide.md", .start = "### Causes", .end = "#", .cause = table_row},
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

// The lines of the first indented block in the section of `document` that
// starts with the line `title`, without their indent; blank lines within it kept.
std::vector<std::string> block_in(const std::string& document, const std::string& title) {
    const std::vector<std::string> lines = lines_of(document);
    const auto indented = [](const std::string& line) { return line.rfind("    ", 0) == 0; };
    auto at = std::find_if(std::find(lines.begin(), lines.end(), title), lines.end(), indented);
    std::vector<std::string> block;
    for (; at != lines.end(); ++at) {
        if (indented(*at)) {
            block.push_back(at->substr(4));
        } else if (!at->empty() || at + 1 == lines.end() || !indented(at[1])) {
            break;
        } else {
            block.emplace_back();
        }
    }
    return block;
}

struct SampleCase {
    const char* document;
    std::string quick_start;  // the titles of the two sections
    std::string sample;
};

TEST(Documents, SampleRunIsTheQuickStartsCommandAndPrintsWhatItShows) {
    const SampleCase documents[] = {
        {.document = "README.md", .quick_start = "## Quick start", .sample = "## A sample run"},
        {.document = "LISEZMOI.md", .quick_start = "## Pour commencer",
         .sample = "## Exemple d'exécution"},
    };
    for (const SampleCase& c : documents) {
        std::vector<std::string> sample = block_in(c.document, c.sample);
        ASSERT_FALSE(sample.empty()) << c.document;
        ASSERT_EQ(sample[0].rfind("$ ", 0), 0u) << c.document;
        const std::string command = sample[0].substr(2);
        // One of the quick start's commands, one to a line, before the sample.
        const std::vector<std::string> lines = lines_of(c.document);
        const auto quick_start = std::find(lines.begin(), lines.end(), c.quick_start);
        const auto sample_title = std::find(quick_start, lines.end(), c.sample);
        EXPECT_NE(std::find(quick_start, sample_title, "    " + command), sample_title)
            << c.document << ": " << command;
        // Run from the tree: the program as built, the example where it lies.
        std::istringstream words(command);
        std::string program;
        words >> program;
        ASSERT_EQ(program, "./build/default/vork") << c.document;
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        vork_test::Scratch scratch;
        fs::create_directories(scratch.work() / "build");
        fs::create_directories(scratch.work() / "examples");
        fs::copy_file(fs::path(VORK_SOURCE_DIR) / "examples/hello.raw",
                      scratch.work() / "examples/hello.raw");
        std::string shown;
        for (auto line = sample.begin() + 1; line != sample.end(); ++line) {
            shown += *line + "\n";
        }
        EXPECT_EQ(scratch.run(args).out, shown) << c.document;
    }
}

// The words of `format` around its %s and %d, each of which a document
// writes its own way (TARGET, N, %s).
std::vector<std::string> fixed_words(std::string format) {
    std::vector<std::string> words;
    format.erase(format.find_last_not_of('\n') + 1);
    std::size_t from = 0;
    for (std::size_t at; (at = format.find('%', from)) != std::string::npos; from = at + 2) {
        words.push_back(format.substr(from, at - from));
    }
    words.push_back(format.substr(from));
    return words;
}

TEST(Documents, ListTheTargetsFailuresAndWhereAListedFileEnds) {
    const std::vector<const char*> conversion = {vork::text::kUnwritable, vork::text::kNotSynced};
    std::vector<const char*> with_list = conversion;
    with_list.push_back(vork::text::kCutInBlock);
    const std::pair<const char*, std::vector<const char*>> documents[] = {
        {"doc/guide.md", with_list},   {"doc/fr/guide.md", with_list},
        {"doc/vork.1", with_list},     {"doc/fr/vork.1", with_list},
        {"doc/windows/LISEZMOI.txt", conversion},
    };
    for (const auto& [document, messages] : documents) {
        std::string text;
        for (const std::string& line : lines_of(document)) {
            text += cause_as_printed(line) + "\n";
        }
        for (const char* message : messages) {
            for (const std::string& words : fixed_words(message)) {
                EXPECT_NE(text.find(words), std::string::npos) << document << ": " << words;
            }
        }
    }
}

TEST(Documents, ListWhatIsWrongWithADiskImageAndWhyItIsLeftAsItWas) {
    std::vector<std::string> messages;
    for (int problem = 1; problem < static_cast<int>(vork::disk::ImageProblem::face); ++problem) {
        messages.emplace_back(vork::text::image_problem_text(
            {.problem = static_cast<vork::disk::ImageProblem>(problem)}));
    }
    for (int face = 1; face <= static_cast<int>(vork::disk::Problem::last_bytes); ++face) {
        messages.emplace_back(vork::text::image_problem_text(
            {.problem = vork::disk::ImageProblem::face,
             .face = static_cast<vork::disk::Problem>(face)}));
    }
    for (const char* message : {vork::text::kImageWrongSize, vork::text::kNoRoom,
                                vork::text::kDirectoryFull, vork::text::kUntouched}) {
        for (const std::string& words : fixed_words(message)) {
            messages.push_back(words);
        }
    }
    for (const char* document :
         {"doc/guide.md", "doc/fr/guide.md", "doc/vork.1", "doc/fr/vork.1"}) {
        // Words as a reader reads them, whichever line they were wrapped on.
        std::string text;
        for (const std::string& line : lines_of(document)) {
            std::istringstream words(cause_as_printed(line));
            for (std::string word; words >> word;) {
                text += word + " ";
            }
        }
        for (const std::string& message : messages) {
            std::istringstream words(message);
            std::string wanted;
            for (std::string word; words >> word;) {
                wanted += (wanted.empty() ? "" : " ") + word;
            }
            EXPECT_NE(text.find(wanted), std::string::npos) << document << ": " << wanted;
        }
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
