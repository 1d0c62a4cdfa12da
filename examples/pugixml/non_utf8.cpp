// non_utf8.cpp written with pugixml, to compare: pugixml reads ISO-8859-1
// (and UTF-16, UTF-32), not other single- or multi-byte encodings.
#include <pugixml.hpp>

#include <iostream>

int main(int argc, char** argv) {
    pugi::xml_document doc;
    pugi::xml_parse_result result = doc.load_file(argc > 1 ? argv[1] : "menu-latin1.xml");
    if (!result) {
        std::cerr << result.description() << "\n";
        return 1;
    }
    pugi::xml_node menu = doc.child("menu");
    for (pugi::xml_attribute a : menu.attributes())
        std::cout << a.name() << ": " << a.value() << "\n";
    for (pugi::xml_node dish : menu.children("dish"))
        std::cout << dish.text().get() << ", " << dish.attribute("price").as_double() << "\n";
    return 0;
}
