/*
 * Declarations of the slide-decoding library libyelk.so.1: the records an
 * open slide exposes and the six operations the reader calls.
 *
 * The reader reaches the library only through these six operations and reads
 * only TQF::header and its scanScale, imageWidth and imageHeight, so any
 * library with this soname and these entry points can take the place of the
 * one shipped with this project.
 */
#ifndef TQF_YELK_H
#define TQF_YELK_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef float FLOAT;
typedef char CHAR8;

#pragma pack(push, 1)

typedef struct TQF_HEADER {
    INT32 startFlag;
    CHAR8 fileFormat[8];
    FLOAT version;
    INT32 dataBlockCount;
    INT32 imageHeight;
    INT32 imageWidth;
    INT32 scanScale;
    CHAR8 compressType[8];
    FLOAT scanDuration;
    INT64 scanTime;
    INT32 previewPos;
    INT32 labelPos;
    INT64 thumbnailPos;
    INT64 dataBlockPos;
    FLOAT imageCapRes;
    INT64 freeInfo;
    INT32 imageBlockLen;
    INT32 endFlag;
} TQF_HEADER;

/* Preview, label and thumbnail headers share one layout but are distinct types. */
#define TQF_IMAGE_HEADER_FIELDS                                                                                        \
    INT32 startFlag;                                                                                                   \
    UINT32 exist;                                                                                                      \
    UINT32 height;                                                                                                     \
    UINT32 width;                                                                                                      \
    UINT32 channel;                                                                                                    \
    UINT32 length;                                                                                                     \
    INT64 position;                                                                                                    \
    CHAR8 reserved[16];                                                                                                \
    INT32 stopFlag;

typedef struct TQF_PREVIEW_HEADER {
    TQF_IMAGE_HEADER_FIELDS
} TQF_PREVIEW_HEADER;

typedef struct TQF_LABEL_HEADER {
    TQF_IMAGE_HEADER_FIELDS
} TQF_LABEL_HEADER;

typedef struct TQF_THUMBNAIL_HEADER {
    TQF_IMAGE_HEADER_FIELDS
} TQF_THUMBNAIL_HEADER;

#undef TQF_IMAGE_HEADER_FIELDS

typedef struct TQF_DATABLOCK_HEADER {
    INT32 startFlag;
    INT32 posX;
    INT32 posY;
    UINT32 width;
    UINT32 height;
    FLOAT scaleRatio;
    INT32 offsetX;
    INT32 offsetY;
    UINT32 length;
    INT64 position;
    CHAR8 reserved[16];
    INT32 stopFlag;
} TQF_DATABLOCK_HEADER;

#pragma pack(pop)

typedef struct TQF_EXTENSION_FIELD {
    UINT32 id;
    UINT32 length;
    void *data;
} TQF_EXTENSION_FIELD;

typedef struct TQF_EXTENSION {
    UINT32 extCount;
    TQF_EXTENSION_FIELD *data;
} TQF_EXTENSION;

typedef struct map_node_t map_node_t;

typedef struct map_base_t {
    map_node_t **buckets;
    unsigned int nbuckets;
    unsigned int nnodes;
} map_base_t;

typedef struct datablock_map_t {
    map_base_t base;
    TQF_DATABLOCK_HEADER *ref;
    TQF_DATABLOCK_HEADER tmp;
} datablock_map_t;

/* The record an open-slide handle points to; owned by the library from load to unload. */
typedef struct TQF {
    FILE *infile;
    UINT64 fileSize;
    TQF_HEADER *header;
    UINT32 headerLength;
    TQF_EXTENSION *extension;
    UINT32 extensionLength;
    TQF_PREVIEW_HEADER *previewHeader;
    UINT32 previewHeaderLength;
    TQF_LABEL_HEADER *labelHeader;
    UINT32 labelHeaderLength;
    TQF_THUMBNAIL_HEADER *thumbnailHeader;
    TQF_DATABLOCK_HEADER *dataBlockHeader;
    datablock_map_t dataBlockInfo;
} TQF;

