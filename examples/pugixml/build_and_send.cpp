// The same program with pugixml, to compare with ../build_and_send.cpp.
#include <iostream>
#include <pugixml.hpp>

int main() {
    pugi::xml_document doc;
    pugi::xml_node order = doc.append_child("order");
    order.append_attribute("id") = "1042";
    order.append_child("customer").text() = "Ada Lovelace";
    const char* lines[][2] = {{"tea", "2"}, {"scones", "6"}};
    for (auto& line : lines) {
        pugi::xml_node item = order.append_child("item");
        item.append_attribute("quantity") = line[1];
        item.text() = line[0];
    }
    doc.save(std::cout);
    if (!std::cout) std::cerr << "cannot write to standard output\n";
    return std::cout ? 0 : 1;
}
