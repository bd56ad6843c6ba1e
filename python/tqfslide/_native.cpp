// tqfslide._native: the slide API of the core for the Python package. Thin:
// arguments arrive checked by the Python layer (tqfslide/_slide.py); this
// file maps the core's errors to exceptions in one place (translate) and
// releases the interpreter lock around every read and decode.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/deep_zoom.h"
#include "http_server.h"
#include "tqf_slide.h"
#include "viewer_routes.h"

namespace py = pybind11;

namespace {

// The package's error types (tqfslide/_errors.py), taken when the module is
// imported and kept for the life of the process.
struct ErrorTypes {
    PyObject *base = nullptr;         // TqfError
    PyObject *unsupported = nullptr;  // UnsupportedFormatError
    PyObject *damaged = nullptr;      // DamagedSlideError
    PyObject *io = nullptr;           // SlideIOError
};
ErrorTypes g_errors;

void load_error_types(const py::module_ &module) {
    // "tqfslide._native" -> "tqfslide._errors", wherever the package is installed.
    const std::string name = py::str(module.attr("__name__"));
    const size_t dot = name.rfind('.');
    const std::string package = dot == std::string::npos ? std::string() : name.substr(0, dot + 1);
    py::module_ errors = py::module_::import((package + "_errors").c_str());
    const auto type = [&](const char *type_name) { return py::object(errors.attr(type_name)).release().ptr(); };
    g_errors.base = type("TqfError");
    g_errors.unsupported = type("UnsupportedFormatError");
    g_errors.damaged = type("DamagedSlideError");
    g_errors.io = type("SlideIOError");
}

tqfio::pixel_format format_of(const std::string &mode) {
    if (mode == "RGB")
        return tqfio::pixel_format::rgb;
    if (mode == "BGR")
        return tqfio::pixel_format::bgr;
    if (mode == "RGBA")
        return tqfio::pixel_format::rgba;
    throw py::value_error("mode must be 'RGB', 'BGR' or 'RGBA', not '" + mode + "'");
}

// An OSError subclass with errno, text and file name, as open() raises it.
void raise_os_error(PyObject *type, int error, const std::string &message, const std::string &path) {
    py::object exception = py::reinterpret_steal<py::object>(
        PyObject_CallFunction(type, "isO", error, message.c_str(), py::str(path).ptr()));
    if (exception)
        PyErr_SetObject(type, exception.ptr());
}

// Every error of the core becomes a Python exception here, by its kind.
void translate(const tqfio::slide_error &e, const std::string &path) {
    using kind = tqfio::slide_error::kind;
    PyObject *type = g_errors.base;
    switch (e.which()) {
    // As open() words them: "[Errno 2] No such file or directory: 'x.tqf'".
    case kind::not_found:
        raise_os_error(PyExc_FileNotFoundError, ENOENT, std::strerror(ENOENT), path);
        return;
    case kind::not_readable:
        raise_os_error(PyExc_PermissionError, EACCES, std::strerror(EACCES), path);
        return;
    case kind::is_a_directory:
        raise_os_error(PyExc_IsADirectoryError, EISDIR, std::strerror(EISDIR), path);
        return;
    case kind::invalid_argument:
        PyErr_SetString(PyExc_ValueError, e.what());
        return;
    case kind::not_a_slide:
        type = g_errors.unsupported;
        break;
    case kind::damaged:
        type = g_errors.damaged;
        break;
    case kind::io:
        type = g_errors.io;
        break;
    }
    PyErr_SetString(type, e.what());
}

// Runs `call` without the interpreter lock; core errors become exceptions.
template <class Call>
auto without_gil(const std::string &path, Call &&call) -> decltype(call()) {
    try {
        py::gil_scoped_release release;
        return call();
    } catch (const tqfio::slide_error &e) {
        translate(e, path);
        throw py::error_already_set();
    }
}

// A writable uint8 array of shape (h, w, channels) whose pixels lie side by
// side: where a read may write. Rows may lie apart (a view of a wider array).
unsigned char *pixels_of(py::array &out, int width, int height, int channels, size_t *stride) {
    if (!(out.dtype().is(py::dtype::of<uint8_t>())))
        throw py::type_error("out must be an array of uint8, not " + std::string(py::str(out.dtype())));
    if (!out.writeable())
        throw py::value_error("out is read-only");
    if (out.ndim() != 3 || out.shape(0) != height || out.shape(1) != width || out.shape(2) != channels)
        throw py::value_error("out must have shape (" + std::to_string(height) + ", " + std::to_string(width) + ", " +
                              std::to_string(channels) + ")");
    if (width == 0 || height == 0) {
        *stride = 0;
        return nullptr;  // nothing to write; NumPy's strides of an empty array mean nothing
    }
    if (out.strides(2) != 1 || out.strides(1) != channels || out.strides(0) < channels * width)
        throw py::value_error("out must hold each row's pixels side by side (C order within rows)");
    *stride = static_cast<size_t>(out.strides(0));
    return static_cast<unsigned char *>(out.mutable_data());
}

py::array image_array(tqfio::image image) {
    auto *pixels = new std::vector<unsigned char>(std::move(image.pixels));
    py::capsule owner(pixels, [](void *p) { delete static_cast<std::vector<unsigned char> *>(p); });
    const ssize_t channels = tqfio::bytes_per_pixel(image.format);
    return py::array(py::dtype::of<uint8_t>(), {ssize_t(image.height), ssize_t(image.width), channels}, pixels->data(),
                     owner);
}

class NativeSlide {
public:
    NativeSlide(const std::string &path, size_t cache_bytes, unsigned threads, bool read_all) : m_path(path) {
        tqfio::slide_options options;
        options.cache_bytes = cache_bytes;
        options.threads = threads;
        options.read_all = read_all;
        m_slide = without_gil(path, [&] { return std::make_shared<tqfio::slide>(path, options); });
    }