/* Opens a slide. Returns null when the file cannot be opened or is not a valid slide. */
TQF *yelk_load_image(const char *path, int read_all);

/* Releases a slide and everything its handle reaches. Null does nothing. */
int yelk_unload_image(TQF *tqf, int read_all);

/*
 * Copy the encoded stream of the tile whose top-left pixel is (x, y) at
 * magnification `scale` to `buffer` (196,608 bytes) and set *length to its
 * size. *length is left unchanged (the caller sets it to 0) when no tile is
 * stored there. The first form serves slides loaded with read_all = 1, the
 * second reads the tile from the file on demand.
 */
int yelk_get_datablock_stream(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length);
int yelk_get_datablock_stream_single(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length);

/* Write the slide's preview or label image to `file_name`, replacing it. */
int yelk_get_preview_image(TQF *tqf, const char *file_name);
int yelk_get_label_image(TQF *tqf, const char *file_name);

#ifdef __cplusplus
}
#endif

/* The tile-stream operations never write more than this many bytes (256 x 256 x 3). */
#define YELK_TILE_STREAM_CAPACITY 196608

#ifdef __cplusplus
#define YELK_STATIC_ASSERT static_assert
#else
#define YELK_STATIC_ASSERT _Static_assert
#endif

YELK_STATIC_ASSERT(sizeof(TQF_HEADER) == 96, "TQF_HEADER is 96 bytes");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, fileFormat) == 4, "TQF_HEADER.fileFormat");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, version) == 12, "TQF_HEADER.version");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, dataBlockCount) == 16, "TQF_HEADER.dataBlockCount");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, imageHeight) == 20, "TQF_HEADER.imageHeight");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, imageWidth) == 24, "TQF_HEADER.imageWidth");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, scanScale) == 28, "TQF_HEADER.scanScale");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, compressType) == 32, "TQF_HEADER.compressType");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, scanDuration) == 40, "TQF_HEADER.scanDuration");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, scanTime) == 44, "TQF_HEADER.scanTime");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, previewPos) == 52, "TQF_HEADER.previewPos");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, labelPos) == 56, "TQF_HEADER.labelPos");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, thumbnailPos) == 60, "TQF_HEADER.thumbnailPos");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, dataBlockPos) == 68, "TQF_HEADER.dataBlockPos");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, imageCapRes) == 76, "TQF_HEADER.imageCapRes");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, freeInfo) == 80, "TQF_HEADER.freeInfo");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, imageBlockLen) == 88, "TQF_HEADER.imageBlockLen");
YELK_STATIC_ASSERT(offsetof(TQF_HEADER, endFlag) == 92, "TQF_HEADER.endFlag");

YELK_STATIC_ASSERT(sizeof(TQF_PREVIEW_HEADER) == 52, "TQF_PREVIEW_HEADER is 52 bytes");
YELK_STATIC_ASSERT(sizeof(TQF_LABEL_HEADER) == 52, "TQF_LABEL_HEADER is 52 bytes");
YELK_STATIC_ASSERT(sizeof(TQF_THUMBNAIL_HEADER) == 52, "TQF_THUMBNAIL_HEADER is 52 bytes");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, exist) == 4, "image header.exist");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, height) == 8, "image header.height");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, width) == 12, "image header.width");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, channel) == 16, "image header.channel");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, length) == 20, "image header.length");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, position) == 24, "image header.position");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, reserved) == 32, "image header.reserved");
YELK_STATIC_ASSERT(offsetof(TQF_PREVIEW_HEADER, stopFlag) == 48, "image header.stopFlag");

