// Reads inventory.xml, restocks what ran out, drops what is discontinued,
// adds a new tea and writes the file back (or to the second argument).
#include <ZUVDOM.h>
#include <ZUVDOMPrinter.h>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    const char* in = argc > 1 ? argv[1] : "inventory.xml";
    ZUVLog log;  // errors: one line each on stderr
    ZUVDOM dom(&log);
    std::unique_ptr<ZUVDOMElement> inventory(dom.parseFile(in));  // frees the tree
    if (dom.hasError()) return 1;
    for (int i = inventory->getElementCount("item") - 1; i >= 0; --i) {
        ZUVDOMElement* item = inventory->getElement("item", i);
        if (item->getAttribute("stock") == "0") item->setAttribute("stock", "10");
        if (item->getAttribute("discontinued") != "yes") continue;
        inventory->removeChild(item);
        delete item;
    }
    ZUVDOMElement* added = new ZUVDOMElement("item", inventory.get());
    added->setAttribute("name", "oolong");
    added->setAttribute("stock", "5");
    ZUVDOMPrinter printer;  // replaces the file only once all is written
    bool saved = printer.writeFile(inventory.get(), argc > 2 ? argv[2] : in);
    if (!saved) std::fprintf(stderr, "%s\n", printer.getError().getText());
    return saved ? 0 : 1;
}
