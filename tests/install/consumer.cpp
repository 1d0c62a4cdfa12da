// Built against the installed package alone: every public header compiles
// as it is installed, and each of the four libraries links and runs (the
// suites judge what the calls do). Exits non-zero on any surprise.
#include <ZUVDOM.h>
#include <ZUVDOMElement.h>
#include <ZUVDOMPrinter.h>
#include <ZUVDOMVersion.h>
#include <ZUVDOMWriter.h>
#include <ZUVFile.h>
#include <ZUVLog.h>
#include <ZUVOrderedVector.h>
#include <ZUVSAX2Parser.h>
#include <ZUVSimpleStringHashtable.h>
#include <ZUVString.h>
#include <ZUVXMLWriter.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static_assert(ZUVDOM_VERSION_NUMBER >= 200, "version 0.2.0 or later");

int main() {
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (ok) return;
        std::fprintf(stderr, "check failed: %s\n", what);
        ++failures;
    };
    ZUVDOMElement* root = new ZUVDOMElement("list", nullptr);
    ZUVDOMElement* item = new ZUVDOMElement("item", root);
    item->setAttribute("id", "1");
    item->setValue("a & b");
    root->insertBefore(new ZUVDOMElement("note", nullptr), item);
    const std::string text = ZUVDOMPrinter().toStdString(root);  // the writer library
    check(text.find("<item id=\"1\">a &amp; b</item>") != std::string::npos, "printer");
    delete root;

    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVDOMElement* back = dom.parseString(ZUVString(text.c_str()));  // the parser library
    check(log.getErrorCount() == 0 && back && back->getElementCount() == 2, "read back");
    check(back && back->getFirstElementValue("item") == ZUVString("a & b"), "value");
    delete back;
    check(std::strchr(ZUVDOM_VERSION, '.') != nullptr, "version");
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