YELK_STATIC_ASSERT(sizeof(TQF_DATABLOCK_HEADER) == 64, "TQF_DATABLOCK_HEADER is 64 bytes");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, posX) == 4, "TQF_DATABLOCK_HEADER.posX");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, posY) == 8, "TQF_DATABLOCK_HEADER.posY");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, width) == 12, "TQF_DATABLOCK_HEADER.width");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, height) == 16, "TQF_DATABLOCK_HEADER.height");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, scaleRatio) == 20, "TQF_DATABLOCK_HEADER.scaleRatio");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, offsetX) == 24, "TQF_DATABLOCK_HEADER.offsetX");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, offsetY) == 28, "TQF_DATABLOCK_HEADER.offsetY");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, length) == 32, "TQF_DATABLOCK_HEADER.length");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, position) == 36, "TQF_DATABLOCK_HEADER.position");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, reserved) == 44, "TQF_DATABLOCK_HEADER.reserved");
YELK_STATIC_ASSERT(offsetof(TQF_DATABLOCK_HEADER, stopFlag) == 60, "TQF_DATABLOCK_HEADER.stopFlag");

YELK_STATIC_ASSERT(sizeof(TQF_EXTENSION) == 16, "TQF_EXTENSION is 16 bytes");
YELK_STATIC_ASSERT(offsetof(TQF_EXTENSION, data) == 8, "TQF_EXTENSION.data");
YELK_STATIC_ASSERT(sizeof(TQF_EXTENSION_FIELD) == 16, "TQF_EXTENSION_FIELD is 16 bytes");
YELK_STATIC_ASSERT(offsetof(TQF_EXTENSION_FIELD, length) == 4, "TQF_EXTENSION_FIELD.length");
YELK_STATIC_ASSERT(offsetof(TQF_EXTENSION_FIELD, data) == 8, "TQF_EXTENSION_FIELD.data");
YELK_STATIC_ASSERT(sizeof(map_base_t) == 16, "map_base_t is 16 bytes");
YELK_STATIC_ASSERT(offsetof(map_base_t, nbuckets) == 8, "map_base_t.nbuckets");
YELK_STATIC_ASSERT(offsetof(map_base_t, nnodes) == 12, "map_base_t.nnodes");
YELK_STATIC_ASSERT(sizeof(datablock_map_t) == 88, "datablock_map_t is 88 bytes");
YELK_STATIC_ASSERT(offsetof(datablock_map_t, ref) == 16, "datablock_map_t.ref");
YELK_STATIC_ASSERT(offsetof(datablock_map_t, tmp) == 24, "datablock_map_t.tmp");

YELK_STATIC_ASSERT(sizeof(TQF) == 184, "TQF is 184 bytes");
YELK_STATIC_ASSERT(offsetof(TQF, fileSize) == 8, "TQF.fileSize");
YELK_STATIC_ASSERT(offsetof(TQF, header) == 16, "TQF.header");
YELK_STATIC_ASSERT(offsetof(TQF, headerLength) == 24, "TQF.headerLength");
YELK_STATIC_ASSERT(offsetof(TQF, extension) == 32, "TQF.extension");
YELK_STATIC_ASSERT(offsetof(TQF, extensionLength) == 40, "TQF.extensionLength");
YELK_STATIC_ASSERT(offsetof(TQF, previewHeader) == 48, "TQF.previewHeader");
YELK_STATIC_ASSERT(offsetof(TQF, previewHeaderLength) == 56, "TQF.previewHeaderLength");
YELK_STATIC_ASSERT(offsetof(TQF, labelHeader) == 64, "TQF.labelHeader");
YELK_STATIC_ASSERT(offsetof(TQF, labelHeaderLength) == 72, "TQF.labelHeaderLength");
YELK_STATIC_ASSERT(offsetof(TQF, thumbnailHeader) == 80, "TQF.thumbnailHeader");
YELK_STATIC_ASSERT(offsetof(TQF, dataBlockHeader) == 88, "TQF.dataBlockHeader");
YELK_STATIC_ASSERT(offsetof(TQF, dataBlockInfo) == 96, "TQF.dataBlockInfo");

#undef YELK_STATIC_ASSERT

#endif /* TQF_YELK_H */
