// replies_test.cpp - the texts the service answers with on its own are the catalogue's
// (core/replies.h, supervisor/supervisor_replies.h), and docs/service.md's table of them
// lists exactly those: nothing the service can answer is missing, nothing listed is gone.
// Also what the reply sender takes from a worker's arena, which the worker names.
#include <cctype>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <sys/mman.h>

#include "replies.h"
#include "reply_sender.h"
#include "supervisor_replies.h"
#include "timing.h"

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

// A worker names where in its arena its reply lies. Only a place wholly within the arena
// is sent, in place from the supervisor's read-only mapping and charged to its peer until
// ZeroMQ lets go; any other is refused without being read.
TEST(Replies, AReplyInTheArenaIsSentOnlyFromWithinIt) {
    constexpr std::size_t kArena = std::size_t{1} << 20;
    qel::ReplyAreas areas = qel::ReplyAreas::create(4096, kArena);
    void* mapped = mmap(nullptr, kArena, PROT_READ | PROT_WRITE, MAP_SHARED, areas.arenaFd(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char* worker = static_cast<char*>(mapped); // the worker's side of it
    for (std::size_t i = 0; i < kArena; ++i)
        worker[i] = static_cast<char>('a' + i % 26);

    zmq::context_t context;
    zmq::socket_t front(context, zmq::socket_type::router);
    front.bind("tcp://127.0.0.1:*");
    zmq::socket_t client(context, zmq::socket_type::req);
    client.set(zmq::sockopt::rcvtimeo, 10000);
    client.connect(front.get(zmq::sockopt::last_endpoint));
    qel::Metrics metrics;
    qel::MetricsWriter writer(metrics);
    qel::ReplySender sender(front, false, writer, false);

    const struct {
        std::uint64_t offset;
        std::size_t size;
        bool sent;
    } rows[] = {
        {0, kArena, true},        {kArena - 10, 10, true},
        {kArena, 0, true},        {kArena - 10, 11, false},
        {kArena + 1, 0, false},   {UINT64_MAX, 2, false},
        {8, SIZE_MAX - 4, false}, {UINT64_MAX - 4, SIZE_MAX, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.offset) + " + " + std::to_string(row.size));
        client.send(zmq::str_buffer("x"));
        zmq::pollitem_t item{front.handle(), 0, ZMQ_POLLIN, 0};
        ASSERT_EQ(zmq::poll(&item, 1, std::chrono::milliseconds(10000)), 1);
        qel::Request request;
        ASSERT_TRUE(request.envelope.receive(front, false));
        const auto peer = std::make_shared<qel::Peer>();
        request.peer = qel::PeerSlot(peer);
        const auto sent = sender.sendReply(request, areas, row.size, true, 0, &row.offset);
        EXPECT_EQ(sent == qel::ReplySender::Sent::Sent, row.sent);
        if (sent != qel::ReplySender::Sent::Sent) sender.refuse(request, "refused");
        zmq::message_t reply;
        ASSERT_TRUE(client.recv(reply));
        if (!row.sent) {
            EXPECT_EQ(reply.to_string_view(), "refused");
            continue;
        }
        EXPECT_EQ(reply.to_string_view(), std::string_view(worker + row.offset, row.size));
        // The peer is charged until ZeroMQ lets go of the arena, which then is free.
        EXPECT_TRUE(waitUntil([&areas] { return !areas.arenaHeld(); }, std::chrono::seconds(10)));
        EXPECT_EQ(peer->unread.load(), 0u);
    }
    munmap(mapped, kArena);
}

} // namespace
