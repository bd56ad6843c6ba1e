#include "slide_conversion.h"

#include "pyramid.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace tqf::convert {

namespace {

// Narrowest part of a band a reader thread takes.
constexpr int kPartColumns = 2048;

// Reads a band into `band`, in parts on several threads where the source
// allows; the first failure is kept.
bool readBand(BandSource &source, int64_t top, cv::Mat &band, unsigned readers, std::string &error) {
    const int64_t width = source.width();
    const int parts = source.concurrentReads() ? static_cast<int>(std::max<int64_t>(
                                                     1, std::min<int64_t>((width + kPartColumns - 1) / kPartColumns,
                                                                          static_cast<int64_t>(readers) * 4)))
                                               : 1;
    const int64_t alignment = std::max(1, source.partAlignment());
    const int64_t partWidth = ((width + parts - 1) / parts + alignment - 1) / alignment * alignment;
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    const auto readParts = [&] {
        for (int part = next++; part < parts && !failed; part = next++) {
            const int64_t left = part * partWidth;
            const int columns = static_cast<int>(std::min(partWidth, width - left));
            if (columns <= 0)
                continue;
            cv::Mat region = band.colRange(static_cast<int>(left), static_cast<int>(left) + columns);
            std::string problem;
            bool ok = false;
            try {
                ok = source.read(left, top, region, problem);
            } catch (const std::exception &e) {
                problem = std::string("cannot read rows ") + std::to_string(top) + "..: " + e.what();
            }
            if (!ok) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true))
                    error = problem;
            }
        }
    };
    const unsigned helpers = std::min<unsigned>(std::max(1u, readers), static_cast<unsigned>(parts)) - 1;
    std::vector<std::thread> threads;
    threads.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i)
        threads.emplace_back(readParts);
    readParts();
    for (std::thread &thread : threads)
        thread.join();
    return !failed;
}

// Runs `work(column)` for columns 0..count-1 on up to `threads` threads;
// false with the first failure's error.
template <typename Work>
bool forEachColumn(int64_t count, unsigned threads, Work work, std::string &error) {
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    const auto run = [&] {
        cv::Mat scratch;
        for (int64_t column = next++; column < count && !failed; column = next++) {
            std::string problem;
            bool ok = false;
            try {
                ok = work(column, scratch, problem);
            } catch (const std::exception &e) {
                problem = e.what();
            }
            if (!ok) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true))
                    error = problem;
            }
        }
    };
    const unsigned helpers = static_cast<unsigned>(
                                 std::min<int64_t>(std::max(1u, threads), std::max<int64_t>(1, count))) -
                             1;
    std::vector<std::thread> pool;
    pool.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i)
        pool.emplace_back(run);
    run();
    for (std::thread &thread : pool)
        thread.join();
    return !failed;
}

