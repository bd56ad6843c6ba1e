// HTTP/1.x requests as the slide server reads them: the request head parsed
// strictly and within limits, and the few header semantics it needs.
#ifndef TQF_SERVER_HTTP_REQUEST_H
#define TQF_SERVER_HTTP_REQUEST_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tqfio::http {

struct Header {
    std::string_view name;
    std::string_view value;  // without the whitespace around it
};

// A request head; every view points into the bytes it was parsed from.
struct Request {
    std::string_view method;
    std::string_view target;  // as sent: origin form ("/a?b") or absolute form ("http://h/a?b")
    int minor_version = 1;    // HTTP/1.0 or HTTP/1.1
    std::vector<Header> headers;
    bool keep_alive = true;
    // A body follows the head (Content-Length above 0, or Transfer-Encoding):
    // the server answers and then closes, as it reads no bodies.
    bool has_body = false;

    // The value of the first header field of that name (any case); empty
    // when there is none.
    std::string_view header(std::string_view name) const;
};

enum class ParseStatus {
    complete,     // a whole head: *head_length bytes
    incomplete,   // more bytes needed
    bad_request,  // 400: malformed
    too_large,    // 431: longer than the limit, or too many fields
    bad_version,  // 505: not HTTP/1.x
};

constexpr size_t kMaxHeaderFields = 100;

// Parses the request head at the start of `data`. Lines end in CRLF (a bare
// LF is taken too); empty lines before the request line are passed over
// and counted in *head_length. Field names are tokens followed directly by
// a colon; values hold no control characters but tab; continuation lines,
// a Content-Length that is not a number, two that differ, Content-Length
// beside Transfer-Encoding, and two Host fields are refused.
ParseStatus parse_request(std::string_view data, size_t max_head_bytes, Request *request, size_t *head_length);

// Whether an If-None-Match value names `etag` (a quoted strong tag), by
// the weak comparison the field calls for: "*", or any tag of the list
// whose opaque part equals it, W/ or not.
bool etag_matches(std::string_view if_none_match, std::string_view etag);

// Case-insensitive ASCII comparison.
bool equals_ignoring_case(std::string_view a, std::string_view b);

}  // namespace tqfio::http

#endif  // TQF_SERVER_HTTP_REQUEST_H
