/*
 * zrdb_export.h - what the shared library exports. The library is built with
 * hidden visibility, so that its internal helpers stay out of the dynamic
 * symbol table; every public header puts its declarations between these two
 * macros, which makes exactly what the public headers declare visible. A
 * name added to a public header is exported without a list to keep. Included
 * by the public headers; not meant to be included on its own.
 */
#ifndef ZRDB_EXPORT_H
#define ZRDB_EXPORT_H

#if defined(__GNUC__)
#define ZRDB_VISIBLE_BEGIN _Pragma("GCC visibility push(default)")
#define ZRDB_VISIBLE_END _Pragma("GCC visibility pop")
#else
#define ZRDB_VISIBLE_BEGIN
#define ZRDB_VISIBLE_END
#endif

#endif /* ZRDB_EXPORT_H */
