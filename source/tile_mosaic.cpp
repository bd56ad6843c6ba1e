// The reader's tile mosaic: the pixels of a tile-level rectangle at the read
// scale, assembled from the slide's tiles by the core's mosaic under the
// canvas rules, with failed tiles reported on the error stream.
#include <climits>
#include <cstdint>
#include <iomanip>
#include <iostream>

#include "core/mosaic.h"
#include "core/tile_scratch.h"
#include "tqf_reader.h"

namespace tqfio {

void reader::ReadRoi_knl(int x, int y, int w, int h, cv::OutputArray dst) {
    if (w == 0 || h == 0)
        return;
    if (x < 0 || y < 0 || w < 0 || h < 0 || static_cast<int64_t>(x) + w > INT_MAX ||
        static_cast<int64_t>(y) + h > INT_MAX) {
        std::cerr << "ReadRoi_knl: tile-level rectangle (" << x << ", " << y << ", " << w << ", " << h
                  << ") lies outside the tile grid; nothing read." << std::endl;
        return;
    }
    dst.create(h, w, CV_8UC3);
    cv::Mat out = dst.getMat();
    if (!m_pTqfHead) {
        // No end of line, but flushed, so the message is out before any
        // later one on the unbuffered error stream.
        std::cout << "Empty tqf pointer" << std::flush;
        out.setTo(cv::Scalar::all(255));
        return;
    }

    core::LibraryTileSource source(m_pTqfHead, m_readall);
    core::MosaicRequest request;
    request.source = &source;
    request.address = m_scale > 0 ? static_cast<UINT32>(static_cast<float>(m_scale)) : 0;
    request.tile_edge = m_blockSize;
    request.x = x;
    request.y = y;
    request.width = w;
    request.height = h;
    request.on_failure = [&](const core::TileFailure &failure) {
        std::cerr << failure.what << "  " << m_tqfPath << std::setw(8) << x << std::setw(8) << y << std::endl;
        std::cerr << failure.column << std::setw(8) << failure.row << std::endl;
    };
    core::ScratchLease scratch(core::shared_scratch_pool());
    core::assemble_on_canvas(request, out, *scratch);
}

}  // namespace tqfio
