// The same program with pugixml, to compare with ../edit_and_write_back.cpp.
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>

int main(int argc, char** argv) {
    const char* in = argc > 1 ? argv[1] : "inventory.xml";
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_file(in);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", in, parsed.description());
        return 1;
    }
    pugi::xml_node inventory = doc.child("inventory");
    for (pugi::xml_node item = inventory.child("item"), next; item; item = next) {
        next = item.next_sibling("item");
        if (item.attribute("stock").as_int() == 0) item.attribute("stock") = "10";
        if (std::strcmp(item.attribute("discontinued").value(), "yes") == 0)
            inventory.remove_child(item);
    }
    pugi::xml_node added = inventory.append_child("item");
    added.append_attribute("name") = "oolong";
    added.append_attribute("stock") = "5";
    bool saved = doc.save_file(argc > 2 ? argv[2] : in);
    if (!saved) std::fprintf(stderr, "cannot write %s\n", argc > 2 ? argv[2] : in);
    return saved ? 0 : 1;
}
