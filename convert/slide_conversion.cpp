#include "slide_conversion.h"

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
bool readBand(BandSource &source, int64_t top, cv::Mat &band, unsigned readers, std::string &error)
{
    const int64_t width = source.width();
    const int parts = source.concurrentReads()
                          ? static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(
                                                                      (width + kPartColumns - 1) / kPartColumns,
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

}  // namespace

SlideWriteResult convertSource(BandSource &source, const std::string &outputPath, const SlideWriteOptions &options,
                               unsigned readers, SlideProgress progress)
{
    SlideWriteResult result;
    const auto writeFailed = [&](const std::string &error) {
        result.error = "cannot write '" + outputPath + "': " + error;
        return result;
    };
    SlideStreamWriter writer;
    std::string problem = writer.begin(outputPath, source.width(), source.height(), options, std::move(progress));
    if (!problem.empty())
        return writeFailed(problem);
    try {
        cv::Mat band;
        const int bandRows = std::max(1, source.bandRows());
        for (int64_t top = 0; top < source.height(); top += bandRows) {
            const int rows = static_cast<int>(std::min<int64_t>(bandRows, source.height() - top));
            band.create(rows, static_cast<int>(source.width()), CV_8UC3);
            if (!readBand(source, top, band, readers, result.error))
                return result;  // the writer discards the slide
            problem = writer.addRows(band);
            if (!problem.empty())
                return writeFailed(problem);
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
    return result;
}

}  // namespace tqf::convert
