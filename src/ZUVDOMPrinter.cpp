// Writes element trees to strings, streams, descriptors and files.
#include "ZUVDOMPrinter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

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

// Where the document's bytes go: the file's buffers handed over for a
// std::string or a ZUVString, a sink's copy for a FILE*.
// A std::string grown as the text comes copies all it holds each time it
// doubles, onto fresh pages: the file's buffers are kept as they fill, and
// copied once into a string of the final length.
struct Pieces {
    Pieces() = default;
    Pieces(const Pieces&) = delete;
    Pieces& operator=(const Pieces&) = delete;
    ~Pieces() {
        for (auto& part : parts)
            std::free(part.first);
    }
    std::vector<std::pair<char*, size_t>> parts;
    size_t total = 0;
};

char* intoPieces(void* context, char* buffer, size_t length, bool more) {
    Pieces* pieces = static_cast<Pieces*>(context);
    try {
        pieces->parts.emplace_back(buffer, length);
    } catch (...) {
        std::free(buffer);
        throw;
    }
    pieces->total += length;
    return more ? static_cast<char*>(std::malloc(ZUVFile::kBufferSize)) : nullptr;
}

// Writes the document into `pieces`. Returns the errno of a failure, or 0.
int writePieces(ZUVDOMElement* element, const ZUVString& indent, bool declaration, Pieces& pieces) {
    Output out(indent);  // goes before `pieces`, which it may hand a buffer to
    if (!out.file().openHandOff(intoPieces, &pieces)) return out.file().getErrorNumber();
    out.write(element, declaration);
    out.file().close();
    return out.file().getErrorNumber();
}

int intoStream(void* context, const char* data, size_t length) {
    errno = 0;
    if (std::fwrite(data, 1, length, static_cast<std::FILE*>(context)) == length) return 0;
    return errno ? errno : EIO;
}

}  // namespace

ZUVDOMPrinter::ZUVDOMPrinter() : indent("   "), errorNumber(0), declaration(true) {}

ZUVDOMPrinter::~ZUVDOMPrinter() = default;

void ZUVDOMPrinter::setIndent(const ZUVString& unit) {
    indent = unit;
}

void ZUVDOMPrinter::setDeclaration(bool write) {
    declaration = write;
}

bool ZUVDOMPrinter::succeeded(int number) {
    if (number) return fail(number);
    errorNumber = 0;
    error = ZUVString();
    return true;
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

bool ZUVDOMPrinter::writeToSink(ZUVDOMElement* element, ZUVFile::Sink sink, void* context) {
    if (!element) return fail(EINVAL);
    Output out(indent);
    if (!out.file().openSink(sink, context)) return fail(out.file().getErrorNumber());
    out.write(element, declaration);
    out.file().close();
    return succeeded(out.file().getErrorNumber());
}

std::string ZUVDOMPrinter::toStdString(ZUVDOMElement* element) {
    if (!element) {
        fail(EINVAL);
        return std::string();
    }
    Pieces pieces;
    if (!succeeded(writePieces(element, indent, declaration, pieces))) return std::string();
    std::string text;
    try {
        text.reserve(pieces.total);
    } catch (const std::bad_alloc&) {
        fail(ENOMEM);
        return std::string();
    } catch (const std::length_error&) {
        fail(EFBIG);
        return std::string();
    }
    for (const auto& part : pieces.parts)
        text.append(part.first, part.second);
    return text;
}

bool ZUVDOMPrinter::writeString(ZUVDOMElement* element, ZUVString& text) {
    if (!element) return fail(EINVAL);
    // As for a std::string: the buffers as they fill, then one copy.
    Pieces pieces;
    if (!succeeded(writePieces(element, indent, declaration, pieces))) return false;
    if (pieces.total > static_cast<size_t>(ZUVString::kMaxLength)) return fail(EFBIG);
    ZUVString made;
    try {
        made.reserve(static_cast<int>(pieces.total));
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM);
    }
    for (const auto& part : pieces.parts)
        made.append(part.first, static_cast<int>(part.second));
    text = static_cast<ZUVString&&>(made);
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
    return number ? fail(number, &fileName) : succeeded(0);
}

bool ZUVDOMPrinter::writeStream(ZUVDOMElement* element, std::FILE* stream) {
    if (!stream || !element) return fail(EINVAL);
    // What the stream holds goes first; then its descriptor takes the rest.
    if (std::fflush(stream) != 0) return fail(errno);
    int descriptor = fileno(stream);
    if (descriptor >= 0) return writeDescriptor(element, descriptor);
    // A stream with no descriptor (in memory): the text goes through it.
    if (!writeToSink(element, intoStream, stream)) return false;
    return std::fflush(stream) == 0 || fail(errno);
}

bool ZUVDOMPrinter::writeDescriptor(ZUVDOMElement* element, int descriptor) {
    if (!element) return fail(EINVAL);
    Output out(indent);
    if (!out.file().attach(descriptor)) return fail(out.file().getErrorNumber());
    out.write(element, declaration);
    out.file().close();
    return succeeded(out.file().getErrorNumber());
}
