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
// A save that fails loses nothing: the document goes to a temporary file
// beside the target, which replaces it (keeping its mode and owner) only once
// all of it was written, flushed and closed; otherwise the temporary file is
// removed and the old file stays as it was. A target that is not a regular
// file, is a symbolic link or a descriptor's name (/dev/stdout,
// /proc/self/fd/N), has more than one hard link or lies in a folder we
// cannot write is written in place.
//
// Nothing is reported: a path that cannot be opened gives no output and no
// exception, and a failed write is remembered by `outputFile` alone (the
// reporting outputs are ZUVDOMPrinter's). An exception from the tree's side
// or from allocation closes the file and passes out unchanged. The writer
// reads the tree; it never changes it. Any depth that can be built can be
// written: the walks keep their state on the heap, not on the stack.
//
// To write into a string, to a descriptor or a FILE*, or to learn why a
// save failed, use ZUVDOMPrinter, which writes the same bytes.
class ZUVDOM_API ZUVDOMWriter : public ZUVXMLWriter {
public:
    // Writes `root` and its subtree to the file `fileName` (created, or
    // replaced whole), then closes it. A null root leaves the file untouched.
    ZUVDOMWriter(const ZUVString& fileName, ZUVDOMElement* root);
    // Closes the file (again; harmless).
    ~ZUVDOMWriter() override;

    // Writes `element` and its subtree at the current position, calling the
    // print operations in the order a recursive walk would; the walk's state
    // is on the heap. Nothing for a null element. After the constructor has
    // returned the file is closed, and what this writes is dropped.
    void printElem(ZUVDOMElement* element);

protected:
    // A writer that has written nothing, with the three-space indentation:
    // for a subclass that opens `outputFile` itself, then calls
    // writeDocument().
    ZUVDOMWriter();
    // Writes to `outputFile` what the public constructor writes for `root`:
    // the declaration and a line feed when `declaration`, then the tree.
    // Nothing for a null root. The file stays open.
    void writeDocument(ZUVDOMElement* root, bool declaration);

private:
    // What printElem() writes, for a non-null element, with fewer calls; the
    // constructor's own, where no subclass can have overridden the prints.
    void writeTree(ZUVDOMElement* element);
};

#endif
