#include "http_request.h"

#include <cstring>

namespace tqfio::http {

namespace {

bool is_token_char(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(std::string_view s) {
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (!is_token_char(c))
            return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Whether a comma-separated header value lists `token` (any case).
bool lists_token(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        if (equals_ignoring_case(trim(value.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

bool parse_length(std::string_view value, unsigned long long *length) {
    if (value.empty() || value.size() > 18)
        return false;
    unsigned long long n = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    *length = n;
    return true;
}

// The next line of `data` from `pos`: its content without the line end;
// false when no line end follows yet.
bool next_line(std::string_view data, size_t *pos, std::string_view *line) {
    const size_t end = data.find('\n', *pos);
    if (end == std::string_view::npos)
        return false;
    size_t content_end = end;
    if (content_end > *pos && data[content_end - 1] == '\r')
        --content_end;
    *line = data.substr(*pos, content_end - *pos);
    *pos = end + 1;
    return true;
}

ParseStatus parse_request_line(std::string_view line, Request *request) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos)
        return ParseStatus::bad_request;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return ParseStatus::bad_request;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!is_token(method) || target.empty())
        return ParseStatus::bad_request;
    for (unsigned char c : target)
        if (c <= 0x20 || c == 0x7F)
            return ParseStatus::bad_request;
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9')
        return ParseStatus::bad_request;
    if (version[5] != '1')
        return ParseStatus::bad_version;
    request->method = method;
    request->target = target;
    request->minor_version = version[7] == '0' ? 0 : 1;
    return ParseStatus::complete;
}

ParseStatus parse_field(std::string_view line, Request *request) {
    if (line.front() == ' ' || line.front() == '\t')
        return ParseStatus::bad_request;  // a continuation line (obsolete folding)
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon)))
        return ParseStatus::bad_request;
    const std::string_view value = trim(line.substr(colon + 1));
    for (unsigned char c : value)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return ParseStatus::bad_request;
    if (request->headers.size() >= kMaxHeaderFields)
        return ParseStatus::too_large;
    request->headers.push_back(Header{line.substr(0, colon), value});
    return ParseStatus::complete;
}

// Body framing, connection persistence and duplicate Host fields.
ParseStatus check_fields(Request *request) {
    bool length_seen = false, transfer_encoding = false, host_seen = false;
    unsigned long long length = 0;
    for (const Header &h : request->headers) {
        if (equals_ignoring_case(h.name, "Content-Length")) {
            unsigned long long n = 0;
            if (!parse_length(h.value, &n) || (length_seen && n != length))
                return ParseStatus::bad_request;
            length_seen = true;
            length = n;
        } else if (equals_ignoring_case(h.name, "Transfer-Encoding")) {
            transfer_encoding = true;
        } else if (equals_ignoring_case(h.name, "Host")) {
            if (host_seen)
                return ParseStatus::bad_request;
            host_seen = true;
        }
    }
    if (length_seen && transfer_encoding)
        return ParseStatus::bad_request;
    request->has_body = transfer_encoding || length > 0;
    const std::string_view connection = request->header("Connection");
    request->keep_alive = request->minor_version == 1 ? !lists_token(connection, "close")
                                                      : lists_token(connection, "keep-alive");
    return ParseStatus::complete;
}

}  // namespace

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

std::string_view Request::header(std::string_view name) const {
    for (const Header &h : headers)
        if (equals_ignoring_case(h.name, name))
            return h.value;
    return {};
}

ParseStatus parse_request(std::string_view data, size_t max_head_bytes, Request *request, size_t *head_length) {
    request->headers.clear();
    // Only the first max_head_bytes count; a head not ended within them is too large.
    const std::string_view window = data.substr(0, max_head_bytes);
    size_t pos = 0;
    std::string_view line;
    do {
        if (!next_line(window, &pos, &line))
            return data.size() >= max_head_bytes ? ParseStatus::too_large : ParseStatus::incomplete;
    } while (line.empty());
    const ParseStatus first = parse_request_line(line, request);
    if (first != ParseStatus::complete)
        return first;
    for (;;) {
        if (!next_line(window, &pos, &line))
            return data.size() >= max_head_bytes ? ParseStatus::too_large : ParseStatus::incomplete;
        if (line.empty())
            break;
        const ParseStatus field = parse_field(line, request);
        if (field != ParseStatus::complete)
            return field;
    }
    const ParseStatus fields = check_fields(request);
    if (fields != ParseStatus::complete)
        return fields;
    *head_length = pos;
    return ParseStatus::complete;
}

bool etag_matches(std::string_view if_none_match, std::string_view etag) {
    std::string_view list = trim(if_none_match);
    if (list == "*")
        return true;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        std::string_view tag = trim(list.substr(0, comma));
        if (tag.size() >= 2 && tag[0] == 'W' && tag[1] == '/')
            tag.remove_prefix(2);
        if (!tag.empty() && tag == etag)
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace tqfio::http
