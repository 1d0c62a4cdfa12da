// Writes element trees through the XML writer base.
#include "ZUVDOMWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "ZUVDOMSafeSave.h"

namespace {
// Plain text, so that the library holds no heap string of its own.
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const char kLineFeed[] = "\n";
// Room for the open elements of most trees before the walk's stack grows.
constexpr size_t kWalkReserve = 64;
// Names tried for a temporary file before giving up on one.
constexpr int kTemporaryTries = 16;

// A name no other writer in this or another process is using at the moment.
std::string temporaryName(const std::string& folder, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%lx.tmp", static_cast<long>(getpid()),
                  counter.fetch_add(1, std::memory_order_relaxed),
                  static_cast<unsigned long>(now.tv_nsec));
    return folder + "/." + base + suffix;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}
}  // namespace

ZUVDOMSafeSave::~ZUVDOMSafeSave() {
    removeTemporary();
}

void ZUVDOMSafeSave::removeTemporary() noexcept {
    if (temporary.empty()) return;
    ::unlink(temporary.c_str());
    temporary.clear();
}

int ZUVDOMSafeSave::open(ZUVFile& file, const ZUVString& targetName) {
    removeTemporary();
    target.assign(targetName.getText(), static_cast<size_t>(targetName.getLength()));
    // In place unless the target is a plain file of its own that we may write,
    // in a folder where we may make another.
    bool inPlace = target.empty() || target.back() == '/' ||
                   target.find('\0') != std::string::npos || startsWith(target, "/proc/") ||
                   startsWith(target, "/dev/fd/");
    struct stat old = {};
    bool exists = false;
    if (!inPlace) {
        if (::lstat(target.c_str(), &old) == 0)
            exists = true;
        else
            inPlace = errno != ENOENT;
    }
    if (exists)
        inPlace = !S_ISREG(old.st_mode) || old.st_nlink > 1 ||
                  ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0;
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (!inPlace) inPlace = ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0;
    if (!inPlace) {
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < kTemporaryTries; ++tries) {
            temporary = temporaryName(folder == "/" ? "" : folder, base);
            // A new file gets the mode the umask gives; a replacement the old one's.
            fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        exists ? 0600 : 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            int error = errno;
            temporary.clear();
            // A name too long for a companion: the target alone can be written.
            if (error != ENAMETOOLONG && error != EEXIST) return error;
            inPlace = true;
        } else {
            bool kept = !exists || (::fchmod(fd, old.st_mode & 07777) == 0 &&
                                    ((old.st_uid == ::geteuid() && old.st_gid == ::getegid()) ||
                                     ::fchown(fd, old.st_uid, old.st_gid) == 0));
            ::close(fd);
            if (!kept) {
                removeTemporary();
                inPlace = true;
            }
        }
    }
    file = inPlace ? targetName : ZUVString(temporary.c_str(), static_cast<int>(temporary.size()));
    if (file.open(ZUVFile::Write)) return 0;
    removeTemporary();
    return file.getErrorNumber();
}

int ZUVDOMSafeSave::finish(ZUVFile& file) {
    file.close();
    int error = file.getErrorNumber();
    if (temporary.empty()) return error;
    if (!error && ::rename(temporary.c_str(), target.c_str()) == 0) {
        temporary.clear();
        return 0;
    }
    if (!error) error = errno;
    removeTemporary();
    return error;
}

ZUVDOMWriter::ZUVDOMWriter() {
    indentString = "   ";
}

ZUVDOMWriter::ZUVDOMWriter(const ZUVString& fileName, ZUVDOMElement* root) {
    indentString = "   ";
    if (!root) return;
    // Reports nothing: a save that fails leaves the old file, and that is all.
    ZUVDOMSafeSave save;
    try {
        if (save.open(outputFile, fileName) == 0) writeDocument(root, true);
        save.finish(outputFile);
    } catch (...) {
        outputFile.close();
        outputFile = fileName;
        throw;  // the temporary file goes with `save`
    }
    outputFile = fileName;
}

ZUVDOMWriter::~ZUVDOMWriter() {
    outputFile.close();
}

void ZUVDOMWriter::writeDocument(ZUVDOMElement* root, bool declaration) {
    if (!root) return;
    if (declaration) outputFile << kDeclaration << kLineFeed;
    writeTree(root);
}

