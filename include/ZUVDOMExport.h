// Symbol visibility for libZUVDOM: everything is hidden unless marked.
#ifndef ZUVDOM_EXPORT_H
#define ZUVDOM_EXPORT_H

#if defined(ZUVDOM_BUILDING)
#define ZUVDOM_API __attribute__((visibility("default")))
#else
#define ZUVDOM_API
#endif

#endif
