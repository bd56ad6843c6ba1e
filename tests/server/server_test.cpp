// The viewer's HTTP server without slides: how request heads, targets,
// queries and If-None-Match read, and what the server answers by itself
// (failed handlers, a full queue of slow requests, connections at stop).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "http_server.h"
#include "viewer_routes.h"

namespace {

using namespace tqfio::http;
using tqfio::server::decode_target;
using tqfio::server::query_value;
using tqfio::server::Target;
using tqfio::server::TargetStatus;

struct HeadCase {
    const char *name;
    std::string head;
    ParseStatus status;
    const char *method = "";
    const char *target = "";
    bool keep_alive = true;
    bool has_body = false;
};

const HeadCase kHeads[] = {
    {"Plain", "GET /a?b HTTP/1.1\r\nHost: x\r\n\r\n", ParseStatus::complete, "GET", "/a?b"},
    {"BareLineFeeds", "GET /a HTTP/1.1\nHost: x\n\n", ParseStatus::complete, "GET", "/a"},
    {"EmptyLinesFirst", "\r\n\r\nGET /a HTTP/1.1\r\n\r\n", ParseStatus::complete, "GET", "/a"},
    {"Http10Closes", "GET /a HTTP/1.0\r\n\r\n", ParseStatus::complete, "GET", "/a", false},
    {"Http10KeepAlive", "GET /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", ParseStatus::complete, "GET", "/a"},
    {"Http11Close", "GET /a HTTP/1.1\r\nConnection: foo, close\r\n\r\n", ParseStatus::complete, "GET", "/a", false},
    {"Body", "GET /a HTTP/1.1\r\nContent-Length: 3\r\n\r\n", ParseStatus::complete, "GET", "/a", true, true},
    {"Chunked", "GET /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", ParseStatus::complete, "GET", "/a", true,
     true},
    {"EmptyBody", "GET /a HTTP/1.1\r\nContent-Length: 0\r\n\r\n", ParseStatus::complete, "GET", "/a"},
    {"AbsoluteForm", "GET http://h/a HTTP/1.1\r\n\r\n", ParseStatus::complete, "GET", "http://h/a"},
    {"Incomplete", "GET /a HTTP/1.1\r\nHost: x\r\n", ParseStatus::incomplete},
    {"NoVersion", "GET /a\r\n\r\n", ParseStatus::bad_request},
    {"TwoSpaces", "GET  /a HTTP/1.1\r\n\r\n", ParseStatus::bad_request},
    {"ControlInTarget", std::string("GET /a\x01 HTTP/1.1\r\n\r\n"), ParseStatus::bad_request},
    {"NulInMethod", std::string("G\0T /a HTTP/1.1\r\n\r\n", 20), ParseStatus::bad_request},
    {"Http2", "GET /a HTTP/2.0\r\n\r\n", ParseStatus::bad_version},
    {"NotHttp", "GET /a FTP/1.1\r\n\r\n", ParseStatus::bad_request},
    {"SpaceBeforeColon", "GET /a HTTP/1.1\r\nHost : x\r\n\r\n", ParseStatus::bad_request},
    {"Folded", "GET /a HTTP/1.1\r\nX: a\r\n b\r\n\r\n", ParseStatus::bad_request},
    {"ControlInValue", "GET /a HTTP/1.1\r\nX: a\x7f\r\n\r\n", ParseStatus::bad_request},
    {"LengthNotANumber", "GET /a HTTP/1.1\r\nContent-Length: x\r\n\r\n", ParseStatus::bad_request},
    {"LengthsDiffer", "GET /a HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", ParseStatus::bad_request},
    {"LengthAndChunked", "GET /a HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
     ParseStatus::bad_request},
    {"TwoHosts", "GET /a HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n", ParseStatus::bad_request},
    {"TooLong", "GET /a HTTP/1.1\r\nX: " + std::string(2000, 'a') + "\r\n\r\n", ParseStatus::too_large},
    {"TooLongUnended", "GET /a HTTP/1.1\r\nX: " + std::string(2000, 'a'), ParseStatus::too_large},
};

class Heads : public ::testing::TestWithParam<HeadCase> {};

TEST_P(Heads, ReadAsTheyShould) {
    const HeadCase &c = GetParam();
    Request request;
    size_t length = 0;
    ASSERT_EQ(parse_request(c.head, 1024, &request, &length), c.status);
    if (c.status != ParseStatus::complete)
        return;
    EXPECT_EQ(length, c.head.size());
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.target, c.target);
    EXPECT_EQ(request.keep_alive, c.keep_alive);
    EXPECT_EQ(request.has_body, c.has_body);
}

