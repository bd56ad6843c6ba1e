#include "jpeg_tile_padding.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "jpeg_errors.h"

namespace tqf::codec {

namespace {

struct Decompressor {
    jpeg_decompress_struct info;
    JpegErrors errors;
    bool created = false;
    ~Decompressor() {
        if (created)
            jpeg_destroy_decompress(&info);
    }
};

struct Compressor {
    jpeg_compress_struct info;
    JpegErrors errors;
    bool created = false;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    ~Compressor() {
        if (created)
            jpeg_destroy_compress(&info);
        std::free(buffer);
    }
};

// Block counts of a component as the stream stores them: whole MCUs.
JDIMENSION storedBlocksAcross(const jpeg_component_info &component) {
    const JDIMENSION factor = static_cast<JDIMENSION>(component.h_samp_factor);
    return (component.width_in_blocks + factor - 1) / factor * factor;
}

JDIMENSION storedBlocksDown(const jpeg_component_info &component) {
    const JDIMENSION factor = static_cast<JDIMENSION>(component.v_samp_factor);
    return (component.height_in_blocks + factor - 1) / factor * factor;
}

// Blocks a component needs for an image of `pixels` along a direction.
JDIMENSION blocksFor(int pixels, int factor, int maxFactor) {
    const int samples = (pixels * factor + maxFactor - 1) / maxFactor;
    const int blocks = (samples + DCTSIZE - 1) / DCTSIZE;
    return static_cast<JDIMENSION>((blocks + factor - 1) / factor * factor);
}

// The orthonormal 8-point DCT's basis: value of frequency k at sample n.
double basis(int k, int n) {
    const double scale = k == 0 ? std::sqrt(1.0 / DCTSIZE) : std::sqrt(2.0 / DCTSIZE);
    return scale * std::cos((2 * n + 1) * k * M_PI / (2 * DCTSIZE));
}

JCOEF quantised(double value, int quantiser, bool dc) {
    const double limit = dc ? 2047 : 1023;  // what a baseline stream can hold
    return static_cast<JCOEF>(
        std::clamp(std::lround(value / quantiser), static_cast<long>(-limit), static_cast<long>(limit)));
}

// A block that continues `block` flat beyond its last column (`across`) or
// its last row: every column (row) of the new block takes the values of the
// block's last one, as nearly as the quantisation allows. Repeating the
// block itself would put its first column next to its last; the smooth
// chroma upsampling reads across that seam.
void continueFlat(const JCOEF *block, const JQUANT_TBL &quantisers, bool across, JCOEF *out) {
    const auto q = [&](int v, int u) { return static_cast<int>(quantisers.quantval[v * DCTSIZE + u]); };
    std::fill(out, out + DCTSIZE2, static_cast<JCOEF>(0));
    for (int line = 0; line < DCTSIZE; ++line) {
        // Along `line` of the other direction: the last sample's value,
        // expressed as the coefficient of a flat line.
        double last = 0;
        for (int k = 0; k < DCTSIZE; ++k) {
            const int v = across ? line : k, u = across ? k : line;
            last += basis(k, DCTSIZE - 1) * block[v * DCTSIZE + u] * q(v, u);
        }
        const double flat = last / basis(0, 0);
        const int v = across ? line : 0, u = across ? 0 : line;
        out[v * DCTSIZE + u] = quantised(flat, q(v, u), v == 0 && u == 0);
    }
}

// Reads the stream's coefficients and writes them out again as a stream of
// width x height pixels: stored blocks as they are, blocks beyond them flat
// continuations of the stored edge.
bool transcode(const uint8_t *data, size_t size, int width, int height, std::vector<uint8_t> &out, std::string &error) {
    Decompressor source;
    Compressor target;
    // Both objects report to one place; either one's failure lands here.
    source.info.err = strict_jpeg_errors(source.errors);
    target.info.err = &source.errors.manager;
    if (setjmp(source.errors.jump)) {
        error = source.errors.message;
        return false;
    }
    jpeg_create_decompress(&source.info);
    source.created = true;
    jpeg_create_compress(&target.info);
    target.created = true;
    jpeg_mem_src(&source.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&source.info, TRUE);
    if (width < static_cast<int>(source.info.image_width) || height < static_cast<int>(source.info.image_height)) {
        error = "the stream is larger than the tile it is to fill";
        return false;
    }
    jvirt_barray_ptr *coefficients = jpeg_read_coefficients(&source.info);
    const int components = source.info.num_components;

    jpeg_copy_critical_parameters(&source.info, &target.info);
    target.info.image_width = static_cast<JDIMENSION>(width);
    target.info.image_height = static_cast<JDIMENSION>(height);
    std::vector<jvirt_barray_ptr> padded(static_cast<size_t>(components));
    const int maxH = source.info.max_h_samp_factor;
    const int maxV = source.info.max_v_samp_factor;
    for (int c = 0; c < components; ++c) {
        const jpeg_component_info &component = source.info.comp_info[c];
        padded[c] = (*target.info.mem->request_virt_barray)(reinterpret_cast<j_common_ptr>(&target.info), JPOOL_IMAGE,
                                                            TRUE, blocksFor(width, component.h_samp_factor, maxH),
                                                            blocksFor(height, component.v_samp_factor, maxV),
                                                            static_cast<JDIMENSION>(component.v_samp_factor));
    }
    (*target.info.mem->realize_virt_arrays)(reinterpret_cast<j_common_ptr>(&target.info));
    for (int c = 0; c < components; ++c) {
        const jpeg_component_info &component = source.info.comp_info[c];
        const int table = component.quant_tbl_no;  // as the frame states it: 0..255
        const JQUANT_TBL *quantisers = component.quant_table != nullptr       ? component.quant_table
                                       : table >= 0 && table < NUM_QUANT_TBLS ? source.info.quant_tbl_ptrs[table]
                                                                              : nullptr;
        if (quantisers == nullptr) {
            error = "a component without a quantisation table";
            return false;
        }
        const JDIMENSION storedAcross = storedBlocksAcross(component);
        const JDIMENSION storedDown = storedBlocksDown(component);
        const JDIMENSION across = blocksFor(width, component.h_samp_factor, maxH);
        const JDIMENSION down = blocksFor(height, component.v_samp_factor, maxV);
        // Continuations below the last stored block row, and of its corner.
        std::vector<JBLOCK> below(storedAcross);
        JBLOCK corner, right;
        {
            JBLOCKARRAY last = (*source.info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&source.info),
                                                                      coefficients[c], storedDown - 1, 1, FALSE);
            for (JDIMENSION column = 0; column < storedAcross; ++column)
                continueFlat(last[0][column], *quantisers, false, below[column]);
            JBLOCK cornerAcross;
            continueFlat(last[0][storedAcross - 1], *quantisers, true, cornerAcross);
            continueFlat(cornerAcross, *quantisers, false, corner);
        }
        for (JDIMENSION row = 0; row < down; ++row) {
            JBLOCKARRAY to = (*target.info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&target.info),
                                                                    padded[c], row, 1, TRUE);
            JBLOCKARRAY from = nullptr;
            if (row < storedDown) {
                from = (*source.info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&source.info),
                                                              coefficients[c], row, 1, FALSE);
                if (across > storedAcross)
                    continueFlat(from[0][storedAcross - 1], *quantisers, true, right);
            }
            for (JDIMENSION column = 0; column < across; ++column) {
                const JCOEF *block = row < storedDown ? (column < storedAcross ? from[0][column] : right)
                                                      : (column < storedAcross ? below[column] : corner);
                std::memcpy(to[0][column], block, sizeof(JBLOCK));
            }
        }
    }
    jpeg_mem_dest(&target.info, &target.buffer, &target.size);
    jpeg_write_coefficients(&target.info, padded.data());
    jpeg_finish_compress(&target.info);
    jpeg_finish_decompress(&source.info);
    out.assign(target.buffer, target.buffer + target.size);
    return true;
}

