// The README's short tour as a program: parse, look around, add, write.
#include <ZUVDOM.h>
#include <ZUVDOMWriter.h>

#include <iostream>

int main() {
    ZUVDOM dom;  // errors as values (or give it a ZUVLog)
    ZUVDOMElement* list = dom.parseString("<list><item id=\"1\">a</item></list>");
    if (dom.hasError()) {
        std::cerr << dom.getError().message << "\n";
        delete list;
        return 1;
    }

    ZUVDOMElement* item = list->getFirstElement("item");  // by name
    std::cout << "id=" << item->getAttribute("id")        // "1"
              << " as a number " << item->getAttributeInt("id", 0)
              << " value=" << list->getFirstElementValue("item")          // "a"
              << " first=" << list->getElement(0)->getTagName() << "\n";  // by position
    for (ZUVDOMElement* child : list->getChildren("item"))
        std::cout << child->getValue() << " at line " << child->getLine() << "\n";

    ZUVDOMElement* more = new ZUVDOMElement("item", list);  // appended to list
    more->setAttribute("id", 2);
    more->setValue("b & c");

    { ZUVDOMWriter writer("list.xml", list); }  // writes the whole document
    delete list;                                // frees the whole tree
    return 0;
}
