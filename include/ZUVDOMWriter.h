// ZUVDOMWriter: writes a tree of ZUVDOMElement to a file as an XML document.
#ifndef ZUVDOMWRITER_H
#define ZUVDOMWRITER_H

#include "ZUVDOMElement.h"
#include "ZUVDOMExport.h"
#include "ZUVString.h"
#include "ZUVXMLWriter.h"

// Writes a whole document in its constructor: the declaration
// <?xml version="1.0" encoding="UTF-8"?> and a line feed, then the tree,
// each child on its own line indented by three spaces per level. An element
// with neither children nor text is written as an empty element; any other
// gets its children first, then its text, then its end tag. Attributes are
// written in the order their names were first set.
//
// Reading the file back gives the same tree: tags, attribute names and
// values, child order and values, byte for byte, for every tree whose texts
// XML 1.0 can carry. (Text it cannot carry, such as control characters or
// invalid UTF-8, is written as U+FFFD; see ZUVXMLWriter.) Line breaks and
// indentation stand only before start tags, where the reader drops text.
//
// Nothing is reported: a path that cannot be opened gives no output and no
// exception, and a failed write is remembered by `outputFile` alone. An
// exception from the tree's side or from allocation closes the file and
// passes out unchanged. The writer reads the tree; it never changes it.
class ZUVDOM_API ZUVDOMWriter : public ZUVXMLWriter {
public:
    // Writes `root` and its subtree to the file `fileName` (created or
    // truncated), then closes it. A null root leaves the file untouched.
    ZUVDOMWriter(const ZUVString& fileName, ZUVDOMElement* root);
    // Closes the file (again; harmless).
    ~ZUVDOMWriter() override;

    // Writes `element` and its subtree at the current position; recursion
    // depth is the depth of the subtree. After the constructor has returned
    // the file is closed, and what this writes is dropped.
    void printElem(ZUVDOMElement* element);

private:
    // What printElem() writes, for a non-null element, with fewer calls; the
    // constructor's own, where no subclass can have overridden the prints.
    void writeTree(ZUVDOMElement* element);
};

#endif
