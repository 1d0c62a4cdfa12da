// config_reader.cpp written with pugixml, to compare: pugixml keeps no line
// numbers, so a wrong value is reported without its place.
#include <pugixml.hpp>

#include <iostream>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "config.xml";
    pugi::xml_document doc;
    pugi::xml_parse_result result = doc.load_file(path);
    if (!result) {
        std::cerr << path << ": " << result.description() << "\n";
        return 1;
    }
    pugi::xml_node config = doc.child("config");
    pugi::xml_node server = config.child("server");
    int port = server ? server.attribute("port").as_int(-1) : 80;
    if (port < 1 || port > 65535) {
        std::cerr << path << ": port must be a number from 1 to 65535\n";
        return 1;
    }
    std::cout << "server " << server.attribute("host").as_string("localhost") << ":" << port
              << (server.attribute("secure").as_bool() ? " (TLS)" : "") << "\n";
    std::cout << "timeout " << config.child("timeout").text().as_double(30) << " s\n";
    for (pugi::xml_node user : config.children("user"))
        std::cout << "user " << user.attribute("name").value() << " ("
                  << user.attribute("role").as_string("guest") << ")\n";
    return 0;
}
