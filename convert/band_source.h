/*
 * Sources of pixels for tqf-convert, read in bands of rows so that a slide
 * of any size converts in bounded memory: slides OpenSlide reads, TIFF files
 * through libtiff, and other images through OpenCV.
 */
#ifndef TQF_CONVERT_BAND_SOURCE_H
#define TQF_CONVERT_BAND_SOURCE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "source_time.h"

namespace tqf::convert {

// What a source says about itself besides its pixels.
struct SourceMetadata {
    std::string kind;                        // "OpenSlide (aperio)", "TIFF", "OpenCV", for messages
    std::optional<double> objectivePower;    // the scan's magnification
    std::optional<double> micronsPerPixelX;  // at the full resolution
    std::optional<double> micronsPerPixelY;
    std::optional<int64_t> scanTime;  // seconds since 1970 (UTC) when it was scanned
    cv::Mat label;                    // BGR on white; empty when the source has none
    cv::Mat macro;                    // the whole glass slide, BGR on white
    cv::Mat thumbnail;                // the scanner's thumbnail, BGR on white
    // Every property the source has, as OpenSlide (or, for TIFF files it
    // does not read, libtiff) names it: "aperio.AppMag", "tiff.Make", ...
    std::vector<std::pair<std::string, std::string>> properties;
    // Whether the TIFF's tiled pages are the levels OpenSlide shows, read
    // as stored (Aperio SVS, generic tiled TIFF): their tiles may be copied.
    bool copiesTiffLevels = false;
    // Whether its reader draws the tiles a level does not store from the
    // finer level (OpenSlide's Aperio reader) rather than leaving them out.
    bool drawsMissingTiles = false;
};

class BandSource {
public:
    virtual ~BandSource() = default;

    int64_t width() const { return m_width; }
    int64_t height() const { return m_height; }
    const SourceMetadata &metadata() const { return m_metadata; }

    // Reads the region of out.cols x out.rows pixels at (x, y), which lies in
    // the image, into `out` (CV_8UC3, blue-green-red; transparent areas
    // white). Regions are asked for top to bottom. False with `error` naming
    // the source and the place.
    virtual bool read(int64_t x, int64_t y, cv::Mat &out, std::string &error) = 0;

    // Whether regions may be read from several threads at once.
    virtual bool concurrentReads() const { return false; }

    // Band height and part width that fall on the source's own tiles, so
    // no tile is decoded twice.
    virtual int bandRows() const { return 256; }
    virtual int partAlignment() const { return 1024; }

    // The region of out.cols x out.rows at (x, y) of the source's level of
    // width x height (BGR on white), for sources with levels; false where
    // it has none of that size or cannot show that region alone.
    virtual bool readLevel(int64_t levelWidth, int64_t levelHeight, int64_t x, int64_t y, cv::Mat &out) {
        (void)levelWidth, (void)levelHeight, (void)x, (void)y, (void)out;
        return false;
    }

protected:
    int64_t m_width = 0;
    int64_t m_height = 0;
    SourceMetadata m_metadata;
};

// Opens `path` with the first reader that takes it: OpenSlide for slides it
// recognises, libtiff for other TIFF files, OpenCV for anything else. Null
// with `error` set when none does; `path` names a regular file.
std::unique_ptr<BandSource> openSource(const std::string &path, std::string &error);

// Premultiplied ARGB pixels (OpenSlide's, libtiff's RGBA raster) laid on
// white, as BGR.
void compositeOnWhite(const uint32_t *argb, int count, uint8_t *bgr, bool abgr = false);

namespace detail {
std::unique_ptr<BandSource> openWithOpenSlide(const std::string &path, bool &recognised, std::string &error);
std::unique_ptr<BandSource> openWithLibtiff(const std::string &path, std::string &error);
std::unique_ptr<BandSource> openWithOpenCv(const std::string &path, std::string &error);
}  // namespace detail

}  // namespace tqf::convert

#endif  // TQF_CONVERT_BAND_SOURCE_H