    // The slide for one call: a reader holds it until the call ends, so
    // closing meanwhile from another thread does not pull it away.
    std::shared_ptr<tqfio::slide> get() const {
        if (!m_slide)
            throw py::value_error("the slide '" + m_path + "' is closed");
        return m_slide;
    }
    void close() { m_slide.reset(); }
    bool closed() const { return !m_slide; }
    const std::string &path() const { return m_path; }

    py::list levels() const {
        py::list result;
        for (const tqfio::level_info &l : get()->levels())
            result.append(
                py::make_tuple(l.magnification, l.downsample, l.width, l.height, l.tile_width, l.tile_height));
        return result;
    }

    py::dict properties() const {
        const tqfio::slide_properties &p = get()->properties();
        py::dict result;
        result["scan_magnification"] = p.scan_magnification;
        result["mpp"] = p.mpp;
        result["scan_time"] = p.scan_time;
        result["scan_duration"] = p.scan_duration;
        result["compression"] = p.compression;
        py::dict raw;
        for (const auto &[name, value] : p.raw)
            raw[py::str(name)] = value;
        result["raw"] = raw;
        py::dict source;
        for (const auto &[name, value] : p.source)
            source[py::str(name)] = value;
        result["source"] = source;
        return result;
    }

    void read_region(int64_t x, int64_t y, int level, int width, int height, py::array out,
                     const std::string &mode) const {
        const tqfio::pixel_format format = format_of(mode);
        size_t stride = 0;
        unsigned char *dst = pixels_of(out, width, height, tqfio::bytes_per_pixel(format), &stride);
        auto slide = get();
        without_gil(m_path, [&] { slide->read_region(x, y, level, width, height, dst, stride, format); });
    }

    void read_region_at(int64_t x, int64_t y, double downsample, int width, int height, py::array out,
                        const std::string &mode) const {
        const tqfio::pixel_format format = format_of(mode);
        size_t stride = 0;
        unsigned char *dst = pixels_of(out, width, height, tqfio::bytes_per_pixel(format), &stride);
        auto slide = get();
        without_gil(m_path, [&] { slide->read_region_at(x, y, downsample, width, height, dst, stride, format); });
    }

    py::array associated_image(const std::string &name, const std::string &mode) const {
        const tqfio::pixel_format format = format_of(mode);
        auto slide = get();
        return image_array(without_gil(m_path, [&] { return slide->associated_image(name, format); }));
    }

