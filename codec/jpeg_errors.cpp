#include "jpeg_errors.h"

namespace tqf::codec {

namespace {

[[noreturn]] void jump_back(j_common_ptr codec) {
    auto *errors = reinterpret_cast<JpegErrors *>(codec->err);
    (*codec->err->format_message)(codec, errors->message);
    std::longjmp(errors->jump, 1);
}

void warning_is_error(j_common_ptr codec, int level) {
    if (level < 0)
        jump_back(codec);
}

void warning_is_ignored(j_common_ptr, int) {}

}  // namespace

jpeg_error_mgr *tolerant_jpeg_errors(JpegErrors &errors) {
    strict_jpeg_errors(errors);
    errors.manager.emit_message = warning_is_ignored;
    return &errors.manager;
}

jpeg_error_mgr *strict_jpeg_errors(JpegErrors &errors) {
    jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jump_back;
    errors.manager.emit_message = warning_is_error;
    errors.message[0] = '\0';
    return &errors.manager;
}

}  // namespace tqf::codec