INSTANTIATE_TEST_SUITE_P(Server, Heads, ::testing::ValuesIn(kHeads),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Server, PipelinedHeadsEndWhereTheirEmptyLineDoes) {
    const std::string two = "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n";
    Request request;
    size_t length = 0;
    ASSERT_EQ(parse_request(two, 1024, &request, &length), ParseStatus::complete);
    EXPECT_EQ(request.target, "/1");
    ASSERT_EQ(parse_request(std::string_view(two).substr(length), 1024, &request, &length), ParseStatus::complete);
    EXPECT_EQ(request.target, "/2");
    // Too many fields is too large, whatever their size.
    std::string many = "GET / HTTP/1.1\r\n";
    for (size_t i = 0; i <= kMaxHeaderFields; ++i)
        many += "X: 1\r\n";
    EXPECT_EQ(parse_request(many + "\r\n", 1 << 20, &request, &length), ParseStatus::too_large);
}

TEST(Server, IfNoneMatchComparesWeakly) {
    const std::string tag = "\"abc-1\"";
    for (const char *listed : {"\"abc-1\"", "W/\"abc-1\"", " \"x\" , \"abc-1\" ", "*", " * "})
        EXPECT_TRUE(etag_matches(listed, tag)) << listed;
    for (const char *listed : {"", "\"abc\"", "abc-1", "\"abc-1\"x", "W/", "\"ABC-1\""})
        EXPECT_FALSE(etag_matches(listed, tag)) << listed;
}

TEST(Server, TargetsDecodeAsTheViewerReadsThem) {
    const struct {
        const char *target;
        TargetStatus status;
        const char *path;
        const char *query;
    } cases[] = {
        {"/slides/a%20b.dzi?v=1#x", TargetStatus::ok, "/slides/a b.dzi", "v=1"},
        {"http://host:80/a/b?c", TargetStatus::ok, "/a/b", "c"},
        {"/%e2%9c%93", TargetStatus::ok, "/\xe2\x9c\x93", ""},
        {"/100%", TargetStatus::ok, "/100%", ""},
        {"/%zz", TargetStatus::ok, "/%zz", ""},
        {"/%2e%2e/x", TargetStatus::not_found, "", ""},
        {"/a%2Fb", TargetStatus::not_found, "", ""},
        {"/a%5cb", TargetStatus::not_found, "", ""},
        {"/%ff", TargetStatus::not_found, "", ""},
        {"/%c0%af", TargetStatus::not_found, "", ""},     // overlong
        {"/%ed%a0%80", TargetStatus::not_found, "", ""},  // a surrogate
        {"/%e2%9c", TargetStatus::not_found, "", ""},     // cut short
        {"/a%00", TargetStatus::not_found, "", ""},
        {"*", TargetStatus::not_found, "", ""},
        {"http://host", TargetStatus::not_found, "", ""},
    };
    for (const auto &c : cases) {
        Target target;
        std::string why;
        ASSERT_EQ(decode_target(c.target, &target, &why), c.status) << c.target;
        if (c.status == TargetStatus::ok) {
            EXPECT_EQ(target.path, c.path) << c.target;
            EXPECT_EQ(target.query, c.query) << c.target;
        }
    }
    std::string_view value;
    EXPECT_TRUE(query_value("a=1&v=2&v=3", "v", &value) && value == "2");
    EXPECT_TRUE(query_value("v", "v", &value) && value.empty());
    EXPECT_FALSE(query_value("vv=1&x=v", "v", &value));
}

// A server on an ephemeral port of 127.0.0.1 with a handler of the test's.
class Served {
public:
    Served(Handler &handler, ServerOptions options) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(m_listen, 64), 0);
        socklen_t length = sizeof address;
        getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        options.listen_fd = m_listen;
        options.log = [](const std::string &) {};
        server = std::make_unique<Server>(options, handler);
    }
    ~Served() {
        server.reset();
        close(m_listen);
    }
    int connect_client() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        return fd;
    }
    // Sends `path` and returns the status of the answer.
    int status_of(int fd, const std::string &path) const {
        const std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
        EXPECT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
        char answer[512] = {};
        const ssize_t got = recv(fd, answer, sizeof answer - 1, 0);
        return got > 12 ? std::stoi(std::string(answer + 9, 3)) : -1;
    }
    std::unique_ptr<Server> server;

private:
    int m_listen = -1;
    int m_port = 0;
};

// "/fail" throws; "/slow" waits on a slow thread until released.
class TestHandler final : public Handler {
public:
    bool handle(const Request &request, Response &response) override {
        if (request.target == "/fail")
            throw std::runtime_error("a fault of the handler");
        if (request.target == "/slow")
            return false;
        response.set_body("ok");
        return true;
    }
    void handle_slow(const Request &, Response &response) override {
        std::unique_lock<std::mutex> lock(mutex);
        ++waiting;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        response.set_body("slow");
    }
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;
    bool released = false;
};

TEST(Server, AnswersFaultsAndAFullQueueItself) {
    TestHandler handler;
    ServerOptions options;
    options.threads = 2;
    options.slow_threads = 1;
    options.slow_queue = 1;
    Served served(handler, options);
    const int a = served.connect_client(), b = served.connect_client(), c = served.connect_client();
    EXPECT_EQ(served.status_of(a, "/fail"), 500);
    EXPECT_EQ(served.status_of(a, "/ok"), 200);  // the connection goes on
    const std::string slow = "GET /slow HTTP/1.1\r\n\r\n";
    send(a, slow.data(), slow.size(), 0);  // taken by the slow thread
    {
        std::unique_lock<std::mutex> lock(handler.mutex);
        ASSERT_TRUE(handler.changed.wait_for(lock, std::chrono::seconds(60), [&] { return handler.waiting == 1; }));
    }
    // One of b and c waits in the queue, the other is refused at once:
    // which one the server reads first is up to the scheduler.
    send(b, slow.data(), slow.size(), 0);
    send(c, slow.data(), slow.size(), 0);
    pollfd answered[2] = {{b, POLLIN, 0}, {c, POLLIN, 0}};
    ASSERT_EQ(poll(answered, 2, 600 * 1000), 1);  // the bound only catches a hang
    const int refused = (answered[0].revents & POLLIN) ? b : c;
    const int queued = refused == b ? c : b;
    char refusal[512] = {};
    ASSERT_GT(recv(refused, refusal, sizeof refusal - 1, 0), 12);
    EXPECT_EQ(std::string(refusal, 12), "HTTP/1.1 503");
    EXPECT_EQ(served.status_of(refused, "/ok"), 200);
    EXPECT_EQ(served.server->open_connections(), 3u);
    {
        std::lock_guard<std::mutex> lock(handler.mutex);
        handler.released = true;
    }
    handler.changed.notify_all();
    char answer[256] = {};
    EXPECT_GT(recv(a, answer, sizeof answer, 0), 0);
    EXPECT_EQ(std::string(answer, 12), "HTTP/1.1 200");
    EXPECT_GT(recv(queued, answer, sizeof answer, 0), 0);
    // Stopping closes every connection; clients read the end.
    served.server->stop();
    EXPECT_EQ(served.server->open_connections(), 0u);
    for (int fd : {a, b, c}) {
        EXPECT_EQ(recv(fd, answer, sizeof answer, 0), 0);
        close(fd);
    }
}

}  // namespace
