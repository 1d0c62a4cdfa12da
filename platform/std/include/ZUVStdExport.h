// Symbol visibility for libZUVStd: everything is hidden unless marked.
#ifndef ZUVSTD_EXPORT_H
#define ZUVSTD_EXPORT_H

#if defined(ZUVSTD_BUILDING)
#define ZUVSTD_API __attribute__((visibility("default")))
#else
#define ZUVSTD_API
#endif

#endif