    py::array thumbnail(int width, int height, const std::string &mode) const {
        const tqfio::pixel_format format = format_of(mode);
        auto slide = get();
        return image_array(without_gil(m_path, [&] { return slide->thumbnail(width, height, format); }));
    }

private:
    std::string m_path;
    std::shared_ptr<tqfio::slide> m_slide;
};

class RegionBatch {
public:
    RegionBatch(const NativeSlide &slide, py::array_t<int64_t, py::array::c_style | py::array::forcecast> locations,
                int level, int width, int height, const std::string &mode, unsigned workers, size_t batch,
                size_t prefetch, bool batched)
        : m_slide(slide.get()), m_path(slide.path()), m_format(format_of(mode)), m_width(width), m_height(height),
          m_batched(batched) {
        if (locations.ndim() != 2 || locations.shape(1) != 2)
            throw py::value_error("locations must have shape (N, 2)");
        std::vector<std::pair<int64_t, int64_t>> pairs(static_cast<size_t>(locations.shape(0)));
        auto view = locations.unchecked<2>();
        for (ssize_t i = 0; i < locations.shape(0); ++i)
            pairs[static_cast<size_t>(i)] = {view(i, 0), view(i, 1)};
        m_batch = without_gil(m_path, [&] {
            return std::make_unique<tqfio::region_batch>(*m_slide, std::move(pairs), level, width, height, m_format,
                                                         workers, batch, prefetch);
        });
    }

    py::object next() {
        size_t count = 0;
        std::unique_ptr<unsigned char[]> pixels = without_gil(m_path, [&] { return m_batch->next(&count); });
        if (!pixels)
            throw py::stop_iteration();
        auto *owned = pixels.release();
        py::capsule owner(owned, [](void *p) { delete[] static_cast<unsigned char *>(p); });
        const ssize_t channels = tqfio::bytes_per_pixel(m_format);
        if (m_batched)
            return py::array(py::dtype::of<uint8_t>(), {ssize_t(count), ssize_t(m_height), ssize_t(m_width), channels},
                             owned, owner);
        return py::array(py::dtype::of<uint8_t>(), {ssize_t(m_height), ssize_t(m_width), channels}, owned, owner);
    }

    size_t size() const { return m_batch->size(); }

    // Workers stop (and are joined) without the interpreter lock, which a
    // worker never needs but the caller may hold.
    void stop() {
        if (m_batch)
            without_gil(m_path, [&] { m_batch.reset(); });
    }
    ~RegionBatch() {
        py::gil_scoped_release release;
        m_batch.reset();
    }

private:
    std::shared_ptr<tqfio::slide> m_slide;
    std::string m_path;
    tqfio::pixel_format m_format;
    int m_width, m_height;
    bool m_batched;
    std::unique_ptr<tqfio::region_batch> m_batch;
};

// Interleaved pixels (RGBRGB...) into planes (RR... GG... BB...).
void spread_into_planes(const unsigned char *from, unsigned char *to, size_t plane, int channels) {
    if (channels == 3) {
        unsigned char *red = to, *green = to + plane, *blue = to + 2 * plane;
        for (size_t p = 0; p < plane; ++p) {
            red[p] = from[3 * p];
            green[p] = from[3 * p + 1];
            blue[p] = from[3 * p + 2];
        }
        return;
    }
    for (size_t p = 0; p < plane; ++p)
        for (int c = 0; c < channels; ++c)
            to[c * plane + p] = from[p * channels + c];
}

// Maps the pages of a large fresh destination in one call rather than a
// fault per page as the reads first touch them: dear in a virtual machine,
// the more so for shared memory, where PyTorch's worker processes put their
// batches. Kernels before 5.14 refuse the advice, and the reads fault as usual.
void populate(unsigned char *pixels, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes < (size_t(1) << 20))
        return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(pixels) & ~uintptr_t(page - 1);
    madvise(reinterpret_cast<void *>(start), bytes + (reinterpret_cast<uintptr_t>(pixels) - start),
            MADV_POPULATE_WRITE);
#else
    (void)pixels;
    (void)bytes;
#endif
}

