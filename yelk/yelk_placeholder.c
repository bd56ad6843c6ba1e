#include "yelk.h"
TQF *yelk_load_image(const char *path, int read_all) { (void)path; (void)read_all; return 0; }
int yelk_unload_image(TQF *tqf, int read_all) { (void)tqf; (void)read_all; return 0; }
int yelk_get_datablock_stream(TQF *t, UINT32 s, INT32 x, INT32 y, char *b, UINT32 *l) { (void)t;(void)s;(void)x;(void)y;(void)b;(void)l; return 0; }
int yelk_get_datablock_stream_single(TQF *t, UINT32 s, INT32 x, INT32 y, char *b, UINT32 *l) { (void)t;(void)s;(void)x;(void)y;(void)b;(void)l; return 0; }
int yelk_get_preview_image(TQF *t, const char *f) { (void)t; (void)f; return 0; }
int yelk_get_label_image(TQF *t, const char *f) { (void)t; (void)f; return 0; }
