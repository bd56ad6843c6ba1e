// A small HTTP/1.1 server on epoll for the slide viewer: keep-alive and
// pipelined GET and HEAD requests, answered on a few event-loop threads
// that never block on a client, with the limits that keep it answering
// others under hostile load:
//
// - every connection lives in one of max_connections slots; when they are
//   all taken, the connection idle the longest is closed to make room;
// - a request head must arrive whole within head_timeout and within
//   max_head_bytes (else 431), an idle keep-alive connection is closed after
//   idle_timeout, one that takes no answer bytes for write_timeout too;
// - memory per connection is its unsent answer and at most max_head_bytes
//   of request; bodies are never read: a request with one is answered and
//   its connection closed.
//
// What to answer is the Handler's: on the event-loop thread when that is
// quick, or on one of a few threads of its own, where it may block, for
// the rest (handle returns false). Those wait in a bounded queue; past it a
// request gets 503.
#ifndef TQF_SERVER_HTTP_SERVER_H
#define TQF_SERVER_HTTP_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http_request.h"

namespace tqfio::http {

// An answer. The body is either the bytes at `body` (kept alive by
// `body_owner` when they must outlive the handler's call: for slow
// requests always) or, when `body` is null, `owned_body`.
struct Response {
    int status = 200;
    std::string_view content_type;  // empty for none
    std::string headers;            // further header lines, each ending in "\r\n"
    const unsigned char *body = nullptr;
    size_t body_size = 0;
    std::shared_ptr<const void> body_owner;
    std::string owned_body;
    bool close = false;    // close the connection after this answer
    std::string log_note;  // why, for the access log (errors)

    void set_body(std::string text) {
        owned_body = std::move(text);
        body = nullptr;
        body_size = 0;
    }
    size_t size() const { return body ? body_size : owned_body.size(); }
    const char *data() const { return body ? reinterpret_cast<const char *>(body) : owned_body.data(); }
};

class Handler {
public:
    virtual ~Handler() = default;
    // On an event-loop thread: fills `response` and returns true, or
    // returns false to have handle_slow() answer on a thread where it may
    // block. HEAD is answered as GET; the server leaves the body out.
    virtual bool handle(const Request &request, Response &response) = 0;
    virtual void handle_slow(const Request &request, Response &response) = 0;
};

struct ServerOptions {
    int listen_fd = -1;         // a listening TCP socket; the server makes it non-blocking
    unsigned threads = 0;       // event-loop threads; 0 for one per processor
    unsigned slow_threads = 2;  // threads for slow requests
    size_t slow_queue = 64;     // slow requests waiting at most; more get 503
    size_t max_connections = 4096;
    size_t max_head_bytes = 32 << 10;
    int idle_timeout_ms = 60000;
    int head_timeout_ms = 20000;
    int write_timeout_ms = 60000;
    // One line per request (peer, request line, status, bytes, time).
    bool access_log = false;
    std::function<void(const std::string &)> log;  // default: standard error
};

class Server {
public:
    // Starts the threads. Throws std::system_error when epoll or the
    // threads cannot be set up. The handler must outlive the server.
    Server(const ServerOptions &options, Handler &handler);
    ~Server();  // stops
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Stops accepting, ends every thread (a slow request in progress is
    // waited for) and closes every connection. Idempotent.
    void stop();

    size_t open_connections() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

// Raises the soft limit of open files to the hard one; returns the limit.
size_t raise_open_file_limit();

}  // namespace tqfio::http

#endif  // TQF_SERVER_HTTP_SERVER_H