// Patches of one size from many slides into one (N, height, width, channels)
// array, on `threads` native threads and without the interpreter lock: the
// batches of tqfslide.torch.PatchDataset and of Slide.read_regions at a
// resolution no level holds. Patch i is read from slides[which[i]] at
// downsamples[i] (a stored level's downsample reads that level as stored).
// channels_first: `out` is (N, channels, height, width), each patch read into
// a buffer of its thread and spread into planes while it is in the cache (a
// batch PyTorch stacks with a plain copy). Every patch is attempted; the
// error of the first one that failed is raised once all are done, with the
// index of the patch in `failed` (one int).
void read_patches(const py::list &slides, py::array_t<int32_t, py::array::c_style | py::array::forcecast> which,
                  py::array_t<int64_t, py::array::c_style | py::array::forcecast> locations,
                  py::array_t<double, py::array::c_style | py::array::forcecast> downsamples, int width, int height,
                  py::array out, const std::string &mode, unsigned threads, py::array_t<int64_t> failed,
                  bool channels_first) {
    const tqfio::pixel_format format = format_of(mode);
    const ssize_t count = which.size();
    if (which.ndim() != 1 || locations.ndim() != 2 || locations.shape(0) != count || locations.shape(1) != 2 ||
        downsamples.ndim() != 1 || downsamples.shape(0) != count)
        throw py::value_error("which, locations and downsamples must describe the same patches");
    const int channels = tqfio::bytes_per_pixel(format);
    const std::vector<ssize_t> shape = channels_first ? std::vector<ssize_t>{count, channels, height, width}
                                                      : std::vector<ssize_t>{count, height, width, channels};
    if (!out.dtype().is(py::dtype::of<uint8_t>()) || !out.writeable() || out.ndim() != 4 ||
        !std::equal(shape.begin(), shape.end(), out.shape()) || !(out.flags() & py::array::c_style))
        throw py::value_error("out must be a writable C-contiguous uint8 array of shape (" + std::to_string(shape[0]) +
                              ", " + std::to_string(shape[1]) + ", " + std::to_string(shape[2]) + ", " +
                              std::to_string(shape[3]) + ")");
    if (failed.size() != 1)
        throw py::value_error("failed must hold one integer");
    std::vector<std::shared_ptr<tqfio::slide>> opened;
    opened.reserve(slides.size());
    for (const py::handle &item : slides)
        opened.push_back(item.cast<const NativeSlide &>().get());
    auto chosen = which.unchecked<1>();
    for (ssize_t i = 0; i < count; ++i)
        if (chosen(i) < 0 || static_cast<size_t>(chosen(i)) >= opened.size())
            throw py::value_error("which[" + std::to_string(i) + "] names no slide");
    auto places = locations.unchecked<2>();
    auto scales = downsamples.unchecked<1>();
    unsigned char *pixels = static_cast<unsigned char *>(out.mutable_data());
    const size_t region = static_cast<size_t>(width) * height * channels;
    const size_t stride = static_cast<size_t>(width) * channels;

    std::atomic<ssize_t> next{0};
    std::atomic<ssize_t> first_failure{count};
    {
        py::gil_scoped_release release;
        populate(pixels, region * static_cast<size_t>(count));
    }
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const auto work = [&] {
        std::vector<unsigned char> interleaved(channels_first ? region : 0);
        const size_t plane = static_cast<size_t>(width) * height;
        for (ssize_t i = next++; i < count; i = next++) {
            try {
                unsigned char *target = pixels + region * i;
                opened[static_cast<size_t>(chosen(i))]->read_region_at(
                    places(i, 0), places(i, 1), scales(i), width, height, channels_first ? interleaved.data() : target,
                    stride, format);
                if (channels_first)
                    spread_into_planes(interleaved.data(), target, plane, channels);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (i < first_failure) {
                    first_failure = i;
                    failure = std::current_exception();
                }
            }
        }
    };
    {
        py::gil_scoped_release release;
        const unsigned workers = std::max(
            1u, std::min<unsigned>(threads, static_cast<unsigned>(std::max<ssize_t>(count, 1))));
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < workers; ++t)
            pool.emplace_back(work);
        work();
        for (std::thread &thread : pool)
            thread.join();
    }
    if (failure) {
        const ssize_t index = first_failure.load();
        failed.mutable_at(0) = index;
        const std::string path = opened[static_cast<size_t>(chosen(index))]->path();
        without_gil(path, [&] { std::rethrow_exception(failure); });
    }
}

// Deep Zoom tiles of a slide for tqfslide.deepzoom and the viewer. Holds the
// Python slide (kept alive by the binding), so closing it ends the tiles too.
class DeepZoom {
public:
    DeepZoom(const NativeSlide &slide, int tile_size, int overlap, int quality, size_t cache_bytes)
        : m_slide(&slide), m_layout(slide.get()->width(), slide.get()->height(), tile_size, overlap),
          m_tiles(*slide.get(), tile_size, overlap, quality, cache_bytes) {}

    py::list levels() const {
        py::list result;
        for (const tqfio::core::DeepZoomLevel &l : m_layout.levels())
            result.append(py::make_tuple(l.width, l.height, l.columns, l.rows, l.downsample));
        return result;
    }

    // (x, y, downsample, width, height), or None for a tile that does not exist.
    py::object tile_place(int level, int64_t column, int64_t row) const {
        tqfio::core::DeepZoomTile tile;
        if (!m_layout.tile(level, column, row, &tile))
            return py::none();
        return py::make_tuple(tile.x, tile.y, tile.downsample, tile.width, tile.height);
    }

    py::bytes tile_jpeg(int level, int64_t column, int64_t row, int quality) const {
        const tqfio::core::DeepZoomTile tile = place(level, column, row);
        auto slide = m_slide->get();
        thread_local std::vector<unsigned char> jpeg;
        size_t size = 0;
        without_gil(slide->path(), [&] { size = tqfio::core::encode_deep_zoom_tile(*slide, tile, quality, jpeg); });
        return py::bytes(reinterpret_cast<const char *>(jpeg.data()), size);
    }

    // The tile as the viewer sends it: (bytes, origin), origin "stored",
    // "cropped" or "made" (see DeepZoomTiles).
    py::tuple tile_data(int level, int64_t column, int64_t row) const {
        place(level, column, row);
        auto slide = m_slide->get();
        thread_local std::vector<unsigned char> buffer;
        tqfio::core::DeepZoomTiles::Tile tile;
        without_gil(slide->path(), [&] { m_tiles.tile(*slide, level, column, row, buffer, &tile); });
        static const char *const origins[] = {"stored", "cropped", "made"};
        return py::make_tuple(py::bytes(reinterpret_cast<const char *>(tile.data), tile.size),
                              origins[static_cast<int>(tile.origin)]);
    }

    int stored_level(int level) const { return m_tiles.stored_level(level); }

    py::array tile_rgb(int level, int64_t column, int64_t row) const {
        const tqfio::core::DeepZoomTile tile = place(level, column, row);
        auto slide = m_slide->get();
        py::array_t<uint8_t> out({ssize_t(tile.height), ssize_t(tile.width), ssize_t(3)});
        unsigned char *dst = out.mutable_data();
        without_gil(slide->path(),
                    [&] { tqfio::core::read_deep_zoom_tile(*slide, tile, dst, static_cast<size_t>(tile.width) * 3); });
        return out;
    }

private:
    tqfio::core::DeepZoomTile place(int level, int64_t column, int64_t row) const {
        tqfio::core::DeepZoomTile tile;
        if (!m_layout.tile(level, column, row, &tile))
            throw py::value_error("no Deep Zoom tile at level " + std::to_string(level) + ", column " +
                                  std::to_string(column) + ", row " + std::to_string(row));
        return tile;
    }

    const NativeSlide *m_slide;
    tqfio::core::DeepZoomLayout m_layout;
    tqfio::core::DeepZoomTiles m_tiles;
};

// A str of the bytes taken as Latin-1, as WSGI hands raw request bytes on.
py::str latin1(std::string_view bytes) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeLatin1(bytes.data(), static_cast<ssize_t>(bytes.size()), nullptr));
}

// The viewer's native HTTP server (server/), listening on a socket of the
// caller's. What it does not answer itself it hands, on a slow thread of
// its own and with the interpreter lock taken, to the WSGI application.
class ViewerServer {
public:
    ViewerServer(int listen_fd, const py::dict &config, py::object app) : m_app(std::move(app)) {
        const auto get = [&](const char *key) { return config[key]; };
        tqfio::server::ViewerOptions options;
        options.shelf.folder = get("folder").cast<std::string>();
        options.shelf.single_name = get("single_name").cast<std::string>();
        options.shelf.single_path = get("single_path").cast<std::string>();
        options.shelf.max_open = get("max_open").cast<size_t>();
        options.shelf.cache_bytes = get("cache_bytes").cast<size_t>();
        options.shelf.tile_cache_bytes = get("tile_cache_bytes").cast<size_t>();
        options.shelf.tile_size = get("tile_size").cast<int>();
        options.shelf.overlap = get("overlap").cast<int>();
        options.shelf.quality = get("quality").cast<int>();
        options.loopback_only = get("loopback_only").cast<bool>();
        options.not_found_page = get("not_found_page").cast<std::string>();
        m_server_name = get("server_name").cast<std::string>();
        m_server_port = get("server_port").cast<std::string>();
        options.fallback = [this](const tqfio::http::Request &request, tqfio::http::Response &response) {
            call_app(request, response);
        };
        tqfio::http::ServerOptions server;
        server.listen_fd = listen_fd;
        server.threads = get("threads").cast<unsigned>();
        server.slow_threads = get("slow_threads").cast<unsigned>();
        server.access_log = get("access_log").cast<bool>();
        const size_t files = tqfio::http::raise_open_file_limit();
        // Room for the slides, the listening socket and what Python holds.
        server.max_connections = std::min<size_t>(get("max_connections").cast<size_t>(), files > 128 ? files - 96 : 32);
        server.idle_timeout_ms = get("idle_timeout_ms").cast<int>();
        server.head_timeout_ms = get("head_timeout_ms").cast<int>();
        server.write_timeout_ms = get("write_timeout_ms").cast<int>();
        py::gil_scoped_release release;
        m_routes = std::make_unique<tqfio::server::ViewerRoutes>(options);
        m_server = std::make_unique<tqfio::http::Server>(server, *m_routes);
    }

