// replies_test.cpp - the texts the service answers with on its own are the catalogue's
// (core/replies.h, supervisor/supervisor_replies.h), and docs/service.md's table of them
// lists exactly those: nothing the service can answer is missing, nothing listed is gone.
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <string>

#include "replies.h"
#include "supervisor_replies.h"

namespace {

// Placeholders made alike: printf's conversions in the catalogue, and the table's
// N, M and "..." for the same values.
std::string placeholders(std::string text) {
    static const std::regex conversion("%zu|%s");
    static const std::regex documented(R"(\.\.\.|\b[NM]\b)");
    text = std::regex_replace(text, conversion, "*");
    return std::regex_replace(text, documented, "*");
}

std::set<std::string> catalogue() {
    std::set<std::string> texts;
    for (const char* message : qel::reply::kMessages)
        texts.insert(placeholders(qel::reply::kErrorPrefix + std::string(message)));
    for (const char* text : qel::reply::kSupervisorReplies)
        texts.insert(placeholders(text));
    return texts;
}

// The first column of the table under "### Replies the service makes itself".
std::set<std::string> documented() {
    std::ifstream doc(QEL_SERVICE_DOC);
    EXPECT_TRUE(doc) << QEL_SERVICE_DOC;
    static const std::regex row(R"(^\| `([^`]+)` \|)");
    std::set<std::string> texts;
    std::string line;
    bool inSection = false;
    while (std::getline(doc, line)) {
        if (line.rfind("#", 0) == 0) inSection = line == "### Replies the service makes itself";
        std::smatch match;
        if (inSection && std::regex_search(line, match, row)) texts.insert(placeholders(match[1]));
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
