// Fuzz target: arbitrary bytes as an HTTP request to the viewer's native
// server, parsed and routed over a folder that holds one small slide (tiles,
// descriptors and every refusal are answered without the network). Checks
// that the parser keeps within the bytes and its limit, that an answer is
// always one of those the viewer gives (never 500), and that a tile answered
// is a whole JPEG stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "core/jpeg_stream.h"
#include "fuzz_workspace.h"
#include "tqf_writer.h"
#include "viewer_routes.h"

namespace {

using namespace tqfio;

void require(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "http fuzzer: %s\n", what);
        std::abort();
    }
}

server::ViewerRoutes &routes() {
    static std::unique_ptr<server::ViewerRoutes> instance = [] {
        cv::Mat image(600, 700, CV_8UC3);
        cv::randu(image, 0, 255);
        tqf::SlideWriteOptions options;
        options.threads = 1;
        require(tqf::writeSlide(image, tqf::fuzz::workspace() + "/s.tqf", options).ok(), "cannot write the slide");
        server::ViewerOptions viewer;
        viewer.shelf.folder = tqf::fuzz::workspace();
        viewer.shelf.max_open = 2;
        viewer.not_found_page = "<p>not found</p>";
        return std::make_unique<server::ViewerRoutes>(viewer);
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    constexpr size_t kLimit = 2048;
    http::Request request;
    size_t length = 0;
    const http::ParseStatus status = http::parse_request(input, kLimit, &request, &length);
    if (status != http::ParseStatus::complete)
        return 0;
    require(length <= size && length <= kLimit, "a head longer than the input or the limit");
    const auto inside = [&](std::string_view part) {
        return part.empty() || (part.data() >= input.data() && part.data() + part.size() <= input.data() + length);
    };
    require(inside(request.method) && inside(request.target), "a request line outside the head");
    for (const http::Header &h : request.headers)
        require(inside(h.name) && inside(h.value), "a header field outside the head");

    http::Response response;
    if (!routes().handle(request, response))
        routes().handle_slow(request, response);
    const int answer = response.status;
    require(answer == 200 || answer == 304 || answer == 400 || answer == 403 || answer == 404 || answer == 405,
            "an answer the viewer does not give");
    if (answer == 200 && response.content_type == "image/jpeg") {
        core::JpegStreamInfo info;
        require(
            core::inspect_jpeg_stream(reinterpret_cast<const unsigned char *>(response.data()), response.size(), &info),
            "a tile that is not a whole JPEG stream");
    }
    return 0;
}
