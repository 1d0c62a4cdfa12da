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

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    char path[] = "/tmp/zuvdom-consumer-XXXXXX";
    int fd = mkstemp(path);
    check(fd >= 0, "mkstemp");
    close(fd);
    { ZUVDOMWriter writer(path, root); }  // the writer library
    check(ZUVDOMPrinter().toStdString(root).find("<item id=\"1\">a &amp; b</item>") !=
              std::string::npos,
          "printer");
    delete root;

    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVFile file;
    file = ZUVString(path);
    ZUVDOMElement* back = dom.parseFile(file);  // the parser library
    check(log.getErrorCount() == 0 && back && back->getElementCount() == 2, "read back");
    check(back && back->getFirstElementValue("item") == ZUVString("a & b"), "value");
    delete back;
    unlink(path);
    check(std::strchr(ZUVDOM_VERSION, '.') != nullptr, "version");
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
