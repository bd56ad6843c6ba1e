#include "viewer_routes.h"

#include <cctype>

namespace tqfio::server {

namespace {

const char kNoSniff[] = "X-Content-Type-Options: nosniff\r\n";
const char kKeepForGood[] = "Cache-Control: public, max-age=31536000, immutable\r\n";
const char kRevalidate[] = "Cache-Control: no-cache\r\n";
const char kPagePolicy[] =
    "Content-Security-Policy: default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'; "
    "object-src 'none'; frame-ancestors 'none'; base-uri 'none'\r\n";

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strict UTF-8, as Python's decoder takes it: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (extra == 3 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

// 1 to 9 digits.
bool parse_number(std::string_view s, int64_t *value) {
    if (s.empty() || s.size() > 9)
        return false;
    int64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    *value = n;
    return true;
}

// "<name>_files/<level>/<col>_<row>.jpeg"
bool parse_tile(std::string_view rest, std::string_view *name, int64_t *level, int64_t *column, int64_t *row) {
    const size_t files = rest.rfind("_files/");
    if (files == std::string_view::npos || files == 0)
        return false;
    std::string_view tail = rest.substr(files + 7);
    if (!ends_with(tail, ".jpeg"))
        return false;
    tail.remove_suffix(5);
    const size_t slash = tail.find('/');
    const size_t underscore = tail.find('_');
    if (slash == std::string_view::npos || underscore == std::string_view::npos || underscore < slash)
        return false;
    if (!parse_number(tail.substr(0, slash), level) ||
        !parse_number(tail.substr(slash + 1, underscore - slash - 1), column) ||
        !parse_number(tail.substr(underscore + 1), row))
        return false;
    *name = rest.substr(0, files);
    return true;
}

// "<name>/associated/<image>.png", the image of letters, digits, _ and -.
bool parse_associated(std::string_view rest, std::string_view *name) {
    const size_t at = rest.rfind("/associated/");
    if (at == std::string_view::npos || at == 0)
        return false;
    std::string_view image = rest.substr(at + 12);
    if (!ends_with(image, ".png"))
        return false;
    image.remove_suffix(4);
    if (image.empty())
        return false;
    for (char c : image)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            return false;
    *name = rest.substr(0, at);
    return true;
}

void plain_error(http::Response &r, int status, const char *text, std::string note) {
    r.status = status;
    r.content_type = "text/plain; charset=utf-8";
    r.set_body(text);
    r.headers += kNoSniff;
    r.log_note = std::move(note);
}

bool is_loopback_host(std::string_view host) {
    std::string_view name = host;
    if (!ends_with(host, "]")) {
        const size_t colon = host.rfind(':');
        if (colon != std::string_view::npos)
            name = host.substr(0, colon);
    }
    for (const char *known : {"localhost", "127.0.0.1", "::1", "[::1]"})
        if (http::equals_ignoring_case(name, known))
            return true;
    return false;
}

}  // namespace

TargetStatus decode_target(std::string_view target, Target *out, std::string *why) {
    std::string_view path = target;
    if (!starts_with(target, "/")) {
        // Absolute form: the path follows the authority.
        const size_t scheme = target.find("://");
        if (scheme != std::string_view::npos) {
            const size_t start = target.find_first_of("/?#", scheme + 3);
            path = start == std::string_view::npos ? std::string_view() : target.substr(start);
        }
    }
    const size_t fragment = path.find('#');
    if (fragment != std::string_view::npos)
        path = path.substr(0, fragment);
    const size_t question = path.find('?');
    out->query = question == std::string_view::npos ? std::string_view() : path.substr(question + 1);
    if (question != std::string_view::npos)
        path = path.substr(0, question);
    out->path.clear();
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size()) {
            const int high = hex_value(path[i + 1]), low = hex_value(path[i + 2]);
            if (high >= 0 && low >= 0) {
                const int byte = high * 16 + low;
                if (byte == '.' || byte == '/' || byte == '\\') {
                    *why = "encoded dot or separator in the path";
                    return TargetStatus::not_found;
                }
                out->path += static_cast<char>(byte);
                i += 2;
                continue;
            }
        }
        out->path += path[i];
    }
    if (!is_utf8(out->path)) {
        *why = "the path is not UTF-8";
        return TargetStatus::not_found;
    }
    if (!starts_with(out->path, "/") || out->path.find('\0') != std::string::npos) {
        *why = "unusable path";
        return TargetStatus::not_found;
    }
    return TargetStatus::ok;
}

bool query_value(std::string_view query, std::string_view name, std::string_view *value) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            *value = equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
            return true;
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

ViewerRoutes::ViewerRoutes(const ViewerOptions &options) : m_options(options), m_shelf(options.shelf) {}

void ViewerRoutes::not_found(http::Response &r, std::string why) const {
    r = http::Response();
    r.status = 404;
    r.content_type = "text/html; charset=utf-8";
    r.body = reinterpret_cast<const unsigned char *>(m_options.not_found_page.data());
    r.body_size = m_options.not_found_page.size();
    r.headers = kRevalidate;
    r.headers += kPagePolicy;
    r.headers += kNoSniff;
    r.log_note = std::move(why);
}

