// Connections are registered with one epoll instance shared by every
// event-loop thread, each in one-shot mode: a ready connection is handed to
// exactly one thread, which owns it until it arms it again. So no two
// threads ever touch a connection at once, and a thread that is busy (with
// a tile to make, say) leaves the other connections to the other threads.
// A connection taken to a slow thread stays disarmed until its answer is out.
//
// Timeouts and evictions come from a housekeeping thread, which never
// closes a connection itself: it shuts the socket down, and the event that
// follows makes its owner close it. Sockets are opened and closed under one
// lock, which the housekeeper holds while it looks, so it never shuts down a
// descriptor that was closed and given to another connection meanwhile.
#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tqfio::http {

namespace {

constexpr uint64_t kListenKey = ~uint64_t(0);
constexpr uint64_t kStopKey = ~uint64_t(0) - 1;
constexpr size_t kReadChunk = 16 << 10;
// What a client that is being closed may still send, read and dropped, so
// that its answer is not lost to a reset.
constexpr size_t kDrainBytes = 1 << 20;
constexpr int kDrainTimeoutMs = 2000;
constexpr int kHousekeepingMs = 200;
constexpr int kAcceptPauseMs = 100;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void fail(const char *what) { throw std::system_error(errno, std::generic_category(), what); }

const char *reason_phrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

// "Date: ..." of the current second, made once a second per thread, in the
// fixed English form HTTP asks for whatever the locale.
const std::string &date_line() {
    thread_local std::string line;
    thread_local time_t shown = -1;
    const time_t now = time(nullptr);
    if (now != shown) {
        static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        struct tm t;
        gmtime_r(&now, &t);
        char text[64];
        std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d GMT\r\n", days[t.tm_wday], t.tm_mday,
                      months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        line = text;
        shown = now;
    }
    return line;
}

// A request target as a log shows it: printable ASCII, the rest escaped.
std::string printable(std::string_view text, size_t limit = 300) {
    std::string out;
    for (unsigned char c : text.substr(0, limit)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

std::string peer_name(const sockaddr_storage &address) {
    char text[INET6_ADDRSTRLEN] = "-";
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, text, sizeof text);
    return text;
}

struct Connection {
    int fd = -1;
    uint32_t slot = 0;
    uint32_t generation = 0;
    std::string in;     // bytes received
    size_t in_pos = 0;  // where the bytes not yet answered start
    std::string out;    // answer bytes not yet sent
    size_t out_pos = 0;
    Request request;  // the request being answered: views into `in`
    size_t head_length = 0;
    bool close_after_write = false;
    bool draining = false;  // answered for the last time: dropping what still comes
    size_t drained = 0;
    bool eof = false;
    int64_t head_started = 0;  // first byte of the request not yet whole; 0 for none
    int64_t request_started = 0;
    std::string peer;
    std::atomic<int64_t> deadline{0};
    std::atomic<int64_t> last_active{0};
    std::atomic<bool> busy{false};
    std::atomic<bool> shut{false};  // shut down (timed out or evicted); closes on its next event
    bool evicted = false;           // shut down to make room; with the registry lock held

    uint64_t key() const { return (static_cast<uint64_t>(generation) << 32) | slot; }
    std::string_view pending() const { return std::string_view(in).substr(in_pos); }
};

}  // namespace

struct Server::State {
    State(const ServerOptions &o, Handler &h) : options(o), handler(h) {}

    ServerOptions options;
    Handler &handler;
    int epoll_fd = -1;
    int stop_fd = -1;
    std::vector<std::unique_ptr<Connection>> slots;
    std::vector<uint32_t> free_slots;
    mutable std::mutex registry;
    size_t open_count = 0;                  // with registry held
    size_t evicting = 0;                    // shut down to make room, not yet closed
    std::atomic<int64_t> accept_resume{0};  // accepting paused until then (out of descriptors)
    bool accept_registered = false;

    std::mutex slow_mutex;
    std::condition_variable slow_ready;
    std::deque<Connection *> slow_jobs;
    bool stopping = false;

    std::mutex housekeeping_mutex;
    std::condition_variable housekeeping_wake;

    std::mutex log_mutex;
    std::atomic<bool> stopped{false};
    std::vector<std::thread> threads;

