// replies_test.cpp - the texts the service answers with on its own are the catalogue's
// (core/replies.h, supervisor/supervisor_replies.h), and docs/service.md's table of them
// lists exactly those: nothing the service can answer is missing, nothing listed is gone.
#include <cctype>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>

#include "replies.h"
#include "supervisor_replies.h"

namespace {

// Placeholders made alike: printf's conversions in the catalogue, and the table's
// N, M and "..." for the same values, all become "*". (Plain string work rather than
// <regex>, which GCC's sanitizer builds warn about inside the standard library.)
std::string placeholders(const std::string& text) {
    auto word = [&](std::size_t at) {
        return at < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[at])) != 0 || text[at] == '_');
    };
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 3, "%zu") == 0 || text.compare(i, 3, "...") == 0) {
            out += '*';
            i += 3;
        } else if (text.compare(i, 2, "%s") == 0) {
            out += '*';
            i += 2;
        } else if ((text[i] == 'N' || text[i] == 'M') && !word(i + 1) && (i == 0 || !word(i - 1))) {
            out += '*';
            i += 1;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::set<std::string> catalogue() {
    std::set<std::string> texts;
    for (const char* message : qel::reply::kMessages)
        texts.insert(placeholders(qel::reply::kErrorPrefix + std::string(message)));
    for (const char* text : qel::reply::kSupervisorReplies)
        texts.insert(placeholders(text));
    return texts;
}

// The first column of the table under "### Replies the service makes itself": the text
// between the backquotes of each row that opens with "| `".
std::set<std::string> documented() {
    std::ifstream doc(QEL_SERVICE_DOC);
    EXPECT_TRUE(doc) << QEL_SERVICE_DOC;
    std::set<std::string> texts;
    std::string line;
    bool inSection = false;
    while (std::getline(doc, line)) {
        if (line.rfind("#", 0) == 0) inSection = line == "### Replies the service makes itself";
        if (!inSection || line.rfind("| `", 0) != 0) continue;
        const std::size_t end = line.find("` |", 3);
        if (end != std::string::npos) texts.insert(placeholders(line.substr(3, end - 3)));
    }
    return texts;
}

TEST(Replies, TheDocumentedTableIsTheCatalogue) {
    const std::set<std::string> ours = catalogue();
    const std::set<std::string> listed = documented();
    for (const std::string& text : ours)
        EXPECT_EQ(listed.count(text), 1u) << "not in docs/service.md's table: " << text;
    for (const std::string& text : listed)
        EXPECT_EQ(ours.count(text), 1u) << "in docs/service.md's table, but not answered: " << text;
}

} // namespace