// One copied level, tile row by tile row: its tiles to the writer as they
// are (or encoded again where they must be), its rows where the writer
// wants them, and the next level's rows halved from its decoded tiles where
// this conversion makes that level. False with `sourceError` set for a
// damaged tile, or with the writer's error in `writeError`.
bool copyLevel(const CopiedLevel &level, int k, bool makesNext, SlideStreamWriter &writer, unsigned readers,
               LevelOutcome &outcome, std::string &sourceError, std::string &writeError) {
    constexpr int kTile = 256;
    const bool wantRows = writer.rowsWanted(k);
    const bool wantHalf = makesNext && writer.rowsWanted(k + 1);
    const int64_t halfWidth = (level.width() + 1) / 2;
    std::vector<CopiedTile> tiles(static_cast<size_t>(level.columns()));
    cv::Mat band, half;
    for (int64_t row = 0; row < level.rows(); ++row) {
        const int rows = static_cast<int>(std::min<int64_t>(kTile, level.height() - row * kTile));
        if (wantRows)
            band.create(rows, static_cast<int>(level.width()), CV_8UC3);
        if (wantHalf)
            half.create((rows + 1) / 2, static_cast<int>(halfWidth), CV_8UC3);
        const TilePixels want = wantRows ? TilePixels::whole : wantHalf ? TilePixels::half : TilePixels::none;
        const auto readOne = [&](int64_t column, cv::Mat &scratch, std::string &error) {
            CopiedTile &tile = tiles[static_cast<size_t>(column)];
            if (!level.readTile(column, row, want, tile, scratch, error))
                return false;
            const int left = static_cast<int>(column * kTile);
            if (wantRows)
                tile.output.copyTo(band(cv::Rect(left, 0, tile.output.cols, tile.output.rows)));
            if (wantHalf) {
                const cv::Mat halved = wantRows ? writer::halveLevel(tile.output) : tile.output;
                halved.copyTo(half(cv::Rect(left / 2, 0, halved.cols, halved.rows)));
            }
            return true;
        };
        if (!forEachColumn(level.columns(), readers, readOne, sourceError))
            return false;
        for (int64_t column = 0; column < level.columns(); ++column) {
            CopiedTile &tile = tiles[static_cast<size_t>(column)];
            if (tile.reencode) {
                ++outcome.reencodedTiles;
                writeError = writer.addTilePixels(k, column, row, tile.pixels);
            } else {
                writeError = writer.addTile(k, column, row, std::move(tile.stream));
            }
            tile = CopiedTile{};
            if (!writeError.empty())
                return false;
        }
        if (wantRows && !(writeError = writer.addLevelRows(k, band)).empty())
            return false;
        if (wantHalf && !(writeError = writer.addLevelRows(k + 1, half)).empty())
            return false;
    }
    return true;
}

}  // namespace

SlideWriteResult convertSource(BandSource &source, const std::string &outputPath, const SlideWriteOptions &givenOptions,
                               unsigned readers, SlideProgress progress, const CopyPlan &copies,
                               std::vector<LevelOutcome> *outcomes) {
    SlideWriteResult result;
    const auto writeFailed = [&](const std::string &error) {
        result.error = "cannot write '" + outputPath + "': " + error;
        return result;
    };
    // A copied level's decoded tiles make the next level, unless that one
    // is copied too.
    SlideWriteOptions options = givenOptions;
    for (size_t k = 0; k < copies.levels.size(); ++k) {
        if (!copies.copies(k))
            continue;
        options.copiedLevels.push_back(static_cast<int>(k));
        if (k + 1 < copies.levels.size() && !copies.copies(k + 1))
            options.givenLevels.push_back(static_cast<int>(k + 1));
    }
    std::vector<LevelOutcome> outcome(std::max<size_t>(1, copies.levels.size()));
    SlideStreamWriter writer;
    std::string problem = writer.begin(outputPath, source.width(), source.height(), options, std::move(progress));
    if (!problem.empty())
        return writeFailed(problem);
    try {
        cv::Mat band;
        const int bandRows = std::max(1, source.bandRows());
        for (int64_t top = 0; writer.rowsWanted(0) && !copies.copies(0) && top < source.height(); top += bandRows) {
            const int rows = static_cast<int>(std::min<int64_t>(bandRows, source.height() - top));
            band.create(rows, static_cast<int>(source.width()), CV_8UC3);
            if (!readBand(source, top, band, readers, result.error))
                return result;  // the writer discards the slide
            problem = writer.addRows(band);
            if (!problem.empty())
                return writeFailed(problem);
        }
        band.release();
        for (size_t k = 0; k < copies.levels.size(); ++k) {
            if (!copies.copies(k))
                continue;
            outcome[k].copied = true;
            const bool makesNext = k + 1 < copies.levels.size() && !copies.copies(k + 1);
            if (!copyLevel(*copies.levels[k], static_cast<int>(k), makesNext, writer, readers, outcome[k], result.error,
                           problem))
                return problem.empty() ? result : writeFailed(problem);
        }
    } catch (const std::bad_alloc &) {
        result.error = "not enough memory to convert into '" + outputPath + "'";
        return result;
    } catch (const cv::Exception &e) {
        result.error = "image processing failed while converting into '" + outputPath + "': " + e.what();
        return result;
    }
    result = writer.finish();
    if (!result.ok())
        return writeFailed(result.error);
    if (outcomes != nullptr)
        *outcomes = std::move(outcome);
    return result;
}

}  // namespace tqf::convert