    void log(const std::string &line) {
        if (options.log) {
            options.log(line);
            return;
        }
        std::lock_guard<std::mutex> lock(log_mutex);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }

    // -- connections ---------------------------------------------------------

    void register_listener() {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLEXCLUSIVE;
        event.data.u64 = kListenKey;
        if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, options.listen_fd, &event) != 0)
            fail("cannot watch the listening socket");
        accept_registered = true;
    }

    void pause_accepting() {
        std::lock_guard<std::mutex> lock(registry);
        if (accept_registered && epoll_ctl(epoll_fd, EPOLL_CTL_DEL, options.listen_fd, nullptr) == 0) {
            accept_registered = false;
            accept_resume = now_ms() + kAcceptPauseMs;
        }
    }

    void accept_all() {
        for (int i = 0; i < 64; ++i) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            const int fd = accept4(options.listen_fd, reinterpret_cast<sockaddr *>(&address), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // The socket stays readable: wait, making room, rather than spin.
                    std::lock_guard<std::mutex> lock(registry);
                    evict_idlest_locked();
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    pause_accepting();
                return;
            }
            adopt(fd, address);
        }
    }

    void adopt(int fd, const sockaddr_storage &address) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(registry);
        if (open_count - evicting >= options.max_connections)
            evict_idlest_locked();
        if (free_slots.empty()) {
            close(fd);
            return;
        }
        Connection &c = *slots[free_slots.back()];
        free_slots.pop_back();
        c.fd = fd;
        c.in_pos = c.out_pos = c.head_length = c.drained = 0;
        c.close_after_write = c.draining = c.eof = false;
        c.head_started = c.request_started = 0;
        c.peer = options.access_log ? peer_name(address) : std::string();
        const int64_t now = now_ms();
        c.deadline = now + options.idle_timeout_ms;
        c.last_active = now;
        c.busy = false;
        c.shut = false;
        ++open_count;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
        event.data.u64 = c.key();
        if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0)
            release_locked(c);
    }

    // Shuts down the connection that has waited longest for its client,
    // to make room for a new one. With registry held.
    void evict_idlest_locked() {
        Connection *idlest = nullptr;
        for (const auto &slot : slots) {
            Connection &c = *slot;
            if (c.fd >= 0 && !c.busy && !c.shut && (!idlest || c.last_active < idlest->last_active))
                idlest = &c;
        }
        if (idlest) {
            idlest->shut = true;
            idlest->evicted = true;
            ++evicting;
            shutdown(idlest->fd, SHUT_RDWR);
        }
    }

    void release_locked(Connection &c) {
        close(c.fd);
        c.fd = -1;
        ++c.generation;
        if (c.evicted) {
            c.evicted = false;
            --evicting;
        }
        --open_count;
        free_slots.push_back(c.slot);
        std::string().swap(c.in);
        std::string().swap(c.out);
        c.request = Request();
    }

    void close_connection(Connection &c) {
        std::lock_guard<std::mutex> lock(registry);
        release_locked(c);
    }

    // Hands the connection back to epoll, waiting for `events`.
    void arm(Connection &c, uint32_t events, int64_t deadline) {
        c.deadline = deadline;
        c.busy = false;
        epoll_event event{};
        event.events = events | EPOLLRDHUP | EPOLLONESHOT;
        event.data.u64 = c.key();
        if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, c.fd, &event) != 0)
            close_connection(c);
    }

    // -- reading and writing -------------------------------------------------

    // Sends what is left of the answer; false when the connection failed.
    bool flush(Connection &c) {
        while (c.out_pos < c.out.size()) {
            const ssize_t n = send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
            if (n > 0) {
                c.out_pos += static_cast<size_t>(n);
                c.last_active = now_ms();
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            }
        }
        c.out.clear();
        c.out_pos = 0;
        if (c.out.capacity() > (256u << 10))
            std::string().swap(c.out);
        return true;
    }

    // Reads what the client sent; false when the connection failed.
    bool receive(Connection &c) {
        thread_local char chunk[kReadChunk];
        for (;;) {
            // Unanswered bytes beyond a head's limit (and a little for the
            // next request of a pipeline) are left in the socket.
            if (!c.draining && c.in.size() - c.in_pos >= options.max_head_bytes + kReadChunk)
                return true;
            const ssize_t n = recv(c.fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                if (c.draining) {
                    c.drained += static_cast<size_t>(n);
                    if (c.drained > kDrainBytes)
                        c.eof = true;
                    if (c.eof)
                        return true;
                } else {
                    if (c.in_pos == c.in.size()) {
                        c.in.clear();
                        c.in_pos = 0;
                    }
                    c.in.append(chunk, static_cast<size_t>(n));
                }
                if (static_cast<size_t>(n) < sizeof chunk)
                    return true;
            } else if (n == 0) {
                c.eof = true;
                return true;
            } else if (errno == EINTR) {
                continue;
            } else {
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
        }
    }

    // Sends the answer to c.request (as much as the socket takes now; the
    // rest waits in c.out) and passes over its head.
    bool answer(Connection &c, Response &r) {
        const Request &q = c.request;
        const bool head_only = q.method == "HEAD";
        const bool close = r.close || !q.keep_alive || q.has_body || c.eof;
        const bool bodiless = r.status == 304 || r.status == 204;
        thread_local std::string head;
        head.clear();
        char line[96];
        std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", r.status, reason_phrase(r.status));
        head += line;
        head += date_line();
        head += "Server: tqf\r\n";
        if (!r.content_type.empty()) {
            head += "Content-Type: ";
            head += r.content_type;
            head += "\r\n";
        }
        if (!bodiless) {
            std::snprintf(line, sizeof line, "Content-Length: %zu\r\n", r.size());
            head += line;
        }
        head += r.headers;
        if (close)
            head += "Connection: close\r\n";
        else if (q.minor_version == 0)
            head += "Connection: keep-alive\r\n";
        head += "\r\n";
        if (options.access_log) {
            std::string entry;
            if (r.status >= 400 && !r.log_note.empty())
                entry += "tqf serve: " + printable(q.target) + ": " + r.log_note + "\n";
            std::snprintf(line, sizeof line, "%d %zu %.1fms\n", r.status, bodiless ? 0 : r.size(),
                          static_cast<double>(now_ms() - c.request_started));
            entry += (c.peer.empty() ? "-" : c.peer) + " \"" + printable(q.method) + " " + printable(q.target) + "\" " +
                     line;
            log(entry);
        }
        c.in_pos += c.head_length;
        c.head_length = 0;
        c.head_started = 0;
        if (close)
            c.close_after_write = true;

        const size_t body_size = head_only || bodiless ? 0 : r.size();
        iovec parts[2] = {{head.data(), head.size()}, {const_cast<char *>(r.data()), body_size}};
        size_t sent = 0;
        const size_t total = head.size() + body_size;
        if (c.out_pos == c.out.size()) {  // nothing queued before it: straight to the socket
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = body_size ? 2 : 1;
            for (;;) {
                const ssize_t n = sendmsg(c.fd, &message, MSG_NOSIGNAL);
                if (n >= 0) {
                    sent = static_cast<size_t>(n);
                    break;
                }
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    return false;
                break;
            }
        }
        if (sent < total) {
            if (sent < head.size()) {
                c.out.append(head, sent, std::string::npos);
                c.out.append(r.data(), body_size);
            } else {
                c.out.append(r.data() + (sent - head.size()), total - sent);
            }
        }
        return true;
    }

    void answer_error(Connection &c, int status, const char *note, const char *extra_headers = "") {
        Response r;
        r.status = status;
        r.content_type = "text/plain; charset=utf-8";
        r.set_body(std::to_string(status) + " " + reason_phrase(status) + "\n");
        r.headers = extra_headers;
        r.headers += "X-Content-Type-Options: nosniff\r\n";
        r.close = status != 503;
        r.log_note = note;
        if (!answer(c, r))
            c.eof = true, c.close_after_write = true;
    }

    // -- requests ------------------------------------------------------------

    // Answers the requests waiting in c.in, until one needs more bytes,
    // goes to a slow thread or leaves answer bytes waiting for the socket;
    // then arms the connection (or closes it).
    void process(Connection &c) {
        while (c.out_pos == c.out.size() && !c.close_after_write) {
            const std::string_view pending = c.pending();
            if (pending.empty())
                break;
            size_t head = 0;
            const ParseStatus status = parse_request(pending, options.max_head_bytes, &c.request, &head);
            if (status == ParseStatus::incomplete) {
                if (c.head_started == 0)
                    c.head_started = now_ms();
                break;
            }
            c.request_started = now_ms();
            if (status != ParseStatus::complete) {
                c.request = Request();
                c.head_length = pending.size();
                if (status == ParseStatus::too_large)
                    answer_error(c, 431, "request head too large");
                else if (status == ParseStatus::bad_version)
                    answer_error(c, 505, "not HTTP/1.x");
                else
                    answer_error(c, 400, "malformed request");
                break;
            }
            c.head_length = head;
            Response r;
            bool quick = true;
            try {
                quick = handler.handle(c.request, r);
            } catch (const std::exception &e) {
                r = Response();
                r.status = 500;
                r.log_note = e.what();
                r.set_body("500 Internal Server Error\n");
            }
            if (!quick) {
                if (queue_slow(c))
                    return;  // the slow thread answers and carries on
                answer_error(c, 503, "too many slow requests waiting", "Retry-After: 1\r\n");
                continue;
            }
            if (!answer(c, r)) {
                close_connection(c);
                return;
            }
        }
        settle(c);
    }

    // After answering: waits for the socket, the client, or closes.
    void settle(Connection &c) {
        const int64_t now = now_ms();
        c.last_active = now;
        if (c.out_pos < c.out.size()) {
            arm(c, EPOLLOUT, now + options.write_timeout_ms);
            return;
        }
        if (c.close_after_write) {
            if (!c.draining) {
                // Done: stop sending, and read what the client still sends
                // for a while, so that a reset does not destroy the answer.
                shutdown(c.fd, SHUT_WR);
                c.draining = true;
                c.drained = c.pending().size();
                c.in.clear();
                c.in_pos = 0;
            }
            if (c.eof) {
                close_connection(c);
                return;
            }
            arm(c, EPOLLIN, now + kDrainTimeoutMs);
            return;
        }
        if (c.eof) {
            close_connection(c);
            return;
        }
        if (c.pending().empty()) {
            c.in.clear();
            c.in_pos = 0;
            if (c.in.capacity() > 2 * kReadChunk)
                std::string().swap(c.in);
        } else if (c.in_pos > 0) {
            c.in.erase(0, c.in_pos);
            c.in_pos = 0;
        }
        const int64_t deadline = c.head_started ? c.head_started + options.head_timeout_ms
                                                : now + options.idle_timeout_ms;
        arm(c, EPOLLIN, deadline);
    }

    void serve(Connection &c, uint32_t events) {
        c.busy = true;
        c.last_active = now_ms();
        if ((events & EPOLLERR) || !flush(c) || !receive(c)) {
            close_connection(c);
            return;
        }
        process(c);
    }

    bool queue_slow(Connection &c) {
        std::lock_guard<std::mutex> lock(slow_mutex);
        if (stopping || slow_jobs.size() >= options.slow_queue)
            return false;
        slow_jobs.push_back(&c);
        slow_ready.notify_one();
        return true;
    }

    void slow_loop() {
        for (;;) {
            Connection *c = nullptr;
            {
                std::unique_lock<std::mutex> lock(slow_mutex);
                slow_ready.wait(lock, [&] { return stopping || !slow_jobs.empty(); });
                if (stopping)
                    return;
                c = slow_jobs.front();
                slow_jobs.pop_front();
            }
            Response r;
            try {
                handler.handle_slow(c->request, r);
            } catch (const std::exception &e) {
                r = Response();
                r.status = 500;
                r.log_note = e.what();
                r.set_body("500 Internal Server Error\n");
            }
            if (!answer(*c, r)) {
                close_connection(*c);
                continue;
            }
            process(*c);
        }
    }

    void event_loop() {
        for (;;) {
            // One event at a time: a ready connection goes to whichever
            // thread is free, not to one that is still busy with others.
            epoll_event event;
            const int n = epoll_wait(epoll_fd, &event, 1, -1);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (n == 0)
                continue;
            const uint64_t key = event.data.u64;
            if (key == kStopKey)
                return;
            if (key == kListenKey) {
                accept_all();
                continue;
            }
            const uint32_t slot = static_cast<uint32_t>(key);
            if (slot >= slots.size())
                continue;
            Connection &c = *slots[slot];
            if (c.fd < 0 || c.generation != static_cast<uint32_t>(key >> 32))
                continue;
            serve(c, event.events);
        }
    }

    void housekeeping_loop() {
        std::unique_lock<std::mutex> wait_lock(housekeeping_mutex);
        while (!stopped) {
            housekeeping_wake.wait_for(wait_lock, std::chrono::milliseconds(kHousekeepingMs));
            if (stopped)
                return;
            const int64_t now = now_ms();
            std::lock_guard<std::mutex> lock(registry);
            for (const auto &slot : slots) {
                Connection &c = *slot;
                if (c.fd >= 0 && !c.busy && !c.shut && c.deadline < now) {
                    c.shut = true;
                    shutdown(c.fd, SHUT_RDWR);
                }
            }
            if (!accept_registered && now >= accept_resume) {
                epoll_event event{};
                event.events = EPOLLIN | EPOLLEXCLUSIVE;
                event.data.u64 = kListenKey;
                if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, options.listen_fd, &event) == 0)
                    accept_registered = true;
            }
        }
    }
};

