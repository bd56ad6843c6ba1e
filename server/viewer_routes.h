// The viewer's URLs, as tqfslide.viewer.app answers them (<name> is a
// slide's name, see slide_shelf.h):
//
//   /slides/<name>_files/<level>/<col>_<row>.jpeg   Deep Zoom tiles   here
//   /slides/<name>.dzi                              the descriptor    here
//   /slides/<name>/properties.json, /thumbnail.jpeg,
//   /slides/<name>/associated/<image>.png, /view/<name>, /, /static/...
//                                                   the fallback (the WSGI application)
//
// Everything that is refused is refused here, before the fallback is asked:
// a Host that does not name this machine when serving on loopback (403),
// methods but GET and HEAD (405), targets with percent-encoded dots,
// slashes or backslashes, that do not decode to UTF-8, names that may not be
// served and tiles out of range (404, with the 404 page).
//
// Tiles and descriptors carry a strong ETag from the slide's stamp and the
// layout, and If-None-Match gets 304. A URL that carries the current stamp
// (?v=<stamp>) may be kept for good ("immutable"); one with another stamp
// names a slide that was rewritten since, and gets 404; without one, clients
// revalidate each time.
#ifndef TQF_SERVER_VIEWER_ROUTES_H
#define TQF_SERVER_VIEWER_ROUTES_H

#include <functional>
#include <string>
#include <string_view>

#include "http_server.h"
#include "slide_shelf.h"

namespace tqfio::server {

struct ViewerOptions {
    ShelfOptions shelf;
    bool loopback_only = true;
    std::string not_found_page;  // HTML
    // Answers what is not answered here, on a slow thread; null for 404.
    std::function<void(const http::Request &, http::Response &)> fallback;
};

// How a request target reads: its path percent-decoded and its query.
struct Target {
    std::string path;
    std::string_view query;
};

enum class TargetStatus { ok, not_found, bad_request };

// Decodes a request target as the viewer does: origin or absolute form;
// percent-encoded dots, slashes and backslashes, paths that do not decode to
// UTF-8, that do not start with "/" or hold NUL are not found.
TargetStatus decode_target(std::string_view target, Target *out, std::string *why);

// The value of `name` in a query string ("a=1&v=x"); false when absent.
bool query_value(std::string_view query, std::string_view name, std::string_view *value);

class ViewerRoutes final : public http::Handler {
public:
    explicit ViewerRoutes(const ViewerOptions &options);

    bool handle(const http::Request &request, http::Response &response) override;
    void handle_slow(const http::Request &request, http::Response &response) override;

    SlideShelf &shelf() { return m_shelf; }

private:
    void not_found(http::Response &response, std::string why) const;
    void tile(const http::Request &request, std::string_view name, int level, int64_t column, int64_t row,
              std::string_view query, http::Response &response);
    void descriptor(const http::Request &request, std::string_view name, std::string_view query,
                    http::Response &response);
    bool slide_exists(std::string_view name, http::Response &response) const;

    ViewerOptions m_options;
    SlideShelf m_shelf;
};

}  // namespace tqfio::server

#endif  // TQF_SERVER_VIEWER_ROUTES_H
