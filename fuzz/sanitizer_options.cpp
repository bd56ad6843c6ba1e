// AddressSanitizer's defaults for the fuzz targets; ASAN_OPTIONS still
// overrides them.
//
// quarantine_size_mb: freed memory waits in a quarantine before it is handed
// out again, so that a use after free finds it poisoned. The default of
// 256 MB makes nearly every allocation of an input land on pages not touched
// for a while: the reader and slide targets took a third more processor
// time per input than with 16 MB, most of it in page faults. One input
// allocates a few megabytes at most, so 16 MB still keeps everything an
// input freed poisoned until well after it has ended.

extern "C" const char *__asan_default_options();

extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }
