// Which non-ASCII characters may stand in an XML name: the parser's own rule,
// read from the same tables, so that every name the writer lets through is
// one the parser reads back.
#include "ZUVXMLNames.h"

#include <cstdint>

namespace {

#include "ZUVNameTables.inc"

bool inTable(const uint32_t* table, uint32_t c) {
    return c <= 0xFFFF && ((table[c >> 5] >> (c & 31)) & 1);
}

}  // namespace

bool zuvIsNameStartChar(uint32_t c) {
    return inTable(kNameStartBits, c);
}

bool zuvIsNameChar(uint32_t c) {
    return inTable(kNameCharBits, c);
}