    ~ViewerServer() { stop(); }

    // Waits for a slow request in progress, which needs the interpreter lock.
    void stop() {
        if (!m_server)
            return;
        {
            py::gil_scoped_release release;
            m_server->stop();
        }
        m_server.reset();
    }

    size_t open_connections() const { return m_server ? m_server->open_connections() : 0; }
    size_t open_slides() { return m_routes ? m_routes->shelf().open_count() : 0; }

private:
    void call_app(const tqfio::http::Request &request, tqfio::http::Response &response) {
        py::gil_scoped_acquire gil;
        try {
            py::dict environ;
            // HEAD is asked as GET: the server sends the length and leaves the body out.
            environ["REQUEST_METHOD"] = request.method == "HEAD" ? std::string("GET") : std::string(request.method);
            environ["REQUEST_URI"] = latin1(request.target);
            tqfio::server::Target target;
            std::string why;
            tqfio::server::decode_target(request.target, &target, &why);
            environ["PATH_INFO"] = latin1(target.path);
            environ["QUERY_STRING"] = latin1(target.query);
            environ["SCRIPT_NAME"] = "";
            environ["SERVER_NAME"] = m_server_name;
            environ["SERVER_PORT"] = m_server_port;
            environ["SERVER_PROTOCOL"] = request.minor_version == 0 ? "HTTP/1.0" : "HTTP/1.1";
            for (const tqfio::http::Header &h : request.headers) {
                std::string key;
                for (char c : h.name)
                    key += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (key != "CONTENT_TYPE" && key != "CONTENT_LENGTH")
                    key = "HTTP_" + key;
                py::str value = latin1(h.value);
                if (environ.contains(key.c_str()))
                    value = py::str(environ[key.c_str()]) + py::str(",") + value;
                environ[key.c_str()] = value;
            }
            environ["wsgi.version"] = py::make_tuple(1, 0);
            environ["wsgi.url_scheme"] = "http";
            environ["wsgi.input"] = py::module_::import("io").attr("BytesIO")();
            environ["wsgi.errors"] = py::module_::import("sys").attr("stderr");
            environ["wsgi.multithread"] = true;
            environ["wsgi.multiprocess"] = false;
            environ["wsgi.run_once"] = false;
            std::string status;
            py::list headers;
            py::cpp_function start_response(
                [&](py::str s, py::list h, py::object) {
                    status = s.cast<std::string>();
                    headers = h;
                    return py::none();
                },
                py::arg("status"), py::arg("headers"), py::arg("exc_info") = py::none());
            py::object result = m_app(environ, start_response);
            std::string body;
            for (py::handle chunk : result)
                body += chunk.cast<std::string>();
            if (py::hasattr(result, "close"))
                result.attr("close")();
            response.status = std::stoi(status.substr(0, 3));
            for (py::handle item : headers) {
                const auto pair = item.cast<std::pair<std::string, std::string>>();
                const std::string &name = pair.first, &value = pair.second;
                if (tqfio::http::equals_ignoring_case(name, "Content-Length") ||
                    tqfio::http::equals_ignoring_case(name, "Connection") ||
                    tqfio::http::equals_ignoring_case(name, "Date") ||
                    tqfio::http::equals_ignoring_case(name, "Server") ||
                    name.find_first_of("\r\n:") != std::string::npos ||
                    value.find_first_of("\r\n") != std::string::npos)
                    continue;
                response.headers += name + ": " + value + "\r\n";
            }
            response.set_body(std::move(body));
        } catch (py::error_already_set &e) {
            response = tqfio::http::Response();
            response.status = 500;
            response.set_body("500 Internal Server Error\n");
            response.log_note = e.what();
        }
    }

