// Reads a document in ISO-8859-1; names and text arrive as UTF-8, whatever
// the document's encoding (UTF-16, Windows code pages, Shift_JIS... alike).
//
//   non_utf8 [menu-latin1.xml]
#include <ZUVDOM.h>

#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    ZUVDOM dom;
    std::unique_ptr<ZUVDOMElement> menu(dom.parseFile(argc > 1 ? argv[1] : "menu-latin1.xml"));
    if (dom.hasError()) {
        std::cerr << dom.getError().message << "\n";
        return 1;
    }
    for (ZUVDOMAttribute a : menu->getAttributes())
        std::cout << a.name << ": " << a.value << "\n";
    for (ZUVDOMElement* dish : menu->getChildren("dish"))
        std::cout << dish->getValue() << ", " << dish->getAttributeDouble("price") << "\n";
    return 0;
}