void ZUVDOMWriter::printElem(ZUVDOMElement* element) {
    if (!element) return;
    // The calls of a recursive walk, with the walk's state on the heap: a tree
    // may be deeper than the machine's stack.
    struct Open {
        ZUVDOMElement* element;
        int next;  // the child to print next
        bool hasText;
    };
    std::vector<Open> open;
    open.reserve(kWalkReserve);
    ZUVDOMElement* start = element;
    for (;;) {
        if (start) {
            printXmlElementStart(start->tagName, false);
            if (start->attributes) {
                // On the stack: writing allocates nothing per element.
                ZUVSimpleStringHashtable::Iterator it(*start->attributes, true);
                for (void* v = it.get(); v; v = it.next(1))
                    printXmlAttribute(it.getKey(), *static_cast<ZUVString*>(v), true);
            }
            ZUVOrderedVector* children = start->allElements;
            bool hasChildren = children && children->size() > 0;
            bool hasText = start->value.getLength() != 0;
            if (hasChildren || hasText) printXmlElementClose();
            open.push_back({start, 0, hasText});
        }
        Open& top = open.back();
        ZUVOrderedVector* children = top.element->allElements;
        if (children && top.next < children->size()) {
            start = static_cast<ZUVDOMElement*>(children->elementAt(top.next++));
            continue;  // a null child prints nothing
        }
        ZUVDOMElement* done = top.element;
        if (top.hasText) printXmlElementValue(done->value);
        if (children && children->size() != 0)
            printXmlElementEnd(done->tagName);
        else if (!top.hasText)
            printXmlElementEnd();
        else
            printXmlElementEnd(done->tagName);
        open.pop_back();
        if (open.empty()) return;
        start = nullptr;
    }
}

void ZUVDOMWriter::writeTree(ZUVDOMElement* element) {
    // What printElem() writes, on the same kind of stack of our own.
    struct Open {
        ZUVDOMElement* element;
        ZUVDOMElement* const* children;
        int next;
        int count;  // the children there were when the element started
        bool verbatim;
    };
    std::vector<Open> open;
    open.reserve(kWalkReserve);
    // The tree is far larger than the caches: what the next siblings hold is
    // asked for while this one is written, so that the walk does not wait on
    // each miss in turn. Lambdas, for the element's private members.
    auto prefetchObject = [](const ZUVDOMElement* e) {
        __builtin_prefetch(e);
        __builtin_prefetch(reinterpret_cast<const char*>(e) + sizeof(ZUVDOMElement) - 1);
    };
    auto prefetchText = [](const ZUVString& text) {
        if (text.getLength() > ZUVString::kInlineCapacity) __builtin_prefetch(text.getText());
    };
    // What the element points to; the element itself was asked for before.
    auto prefetchParts = [&](const ZUVDOMElement* e) {
        if (!e) return;  // a null child, which prints nothing
        if (e->attributes) __builtin_prefetch(e->attributes);
        if (e->allElements) __builtin_prefetch(e->allElements);
        prefetchText(e->value);
    };
    // One step further: where the children are listed, by its address alone
    // (the list object was asked for a step before).
    auto prefetchChildList = [](const ZUVDOMElement* e) {
        if (e && e->allElements && e->allElements->size() > 0)
            __builtin_prefetch(e->allElements->getArray());
    };
    ZUVDOMElement* start = element;
    for (;;) {
        if (start) {
            ZUVOrderedVector* children = start->allElements;
            int count = children ? children->size() : 0;
            if (count != 0) {
                bool verbatim = startTreeElement(start->tagName, start->attributes, true);
                auto kids = reinterpret_cast<ZUVDOMElement* const*>(children->getArray());
                open.push_back({start, kids, 0, count, verbatim});
                for (int i = 0; i < count && i < 3; ++i)
                    prefetchObject(kids[i]);
            } else {
                // Most elements are leaves: written in one call, with no
                // place on the stack.
                writeTreeLeaf(start->tagName, start->attributes, &start->value);
                if (open.empty()) return;
            }
        }
        Open& top = open.back();
        if (top.next < top.count) {
            int next = top.next++;
            start = top.children[next];
            if (next + 3 < top.count) prefetchObject(top.children[next + 3]);
            if (next + 2 < top.count) prefetchParts(top.children[next + 2]);
            if (next + 1 < top.count) prefetchChildList(top.children[next + 1]);
            continue;
        }
        ZUVDOMElement* done = top.element;
        endTreeElement(done->tagName, top.verbatim,
                       done->value.getLength() != 0 ? &done->value : nullptr, false);
        open.pop_back();
        if (open.empty()) return;
        start = nullptr;
    }
}