Server::Server(const ServerOptions &options, Handler &handler) : m_state(std::make_unique<State>(options, handler)) {
    State &s = *m_state;
    if (s.options.threads == 0)
        s.options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (s.options.slow_threads == 0)
        s.options.slow_threads = 1;
    if (s.options.max_connections == 0)
        s.options.max_connections = 1;
    if (s.options.max_head_bytes < 1024)
        s.options.max_head_bytes = 1024;
    const int flags = fcntl(options.listen_fd, F_GETFL);
    if (flags < 0 || fcntl(options.listen_fd, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("cannot use the listening socket");
    s.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (s.epoll_fd < 0)
        fail("cannot create an epoll instance");
    s.stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.stop_fd < 0) {
        close(s.epoll_fd);
        fail("cannot create an event descriptor");
    }
    // Slots for the connections allowed, and for those being closed to make room.
    const size_t slot_count = s.options.max_connections + 64;
    for (size_t i = 0; i < slot_count; ++i) {
        s.slots.push_back(std::make_unique<Connection>());
        s.slots.back()->slot = static_cast<uint32_t>(i);
        s.free_slots.push_back(static_cast<uint32_t>(slot_count - 1 - i));
    }
    try {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kStopKey;
        if (epoll_ctl(s.epoll_fd, EPOLL_CTL_ADD, s.stop_fd, &event) != 0)
            fail("cannot watch the event descriptor");
        s.register_listener();
        for (unsigned i = 0; i < s.options.threads; ++i)
            s.threads.emplace_back([&s] { s.event_loop(); });
        for (unsigned i = 0; i < s.options.slow_threads; ++i)
            s.threads.emplace_back([&s] { s.slow_loop(); });
        s.threads.emplace_back([&s] { s.housekeeping_loop(); });
    } catch (...) {
        stop();
        throw;
    }
}

Server::~Server() { stop(); }

void Server::stop() {
    State &s = *m_state;
    if (s.stopped.exchange(true))
        return;
    const uint64_t one = 1;
    if (s.stop_fd >= 0)
        (void)!write(s.stop_fd, &one, sizeof one);
    {
        std::lock_guard<std::mutex> lock(s.slow_mutex);
        s.stopping = true;
    }
    s.slow_ready.notify_all();
    { std::lock_guard<std::mutex> lock(s.housekeeping_mutex); }
    s.housekeeping_wake.notify_all();
    for (std::thread &t : s.threads)
        t.join();
    s.threads.clear();
    std::lock_guard<std::mutex> lock(s.registry);
    for (const auto &slot : s.slots)
        if (slot->fd >= 0)
            s.release_locked(*slot);
    if (s.accept_registered)
        epoll_ctl(s.epoll_fd, EPOLL_CTL_DEL, s.options.listen_fd, nullptr);
    close(s.epoll_fd);
    close(s.stop_fd);
    s.epoll_fd = s.stop_fd = -1;
}

size_t Server::open_connections() const {
    std::lock_guard<std::mutex> lock(m_state->registry);
    return m_state->open_count;
}

size_t raise_open_file_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<size_t>(limit.rlim_cur);
}

}  // namespace tqfio::http