bool ViewerRoutes::slide_exists(std::string_view name, http::Response &response) const {
    std::string real, why;
    FileSignature signature;
    if (m_shelf.locate(name, &real, &signature, &why))
        return true;
    not_found(response, why);
    return false;
}

bool ViewerRoutes::handle(const http::Request &request, http::Response &response) {
    if (m_options.loopback_only) {
        const std::string_view host = request.header("Host");
        if (!host.empty() && !is_loopback_host(host)) {
            plain_error(response, 403, "403 Forbidden\n", "the host is not this machine's loopback name");
            return true;
        }
    }
    if (request.method != "GET" && request.method != "HEAD") {
        plain_error(response, 405, "405 Method Not Allowed\n", "method not allowed");
        response.headers = std::string("Allow: GET, HEAD\r\n") + kNoSniff;
        return true;
    }
    Target target;
    std::string why;
    switch (decode_target(request.target, &target, &why)) {
    case TargetStatus::ok:
        break;
    case TargetStatus::bad_request:
        plain_error(response, 400, "400 Bad Request\n", why);
        return true;
    case TargetStatus::not_found:
        not_found(response, why);
        return true;
    }
    const std::string_view path = target.path;
    if (path == "/" || starts_with(path, "/static/"))
        return false;
    if (starts_with(path, "/view/"))
        return !slide_exists(path.substr(6), response);
    if (!starts_with(path, "/slides/")) {
        not_found(response, "no such page");
        return true;
    }
    const std::string_view rest = path.substr(8);
    std::string_view name;
    int64_t level = 0, column = 0, row = 0;
    if (parse_tile(rest, &name, &level, &column, &row)) {
        tile(request, name, static_cast<int>(level), column, row, target.query, response);
        return true;
    }
    if (ends_with(rest, ".dzi")) {
        descriptor(request, rest.substr(0, rest.size() - 4), target.query, response);
        return true;
    }
    for (std::string_view suffix : {std::string_view("/thumbnail.jpeg"), std::string_view("/properties.json")})
        if (ends_with(rest, suffix))
            return !slide_exists(rest.substr(0, rest.size() - suffix.size()), response);
    if (parse_associated(rest, &name))
        return !slide_exists(name, response);
    not_found(response, "no such resource");
    return true;
}

void ViewerRoutes::handle_slow(const http::Request &request, http::Response &response) {
    if (m_options.fallback)
        m_options.fallback(request, response);
    else
        not_found(response, "nothing serves this here");
}

namespace {

// Whether a URL with `query` may be kept for good, or names another state
// of the slide (false: 404).
bool stamp_of_query(std::string_view query, const std::string &stamp, bool *keep) {
    std::string_view given;
    *keep = false;
    if (!query_value(query, "v", &given))
        return true;
    if (given != stamp)
        return false;
    *keep = true;
    return true;
}

}  // namespace

void ViewerRoutes::tile(const http::Request &request, std::string_view name, int level, int64_t column, int64_t row,
                        std::string_view query, http::Response &response) {
    std::string why;
    const std::shared_ptr<const ServedSlide> served = m_shelf.get(name, &why);
    if (!served) {
        not_found(response, why);
        return;
    }
    bool keep = false;
    if (!stamp_of_query(query, served->stamp, &keep)) {
        not_found(response, "the slide changed since the stamp in the URL");
        return;
    }
    core::DeepZoomTile place;
    if (!served->tiles->layout().tile(level, column, row, &place)) {
        not_found(response, "no such tile");
        return;
    }
    response.headers = "ETag: " + served->tile_etag + "\r\n" + (keep ? kKeepForGood : kRevalidate) + kNoSniff;
    if (http::etag_matches(request.header("If-None-Match"), served->tile_etag)) {
        response.status = 304;
        return;
    }
    thread_local std::vector<unsigned char> buffer;
    core::DeepZoomTiles::Tile tile;
    try {
        served->tiles->tile(*served->source, level, column, row, buffer, &tile);
    } catch (const slide_error &e) {
        not_found(response, e.what());
        return;
    }
    response.status = 200;
    response.content_type = "image/jpeg";
    response.body = tile.data;
    response.body_size = tile.size;
    response.body_owner = tile.kept;
}

void ViewerRoutes::descriptor(const http::Request &request, std::string_view name, std::string_view query,
                              http::Response &response) {
    std::string why;
    const std::shared_ptr<const ServedSlide> served = m_shelf.get(name, &why);
    if (!served) {
        not_found(response, why);
        return;
    }
    bool keep = false;
    if (!stamp_of_query(query, served->stamp, &keep)) {
        not_found(response, "the slide changed since the stamp in the URL");
        return;
    }
    response.headers = "ETag: " + served->dzi_etag + "\r\n" + (keep ? kKeepForGood : kRevalidate) + kNoSniff;
    if (http::etag_matches(request.header("If-None-Match"), served->dzi_etag)) {
        response.status = 304;
        return;
    }
    response.status = 200;
    response.content_type = "application/xml";
    response.set_body(served->dzi);
}

}  // namespace tqfio::server
