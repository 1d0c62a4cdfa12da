// Symbol visibility for libZUVSAX2Parser: everything is hidden unless marked.
#ifndef ZUVSAX2_EXPORT_H
#define ZUVSAX2_EXPORT_H

#if defined(ZUVSAX2_BUILDING)
#define ZUVSAX2_API __attribute__((visibility("default")))
#else
#define ZUVSAX2_API
#endif

#endif
