// Writes element trees through the XML writer base.
#include "ZUVDOMWriter.h"

namespace {
// Plain text, so that the library holds no heap string of its own.
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const char kLineFeed[] = "\n";
}  // namespace

ZUVDOMWriter::ZUVDOMWriter(const ZUVString& fileName, ZUVDOMElement* root) {
    indentString = "   ";
    if (!root) return;
    try {
        outputFile = fileName;
        if (outputFile.open(16)) {
            outputFile << kDeclaration << kLineFeed;
            writeTree(root);
        }
    } catch (...) {
        outputFile.close();
        throw;
    }
    outputFile.close();
}

ZUVDOMWriter::~ZUVDOMWriter() {
    outputFile.close();
}

void ZUVDOMWriter::printElem(ZUVDOMElement* element) {
    if (!element) return;
    printXmlElementStart(element->tagName, false);
    if (element->attributes) {
        // On the stack: writing allocates nothing per element.
        ZUVSimpleStringHashtable::Iterator it(*element->attributes, true);
        for (void* v = it.get(); v; v = it.next(1))
            printXmlAttribute(it.getKey(), *static_cast<ZUVString*>(v), true);
    }
    ZUVOrderedVector* children = element->allElements;
    bool hasChildren = children && children->size() > 0;
    bool hasText = element->value.getLength() != 0;
    if (hasChildren || hasText) printXmlElementClose();
    for (int i = 0; children && i < children->size(); ++i)
        printElem(static_cast<ZUVDOMElement*>(children->elementAt(i)));
    if (hasText) printXmlElementValue(element->value);
    if (children && children->size() != 0)
        printXmlElementEnd(element->tagName);
    else if (!hasText)
        printXmlElementEnd();
    else
        printXmlElementEnd(element->tagName);
}

void ZUVDOMWriter::writeTree(ZUVDOMElement* element) {
    ZUVOrderedVector* children = element->allElements;
    int count = children ? children->size() : 0;
    bool hasText = element->value.getLength() != 0;
    bool empty = count == 0 && !hasText;
    bool verbatim = startTreeElement(element->tagName, element->attributes, !empty);
    for (int i = 0; i < count; ++i) {
        auto* child = static_cast<ZUVDOMElement*>(children->elementAt(i));
        if (child) writeTree(child);
    }
    endTreeElement(element->tagName, verbatim, hasText ? &element->value : nullptr, empty);
}
