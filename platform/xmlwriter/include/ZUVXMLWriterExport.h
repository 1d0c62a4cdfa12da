// Symbol visibility for libZUVXMLWriter: everything is hidden unless marked.
#ifndef ZUVXMLWRITER_EXPORT_H
#define ZUVXMLWRITER_EXPORT_H

#if defined(ZUVXMLWRITER_BUILDING)
#define ZUVXMLWRITER_API __attribute__((visibility("default")))
#else
#define ZUVXMLWRITER_API
#endif

#endif