    py::object m_app;
    std::string m_server_name, m_server_port;
    std::unique_ptr<tqfio::server::ViewerRoutes> m_routes;
    std::unique_ptr<tqfio::http::Server> m_server;
};

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The native slide API behind tqfslide; use tqfslide.Slide.";

    load_error_types(m);

    py::class_<NativeSlide>(m, "NativeSlide")
        .def(py::init<const std::string &, size_t, unsigned, bool>(), py::arg("path"), py::arg("cache_bytes"),
             py::arg("threads"), py::arg("read_all"))
        .def_property_readonly("path", &NativeSlide::path)
        .def_property_readonly("closed", &NativeSlide::closed)
        .def_property_readonly("width", [](const NativeSlide &s) { return s.get()->width(); })
        .def_property_readonly("height", [](const NativeSlide &s) { return s.get()->height(); })
        .def_property_readonly("levels", &NativeSlide::levels)
        .def_property_readonly("properties", &NativeSlide::properties)
        .def_property_readonly("associated_image_names",
                               [](const NativeSlide &s) { return s.get()->associated_image_names(); })
        .def_property(
            "cache_bytes", [](const NativeSlide &s) { return s.get()->cache_bytes(); },
            [](NativeSlide &s, size_t bytes) { s.get()->set_cache_bytes(bytes); })
        .def_property_readonly("cache_used_bytes", [](const NativeSlide &s) { return s.get()->cache_used_bytes(); })
        .def("best_level_for_downsample",
             [](const NativeSlide &s, double d) { return s.get()->best_level_for_downsample(d); })
        .def("read_region", &NativeSlide::read_region)
        .def("read_region_at", &NativeSlide::read_region_at)
        .def("associated_image", &NativeSlide::associated_image)
        .def("thumbnail", &NativeSlide::thumbnail)
        .def("close", &NativeSlide::close);

    py::class_<RegionBatch>(m, "RegionBatch")
        .def(py::init<const NativeSlide &, py::array_t<int64_t, py::array::c_style | py::array::forcecast>, int, int,
                      int, const std::string &, unsigned, size_t, size_t, bool>())
        .def("__next__", &RegionBatch::next)
        .def("__len__", &RegionBatch::size)
        .def("stop", &RegionBatch::stop);

    m.def("read_patches", &read_patches, py::arg("slides"), py::arg("which"), py::arg("locations"),
          py::arg("downsamples"), py::arg("width"), py::arg("height"), py::arg("out"), py::arg("mode"),
          py::arg("threads"), py::arg("failed"), py::arg("channels_first") = false);

    py::class_<DeepZoom>(m, "DeepZoom")
        .def(py::init<const NativeSlide &, int, int, int, size_t>(), py::keep_alive<1, 2>(), py::arg("slide"),
             py::arg("tile_size"), py::arg("overlap"), py::arg("quality"), py::arg("cache_bytes"))
        .def_property_readonly("levels", &DeepZoom::levels)
        .def("tile_place", &DeepZoom::tile_place)
        .def("tile_jpeg", &DeepZoom::tile_jpeg)
        .def("tile_data", &DeepZoom::tile_data)
        .def("stored_level", &DeepZoom::stored_level)
        .def("tile_rgb", &DeepZoom::tile_rgb);

    m.def("slide_stamp", &tqfio::server::slide_stamp, py::arg("inode"), py::arg("size"), py::arg("mtime_ns"),
          "The stamp of a slide file: 16 hexadecimal digits from its inode, size and modification time.");

    py::class_<ViewerServer>(m, "ViewerServer")
        .def(py::init<int, const py::dict &, py::object>(), py::arg("listen_fd"), py::arg("config"), py::arg("app"))
        .def("stop", &ViewerServer::stop)
        .def_property_readonly("open_connections", &ViewerServer::open_connections)
        .def_property_readonly("open_slides", &ViewerServer::open_slides);
}
