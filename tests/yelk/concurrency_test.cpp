// Handles loaded without read-all serve several threads at once.
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

namespace tqf::testing {
namespace {

using TileKey = std::tuple<UINT32, INT32, INT32>;
using TileStreams = std::map<TileKey, std::vector<char>>;

TileStreams allTiles(TQF *slide, FetchOperation operation, bool backwards) {
    std::vector<TileKey> keys;
    const TQF_HEADER &header = *slide->header;
    for (const format::Level &level : format::pyramidLevels(header.imageWidth, header.imageHeight, header.scanScale))
        for (INT32 y = 0; y < level.height; y += 256)
            for (INT32 x = 0; x < level.width; x += 256)
                keys.emplace_back(level.address, x, y);
    if (backwards)
        std::reverse(keys.begin(), keys.end());
    TileStreams streams;
    for (const TileKey &key : keys) {
        const Fetched tile = fetchTile(slide, operation, std::get<0>(key), std::get<1>(key), std::get<2>(key));
        if (tile.result == YELK_OK)
            streams[key] = tile.stream;
    }
    return streams;
}

TEST(Concurrency, ThreadsSharingOneHandleGetTheSameBytesAsReadAll) {
    TempDirectory directory;
    const std::string path = writeSlideOrFail(tissueImage(1500, 1100), directory.file("slide.tqf"));
    SlideHandle inMemory = loadSlide(path, 1);
    SlideHandle shared = loadSlide(path, 0);
    SlideHandle own = loadSlide(path, 0);
    ASSERT_TRUE(inMemory && shared && own);
    const TileStreams expected = allTiles(inMemory.get(), FetchOperation::kReadAll, false);
    ASSERT_EQ(expected.size(), 44u);

    constexpr int kRounds = 20;
    std::atomic<int> mismatches{0};
    const auto reader = [&](TQF *slide, int parity) {
        for (int round = 0; round < kRounds; ++round)
            if (allTiles(slide, FetchOperation::kSingle, (round + parity) % 2 == 1) != expected)
                ++mismatches;
    };
    std::vector<std::thread> threads;
    threads.emplace_back(reader, shared.get(), 0);
    threads.emplace_back(reader, shared.get(), 1);
    threads.emplace_back(reader, own.get(), 0);
    threads.emplace_back(reader, inMemory.get(), 1);
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace tqf::testing
