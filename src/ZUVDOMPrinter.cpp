// Writes element trees to strings, streams, descriptors and files.
#include "ZUVDOMPrinter.h"

#include <cerrno>
#include <cstring>

#include "ZUVDOMSafeSave.h"
#include "ZUVDOMWriter.h"

namespace {

// The document writer's walk and formatting, on a file this printer opens.
class Output : public ZUVDOMWriter {
public:
    explicit Output(const ZUVString& indent) { indentString = indent; }
    ZUVFile& file() { return outputFile; }
    void write(ZUVDOMElement* element, bool declaration) {
        // A compact document is one line, the declaration included.
        if (declaration && indentString.isEmpty()) {
            outputFile << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
            declaration = false;
        }
        writeDocument(element, declaration);
    }
};

}  // namespace

ZUVDOMPrinter::ZUVDOMPrinter() : indent("   "), errorNumber(0), declaration(true) {}

ZUVDOMPrinter::~ZUVDOMPrinter() = default;

void ZUVDOMPrinter::setIndent(const ZUVString& unit) {
    indent = unit;
}

void ZUVDOMPrinter::setDeclaration(bool write) {
    declaration = write;
}

bool ZUVDOMPrinter::fail(int number, const ZUVString* fileName) {
    errorNumber = number ? number : EIO;
    error = ZUVString();
    if (fileName) {
        error.append(*fileName);
        error.append(": ");
    }
    error.append(std::strerror(errorNumber));
    return false;
}

std::string ZUVDOMPrinter::toStdString(ZUVDOMElement* element) {
    ZUVString text;
    if (!writeString(element, text)) return std::string();
    return std::string(text.getText(), static_cast<size_t>(text.getLength()));
}

bool ZUVDOMPrinter::writeString(ZUVDOMElement* element, ZUVString& text) {
    if (!element) return fail(EINVAL);
    Output out(indent);
    out.file().openInMemory();
    out.write(element, declaration);
    if (!out.file().flush()) return fail(out.file().getErrorNumber());
    text = out.file().takeText();
    errorNumber = 0;
    error = ZUVString();
    return true;
}

bool ZUVDOMPrinter::writeFile(ZUVDOMElement* element, const ZUVString& fileName) {
    if (!element) return fail(EINVAL, &fileName);
    Output out(indent);
    ZUVDOMSafeSave save;
    int number = save.open(out.file(), fileName);
    if (number) return fail(number, &fileName);
    try {
        out.write(element, declaration);
    } catch (...) {
        out.file().close();
        throw;  // the temporary file goes with `save`
    }
    number = save.finish(out.file());
    if (number) return fail(number, &fileName);
    errorNumber = 0;
    error = ZUVString();
    return true;
}

bool ZUVDOMPrinter::writeStream(ZUVDOMElement* element, std::FILE* stream) {
    if (!stream || !element) return fail(EINVAL);
    // What the stream holds goes first; then its descriptor takes the rest.
    if (std::fflush(stream) != 0) return fail(errno);
    int descriptor = fileno(stream);
    if (descriptor >= 0) return writeDescriptor(element, descriptor);
    // A stream with no descriptor (in memory): the text goes through it.
    ZUVString text;
    if (!writeString(element, text)) return false;
    size_t length = static_cast<size_t>(text.getLength());
    if (std::fwrite(text.getText(), 1, length, stream) != length || std::fflush(stream) != 0)
        return fail(errno);
    return true;
}

bool ZUVDOMPrinter::writeDescriptor(ZUVDOMElement* element, int descriptor) {
    if (!element) return fail(EINVAL);
    Output out(indent);
    if (!out.file().attach(descriptor)) return fail(out.file().getErrorNumber());
    out.write(element, declaration);
    out.file().close();
    if (out.file().hasError()) return fail(out.file().getErrorNumber());
    errorNumber = 0;
    error = ZUVString();
    return true;
}
