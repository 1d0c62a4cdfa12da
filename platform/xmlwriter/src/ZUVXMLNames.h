// Name character classes for non-ASCII characters; private to the writer.
// The parser's rule, from the same tables (ZUVNameTables.inc).
#ifndef ZUVXMLNAMES_H
#define ZUVXMLNAMES_H

#include <cstdint>

// True when the character (a code point at or above U+0080) may begin an XML
// name.
bool zuvIsNameStartChar(uint32_t c);
// True when the character (a code point at or above U+0080) may stand inside
// an XML name after its first character.
bool zuvIsNameChar(uint32_t c);

#endif