// Decodes with libjpeg's defaults into packed samples (RGB or grey).
bool decode(const uint8_t *data, size_t size, std::vector<uint8_t> &pixels, int &width, int &height, int &channels,
            std::string &error) {
    Decompressor decoder;
    decoder.info.err = strict_jpeg_errors(decoder.errors);
    if (setjmp(decoder.errors.jump)) {
        error = decoder.errors.message;
        return false;
    }
    jpeg_create_decompress(&decoder.info);
    decoder.created = true;
    jpeg_mem_src(&decoder.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&decoder.info, TRUE);
    jpeg_start_decompress(&decoder.info);
    width = static_cast<int>(decoder.info.output_width);
    height = static_cast<int>(decoder.info.output_height);
    channels = decoder.info.output_components;
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
    pixels.resize(rowBytes * static_cast<size_t>(height));
    while (decoder.info.output_scanline < decoder.info.output_height) {
        JSAMPROW row = pixels.data() + rowBytes * decoder.info.output_scanline;
        jpeg_read_scanlines(&decoder.info, &row, 1);
    }
    jpeg_finish_decompress(&decoder.info);
    return true;
}

}  // namespace

bool readLayout(const uint8_t *data, size_t size, StreamLayout &layout, std::string &error) {
    Decompressor decoder;
    decoder.info.err = strict_jpeg_errors(decoder.errors);
    if (setjmp(decoder.errors.jump)) {
        error = decoder.errors.message;
        return false;
    }
    jpeg_create_decompress(&decoder.info);
    decoder.created = true;
    jpeg_mem_src(&decoder.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&decoder.info, TRUE);
    layout.width = static_cast<int>(decoder.info.image_width);
    layout.height = static_cast<int>(decoder.info.image_height);
    layout.components = decoder.info.num_components;
    if (layout.components != 1 && layout.components != 3) {
        error = "a JPEG stream of " + std::to_string(layout.components) + " components";
        return false;
    }
    layout.horizontalSubsampling = decoder.info.max_h_samp_factor /
                                   decoder.info.comp_info[layout.components - 1].h_samp_factor;
    layout.verticalSubsampling = decoder.info.max_v_samp_factor /
                                 decoder.info.comp_info[layout.components - 1].v_samp_factor;
    if (layout.components == 3 && (decoder.info.comp_info[1].h_samp_factor != decoder.info.comp_info[2].h_samp_factor ||
                                   decoder.info.comp_info[1].v_samp_factor != decoder.info.comp_info[2].v_samp_factor ||
                                   decoder.info.comp_info[0].h_samp_factor != decoder.info.max_h_samp_factor ||
                                   decoder.info.comp_info[0].v_samp_factor != decoder.info.max_v_samp_factor)) {
        error = "a JPEG stream whose chroma components are sampled unlike each other";
        return false;
    }
    return true;
}

