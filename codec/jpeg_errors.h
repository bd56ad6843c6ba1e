// libjpeg's errors, and its warnings too, turned into a jump back to the
// setjmp of the call that failed, with the message kept: libjpeg's
// error_exit must not return, and a warning means a stream that is not what
// it says (corrupt data libjpeg would decode anyway).
//
// Include after <cstdio> and before nothing that defines INT32 (yelk.h):
// jpeglib.h has its own.
#ifndef TQF_CODEC_JPEG_ERRORS_H
#define TQF_CODEC_JPEG_ERRORS_H

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace tqf::codec {

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// Sets `errors` up; returns what goes into the codec's `err`.
jpeg_error_mgr *strict_jpeg_errors(JpegErrors &errors);

// The same with warnings passed over silently, as the image library's
// decoder passes them over: only errors jump back.
jpeg_error_mgr *tolerant_jpeg_errors(JpegErrors &errors);

}  // namespace tqf::codec

#endif  // TQF_CODEC_JPEG_ERRORS_H
