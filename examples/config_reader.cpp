// Reads settings from a small configuration file: defaults for what is
// missing, and for what is wrong a message with the line and column.
//
//   config_reader [config.xml]
#include <ZUVDOM.h>

#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "config.xml";
    ZUVDOM dom;
    std::unique_ptr<ZUVDOMElement> config(dom.parseFile(path));
    if (dom.hasError()) {
        std::cerr << path << ": " << dom.getError().message << "\n";
        return 1;
    }
    ZUVDOMElement* server = config->getFirstElement("server");
    int port = server ? server->getAttributeInt("port", -1) : 80;
    if (port < 1 || port > 65535) {
        std::cerr << path << ":" << server->getLine() << ":" << server->getColumn()
                  << ": port must be a number from 1 to 65535\n";
        return 1;
    }
    std::cout << "server " << (server ? server->getAttribute("host") : "localhost") << ":" << port
              << (server && server->getAttributeBool("secure") ? " (TLS)" : "") << "\n";
    ZUVDOMElement* timeout = config->getFirstElement("timeout");
    std::cout << "timeout " << (timeout ? timeout->getValueDouble(30) : 30) << " s\n";
    for (ZUVDOMElement* user : config->getChildren("user")) {
        const ZUVString& role = user->getAttribute("role");
        std::cout << "user " << user->getAttribute("name") << " ("
                  << (user->hasAttribute("role") ? std::string_view(role) : "guest") << ")\n";
    }
    return 0;
}