bool padStream(const uint8_t *data, size_t size, int width, int height, std::vector<uint8_t> &padded,
               std::string &error) {
    return transcode(data, size, width, height, padded, error);
}

namespace {

struct Comparison {
    std::vector<uint8_t> original, padded;
    int width = 0, height = 0, channels = 0, paddedWidth = 0;
    bool same = false;
};

bool compare(const uint8_t *data, size_t size, const std::vector<uint8_t> &padded, Comparison &result,
             std::string &error) {
    int paddedHeight = 0, paddedChannels = 0;
    if (!decode(data, size, result.original, result.width, result.height, result.channels, error) ||
        !decode(padded.data(), padded.size(), result.padded, result.paddedWidth, paddedHeight, paddedChannels, error))
        return false;
    result.same = result.channels == paddedChannels && result.width <= result.paddedWidth &&
                  result.height <= paddedHeight;
    const size_t rowBytes = static_cast<size_t>(result.width) * static_cast<size_t>(result.channels);
    const size_t paddedRowBytes = static_cast<size_t>(result.paddedWidth) * static_cast<size_t>(paddedChannels);
    for (int y = 0; result.same && y < result.height; ++y)
        result.same = std::memcmp(result.original.data() + rowBytes * y, result.padded.data() + paddedRowBytes * y,
                                  rowBytes) == 0;
    return true;
}

}  // namespace

bool keepsPixels(const uint8_t *data, size_t size, const std::vector<uint8_t> &padded, bool &same, std::string &error) {
    Comparison comparison;
    if (!compare(data, size, padded, comparison, error))
        return false;
    same = comparison.same;
    return true;
}

bool paddingMayChangePixels(int width, int height, int edge) {
    return (width < edge && width % 2 == 0) || (height < edge && height % 2 == 0);
}

}  // namespace tqf::codec
