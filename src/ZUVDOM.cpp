// The element tree, its child indexes, and the builder that fills it from
// parser events.
#include "ZUVDOM.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <stdexcept>
#include <string_view>

#include "ZUVBytes.h"

// ---------------------------------------------------------------------------
// Elements

namespace {

// The arguments the tree's containers are made with.
constexpr bool kAttributesIgnoreCase = false;
constexpr bool kAttributesKeepOrder = true;
constexpr int kAttributesLinearLimit = 8;
constexpr bool kNamesIgnoreCase = false;
constexpr bool kNamesKeepOrder = false;
constexpr int kNamesLinearLimit = 8;
constexpr int kListCapacity = 2;
// Child lists may grow long: their arrays double.
constexpr bool kChildListsGeometric = true;

// The index by name of an element's children: the table with the list of
// the first name in the same block. The list of the second name goes where
// the table kept its first entry before its entries outgrew the object.
// Deleting it frees the table only: the element's destructor frees each
// list after its children; destroy() frees the lists too, never the children.
struct ChildIndexes : ZUVSimpleStringHashtable {
    ChildIndexes()
        : ZUVSimpleStringHashtable(kNamesIgnoreCase, kNamesKeepOrder, kNamesLinearLimit) {}
    ZUVOrderedVector firstList{kListCapacity};  // the list of the first child's name

    static ChildIndexes* of(ZUVSimpleStringHashtable* byName) {
        return static_cast<ChildIndexes*>(byName);
    }
    // Frees the table and every list it holds.
    static void destroy(ChildIndexes* indexes) noexcept {
        Iterator it(*indexes, true);
        for (void* v = it.get(); v; v = it.next(1))
            indexes->dispose(static_cast<ZUVOrderedVector*>(v));
        delete indexes;
    }
    // True when every child so far bears `name`, which then goes to the
    // first list: one compare with the only key instead of a search.
    bool onlyNameIs(const ZUVString& name) const {
        return size() == 1 && Iterator(*this).getKey() == name;
    }
    // The room the second name's list may take; null while the entries are
    // still inline.
    void* spareRoom() { return spareInlineRoom(); }
    // Frees a name list, wherever it lies.
    void dispose(ZUVOrderedVector* list) noexcept {
        if (list == &firstList) return;
        if (list == spareInlineRoom())
            list->~ZUVOrderedVector();
        else
            delete list;
    }
};
static_assert(sizeof(ZUVOrderedVector) <= ZUVSimpleStringHashtable::kEntryBytes,
              "a list fits where the name index kept its first entry");

// An element's attribute table, with room in its own block for its first N
// entries and their values: the builder knows how many attributes there are,
// and one block saves both the table's separate array of entries and a
// string block per value. Attributes keep their order, and values in the
// room stand in it in that order, each at or after its entry's index: so
// when the last entry's value is in room size()-1 (or there is none), the
// rooms from size() on are free. After a removal that fails to hold and new
// values go to blocks of their own.
class AttributeTable : public ZUVSimpleStringHashtable {
public:
    // Sized for `count` attributes.
    static AttributeTable* make(int count);
    // A string with `length` bytes of `text` (-1: up to the NUL) for the
    // next new entry's value: in the table's room while there is some.
    virtual ZUVString* newValue(const char* text, int length) = 0;
    // Frees a value made by newValue().
    virtual void dispose(ZUVString* value) noexcept = 0;
    // Files each name/value pair of a null-terminated array (names at even
    // places) into this table, which is new and empty, none of the names
    // twice: the builder's one call per start tag.
    virtual void addAllNew(const char** pairs) = 0;

protected:
    explicit AttributeTable(int entries)
        : ZUVSimpleStringHashtable(kAttributesIgnoreCase, kAttributesKeepOrder,
                                   kAttributesLinearLimit, entries) {}
};

template <int N>
class AttributeTableOf final : public AttributeTable {
public:
    AttributeTableOf() : AttributeTable(N) {}
    ~AttributeTableOf() override {
        Iterator it(*this, true);
        for (void* v = it.get(); v; v = it.next(1))
            dispose(static_cast<ZUVString*>(v));
    }
    ZUVString* newValue(const char* text, int length) override {
        int next = size();
        if (next < N && (next == 0 || Iterator(*this, false).get() == values() + next - 1))
            return ::new (values() + next) ZUVString(text, length);
        return new ZUVString(text, length);
    }
    void addAllNew(const char** pairs) override {
        // Value i takes room i while there is room: the order newValue() keeps.
        for (int i = 0; pairs[0]; pairs += 2, ++i) {
            ZUVString* value = i < N ? ::new (values() + i) ZUVString() : new ZUVString();
            try {
                value->initTerminated(pairs[1]);
                addAbsent(pairs[0], value);
            } catch (...) {
                dispose(value);
                throw;
            }
        }
    }
    void dispose(ZUVString* value) noexcept override {
        std::less<const ZUVString*> before;
        if (!before(value, values()) && before(value, values() + N))
            value->~ZUVString();
        else
            delete value;
    }

private:
    ZUVString* values() { return reinterpret_cast<ZUVString*>(room + (N - 1) * kEntryBytes); }

    alignas(void*) unsigned char room[(N - 1) * kEntryBytes + N * sizeof(ZUVString)];
};

AttributeTable* AttributeTable::make(int count) {
    static_assert(
        sizeof(AttributeTableOf<1>) == sizeof(ZUVSimpleStringHashtable) + sizeof(ZUVString),
        "the extra entries and the values follow the inline entry");
    switch (count) {
        case 2:
            return new AttributeTableOf<2>;
        case 3:
            return new AttributeTableOf<3>;
        case 4:
            return new AttributeTableOf<4>;
        case 5:
            return new AttributeTableOf<5>;
        case 6:
            return new AttributeTableOf<6>;
        case 7:
            return new AttributeTableOf<7>;
        case 8:
            return new AttributeTableOf<8>;
        default:
            break;
    }
    AttributeTable* table = new AttributeTableOf<1>;
    if (count > 1) {
        try {
            table->reserve(count);
        } catch (...) {
            delete table;
            throw;
        }
    }
    return table;
}

// The C library's assert() vanishes under NDEBUG; this check must not.
[[noreturn]] void assertionFailed(const char* expression, const char* file, int line,
                                  const char* function) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, expression);
    std::abort();
}

}  // namespace

ZUVDOMElement::ZUVDOMElement(const ZUVString& tagName, ZUVDOMElement* parent)
    : ZUVDOMElement(tagName.getText(), tagName.getLength(), parent) {}

ZUVDOMElement::ZUVDOMElement(const char* tagName, int length, ZUVDOMElement* parent)
    : parent(parent),
      attributes(nullptr),
      elementsByName(nullptr),
      allElements(nullptr),
      generalPointer(nullptr),
      line(0),
      column(0) {
    if (length < 0)
        this->tagName.initTerminated(tagName);
    else
        this->tagName.init(tagName, length);
    // A brand-new element is in no list and has no children, so none of
    // appendChild's checks can fail. If attaching fails, the parent is left
    // as it was and the new element is freed by the failed `new`.
    if (parent) parent->attach(this);
}

void ZUVDOMElement::putAttribute(const char* name, int nameLength, const char* text,
                                 int textLength) {
    if (!attributes) attributes = AttributeTable::make(1);
    // Here and in the builder, the only places that make attribute tables,
    // they are made as AttributeTables.
    AttributeTable* table = static_cast<AttributeTable*>(attributes);
    ZUVString* value = table->newValue(text, textLength);
    void* old;
    try {
        old = table->add(name, nameLength, value);
    } catch (...) {
        table->dispose(value);
        throw;
    }
    if (!old) return;
    // A present name keeps its place and its own string, which takes the new
    // text (and frees the old); the new string goes. Nothing here allocates.
    ZUVString* kept = static_cast<ZUVString*>(old);
    *kept = static_cast<ZUVString&&>(*value);
    table->add(name, nameLength, kept);
    table->dispose(value);
}

void ZUVDOMElement::setAttribute(const ZUVString& name, const ZUVString& newValue) {
    putAttribute(name.getText(), name.getLength(), newValue.getText(), newValue.getLength());
}

const ZUVString& ZUVDOMElement::getAttribute(const ZUVString& name) const {
    if (!attributes) return emptyString;
    const ZUVString* found = static_cast<const ZUVString*>(attributes->lookup(name, 0));
    return found ? *found : emptyString;
}

bool ZUVDOMElement::hasAttribute(const ZUVString& name) const {
    return attributes && attributes->lookup(name, 0);
}

bool ZUVDOMElement::removeAttribute(const ZUVString& name) {
    if (!attributes) return false;
    // The table stays, empty or not; removal allocates nothing.
    void* old = attributes->remove(name);
    if (!old) return false;
    static_cast<AttributeTable*>(attributes)->dispose(static_cast<ZUVString*>(old));
    return true;
}

const ZUVSimpleStringHashtable& ZUVDOMAttributes::none() {
    static const ZUVSimpleStringHashtable empty;
    return empty;
}

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The text without the XML white space around it.
std::string_view trimmed(const ZUVString& text) {
    const char* p = text.getText();
    const char* e = p + text.getLength();
    while (p < e && isSpace(*p))
        ++p;
    while (e > p && isSpace(e[-1]))
        --e;
    return std::string_view(p, static_cast<size_t>(e - p));
}

// The whole of `text` read as a T; `fallback` for anything else.
template <typename T>
T readNumber(const ZUVString& text, T fallback) {
    std::string_view t = trimmed(text);
    // from_chars takes no '+'; a sign after it would be a second one.
    if (t.size() > 1 && t[0] == '+' && t[1] != '-') t.remove_prefix(1);
    T number;
    std::from_chars_result r = std::from_chars(t.data(), t.data() + t.size(), number);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || t.empty()) return fallback;
    return number;
}

bool readBool(const ZUVString& text, bool fallback) {
    std::string_view t = trimmed(text);
    if (t == "true" || t == "1") return true;
    if (t == "false" || t == "0") return false;
    return fallback;
}

}  // namespace

int ZUVDOMElement::getAttributeInt(const ZUVString& name, int fallback) const {
    return readNumber(getAttribute(name), fallback);
}

long long ZUVDOMElement::getAttributeLong(const ZUVString& name, long long fallback) const {
    return readNumber(getAttribute(name), fallback);
}

double ZUVDOMElement::getAttributeDouble(const ZUVString& name, double fallback) const {
    return readNumber(getAttribute(name), fallback);
}

bool ZUVDOMElement::getAttributeBool(const ZUVString& name, bool fallback) const {
    return readBool(getAttribute(name), fallback);
}

int ZUVDOMElement::getValueInt(int fallback) const {
    return readNumber(value, fallback);
}

long long ZUVDOMElement::getValueLong(long long fallback) const {
    return readNumber(value, fallback);
}

double ZUVDOMElement::getValueDouble(double fallback) const {
    return readNumber(value, fallback);
}

bool ZUVDOMElement::getValueBool(bool fallback) const {
    return readBool(value, fallback);
}

void ZUVDOMElement::putNumber(const ZUVString& name, long long number) {
    char text[24];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, number);
    putAttribute(name.getText(), name.getLength(), text, static_cast<int>(r.ptr - text));
}

void ZUVDOMElement::putNumber(const ZUVString& name, unsigned long long number) {
    char text[24];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, number);
    putAttribute(name.getText(), name.getLength(), text, static_cast<int>(r.ptr - text));
}

void ZUVDOMElement::putNumber(const ZUVString& name, double number) {
    char text[32];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, number);
    putAttribute(name.getText(), name.getLength(), text, static_cast<int>(r.ptr - text));
}

namespace {

// The list filed under `name` in `indexes`; created when missing, and `made`
// set. A failed creation leaves no entry behind.
ZUVOrderedVector* listIn(ChildIndexes* indexes, const ZUVString& name, bool& made) {
    bool entriesInline = indexes->spareRoom() == nullptr;
    void** slot = indexes->lookupOrAdd(name, made);
    if (!made) return static_cast<ZUVOrderedVector*>(*slot);
    ZUVOrderedVector* list;
    // The entries have just left the object: their old room takes this list.
    if (entriesInline && indexes->spareRoom()) {
        list = ::new (indexes->spareRoom()) ZUVOrderedVector(kListCapacity);
        *slot = list;
        return list;
    }
    try {
        list = new ZUVOrderedVector(kListCapacity);
    } catch (...) {
        indexes->remove(name);
        throw;
    }
    *slot = list;
    return list;
}

}  // namespace

ZUVOrderedVector* ZUVDOMElement::listFor(const ZUVString& name, bool& made) {
    return listIn(ChildIndexes::of(elementsByName), name, made);
}

void ZUVDOMElement::dropList(const ZUVString& name, ZUVOrderedVector* list) noexcept {
    elementsByName->remove(name);
    ChildIndexes::of(elementsByName)->dispose(list);
}

// What the tree does without going through the public operations: the
// builder's fast paths, and the name index, which an element that the
// builder filled makes only when it is first needed.
struct ZUVDOMBuilder {
    // A parse in progress: the parser hands it to the callbacks, so that the
    // innermost open element is one load away. The ZUVDOM's stack is filled
    // from it once the parse returns (see settle); nothing sees it before.
    struct Build {
        explicit Build(ZUVDOM* dom) : dom(dom), parser(dom->parser) { parser->setUserData(this); }
        ~Build() { parser->setUserData(nullptr); }
        Build(const Build&) = delete;
        Build& operator=(const Build&) = delete;

        ZUVDOM* dom;
        ZUVSAX2Parser* parser;
        ZUVDOMElement* top = nullptr;  // innermost open element
        ZUVString text;                // text since the last start or end tag
    };

    // Frees every child of `top` and their subtrees, in the destructor's
    // order; `top`'s attributes are gone already.
    static void freeChildren(ZUVDOMElement* top) noexcept;
    // Puts the list of all children of `element`, which is being freed and
    // has no index by name, in the order that index would walk them.
    static void groupByName(ZUVDOMElement* element) noexcept;
    static void sortByName(ZUVDOMElement* element) noexcept;
    static void sortByRank(ZUVDOMElement* element) noexcept;

    // The name index of `element`, made now from the list of all children
    // when they were added without it. Null when there are no children.
    // Readers on several threads may meet here: each builds its own, one is
    // kept, and the others' are freed.
    static ZUVSimpleStringHashtable* index(const ZUVDOMElement* element) {
        ZUVSimpleStringHashtable* const* at = &element->elementsByName;
        ZUVSimpleStringHashtable* found = __atomic_load_n(at, __ATOMIC_ACQUIRE);
        if (found || !element->allElements) return found;
        ChildIndexes* made = indexOf(*element->allElements);
        ZUVSimpleStringHashtable** place = const_cast<ZUVSimpleStringHashtable**>(at);
        if (__atomic_compare_exchange_n(place, &found, made, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            return made;
        ChildIndexes::destroy(made);
        return found;
    }

    // A name index of `children`.
    static ChildIndexes* indexOf(const ZUVOrderedVector& children) {
        ChildIndexes* indexes = new ChildIndexes;
        try {
            for (int i = 0, n = children.size(); i < n; ++i) {
                ZUVDOMElement* child = static_cast<ZUVDOMElement*>(children.elementAt(i));
                ZUVOrderedVector* list;
                if (i == 0) {
                    indexes->add(child->tagName, &indexes->firstList);
                    list = &indexes->firstList;
                } else if (indexes->onlyNameIs(child->tagName)) {
                    list = &indexes->firstList;
                } else {
                    bool made;
                    list = listIn(indexes, child->tagName, made);
                }
                list->addElement(child, kChildListsGeometric);
            }
        } catch (...) {
            ChildIndexes::destroy(indexes);
            throw;
        }
        // Done growing: the lists give back the room they grew for more.
        indexes->trim();
        ZUVSimpleStringHashtable::Iterator it(*indexes, true);
        for (void* v = it.get(); v; v = it.next(1))
            static_cast<ZUVOrderedVector*>(v)->trim();
        return indexes;
    }

    // While an element is open its children wait in a ring, which nothing
    // else sees until the parse returns: the element's general pointer
    // points to its last child, and each child's name index, which the
    // builder leaves null, links it to the next, the last child's to the
    // first. When the element ends, its list is made once at its size (see
    // finish), with no growing and no room left over.
    static ZUVDOMElement* nextWaiting(const ZUVDOMElement* child) {
        return reinterpret_cast<ZUVDOMElement*>(child->elementsByName);
    }
    static void setNextWaiting(ZUVDOMElement* child, ZUVDOMElement* next) {
        child->elementsByName = reinterpret_cast<ZUVSimpleStringHashtable*>(next);
    }
    static void adopt(ZUVDOMElement* parent, ZUVDOMElement* element) noexcept {
        ZUVDOMElement* last = static_cast<ZUVDOMElement*>(parent->generalPointer);
        if (last) {
            setNextWaiting(element, nextWaiting(last));
            setNextWaiting(last, element);
        } else {
            setNextWaiting(element, element);
        }
        parent->generalPointer = element;
        element->parent = parent;
    }

    // An element for a start tag, appended to `parent` when there is one.
    // Where the tag began is written in once the parser has counted it,
    // before the parse returns: counted in runs, positions cost less.
    static ZUVDOMElement* create(const char* name, ZUVDOMElement* parent, ZUVSAX2Parser* parser) {
        ZUVDOMElement* element = new ZUVDOMElement(name, -1, nullptr);
        if (parent) {
            // A parent that has a list already was given children by hand.
            if (parent->allElements)
                parent->appendChild(element);
            else
                adopt(parent, element);
        }
        // Only now: an element that failed to attach is freed.
        parser->getPositionLater(&element->line, &element->column);
        return element;
    }

    // Gives the element the gathered text, or none when it is empty. A buffer that fits the text
    // goes to the element as it is; one that grew over several pieces stays for the next text, and
    // the element takes a copy of just the text's size.
    static void takeValue(ZUVDOMElement* element, ZUVString& text) {
        int length = text.getLength();
        if (length == 0) {
            if (!element->value.isEmpty()) element->value = ZUVString();
            return;
        }
        // A value still in its inline form holds nothing to free.
        const ZUVString& value = element->value;
        if (length <= ZUVString::kInlineCapacity && value.isInline())
            ::new (&element->value) ZUVString(text.getText(), length);
        else if (text.isTight())
            element->value = static_cast<ZUVString&&>(text);
        else
            element->value.init(text.getText(), length);
    }

    // True while `element` has no child: its text then goes straight into
    // its value, which the end tag keeps as it is.
    static bool isLeaf(const ZUVDOMElement* element) {
        return !element->generalPointer && !element->allElements;
    }

    // A piece of text for an open element with no child yet. The first
    // piece, most often the only one, is copied once, at its size.
    static void addText(ZUVDOMElement* element, const char* text, int length) {
        // (a short piece into an empty string is one 16-byte copy in append)
        ZUVString& value = element->value;
        if (length > ZUVString::kInlineCapacity && value.isInline() && value.isEmpty())
            value.init(text, length);
        else
            value.append(text, length);
    }

    static bool isValueTight(const ZUVDOMElement* element) { return element->value.isTight(); }
    // Pieces joined by growing leave room over: the value keeps its size.
    __attribute__((noinline)) static void fitValue(ZUVDOMElement* element) {
        element->value = ZUVString(element->value.getText(), element->value.getLength());
    }

    // The end of an element with children (kept out of line: the leaves'
    // end, the most, then saves no registers).
    __attribute__((noinline)) static void endParent(ZUVDOMElement* element, ZUVString& text) {
        takeValue(element, text);
        text.empty();
        finish(element);
    }

    // An element whose children are all in: they go from the ring to the
    // list of all children, made at their number. Throws std::bad_alloc,
    // changing nothing, when memory runs out.
    static void finish(ZUVDOMElement* element) {
        ZUVDOMElement* last = static_cast<ZUVDOMElement*>(element->generalPointer);
        if (!last) return;
        ZUVDOMElement* first = nextWaiting(last);
        int count = 1;
        for (ZUVDOMElement* e = first; e != last; e = nextWaiting(e))
            ++count;
        ZUVOrderedVector* all = new ZUVOrderedVector(kListCapacity);
        if (count == 1) {
            // One child (every parent in a deep chain): the list's own slot.
            setNextWaiting(last, nullptr);
            all->addElement(last);
            element->generalPointer = nullptr;
            element->allElements = all;
            return;
        }
        try {
            all->setSize(count);
        } catch (...) {
            delete all;
            throw;
        }
        void** slots = all->getArray();
        for (ZUVDOMElement* e = first;;) {
            ZUVDOMElement* next = nextWaiting(e);
            setNextWaiting(e, nullptr);
            *slots++ = e;
            if (e == last) break;
            e = next;
        }
        element->generalPointer = nullptr;
        element->allElements = all;
    }

    // Frees the children still in the ring of `element`, for a parse that
    // cannot finish it.
    static void dropWaiting(ZUVDOMElement* element) noexcept {
        ZUVDOMElement* last = static_cast<ZUVDOMElement*>(element->generalPointer);
        if (!last) return;
        ZUVDOMElement* e = nextWaiting(last);
        for (;;) {
            ZUVDOMElement* next = nextWaiting(e);
            setNextWaiting(e, nullptr);
            bool done = e == last;
            delete e;
            if (done) break;
            e = next;
        }
        element->generalPointer = nullptr;
    }

    // After a parse, whole or stopped: the elements still open get their
    // children into their lists, innermost first, so that the tree below
    // the root is whole, and they go on the ZUVDOM's stack, outermost first.
    // Should memory run out, the children that could not be placed are
    // freed, with the open elements among them, which leave the stack; the
    // exception then passes on.
    static void settle(Build& build) {
        std::exception_ptr failure;
        for (ZUVDOMElement* open = build.top; open; open = open->parent) {
            // No end tag came: the text an open element gathered is not its value.
            open->value = ZUVString();
            try {
                finish(open);
            } catch (...) {
                if (!failure) failure = std::current_exception();
                dropWaiting(open);
                build.top = open;  // the innermost now
            }
        }
        ZUVOrderedVector& stack = build.dom->objectStack;
        int depth = 0;
        for (ZUVDOMElement* e = build.top; e; e = e->parent)
            ++depth;
        try {
            stack.setSize(depth);
            void** slots = stack.getArray();
            for (ZUVDOMElement* e = build.top; e; e = e->parent)
                slots[--depth] = e;
        } catch (...) {
            stack.removeAllElements();
            if (!failure) failure = std::current_exception();
        }
        if (failure) std::rethrow_exception(failure);
    }

    // Sets each name/value pair in order into a table sized once for all of
    // them. The parser has refused any name given twice, so none is looked
    // for.
    static void setAttributes(ZUVDOMElement* element, const char** attributes) {
        if (!attributes[0]) return;
        int count = 0;
        while (attributes[2 * count])
            ++count;
        AttributeTable* table = AttributeTable::make(count);
        element->attributes = table;
        table->addAllNew(attributes);
    }
};

namespace {

// True when the two names have the same bytes.
inline bool sameName(const ZUVString& a, const ZUVString& b) {
    return a.getLength() == b.getLength() &&
           ZUVBytes::same(a.getText(), b.getText(), static_cast<size_t>(a.getLength()));
}

}  // namespace

ZUVDOMElement::~ZUVDOMElement() {
    delete attributes;  // with its values
    attributes = nullptr;
    if (allElements) ZUVDOMBuilder::freeChildren(this);
}

// A tree may be deeper than any stack: the walk goes down and back up by the
// parent links, and each element being freed keeps its own place in
// `attributes` (the name list) and `generalPointer` (the position in it),
// which it no longer needs. Nothing is allocated, so freeing cannot fail. The
// order is that of a recursive walk: an element's attributes, then each
// child's whole subtree, list by list of the name index, each list after its
// children, then the indexes, the value and the name. Children a parse added
// and no one looked up have no index yet; their list of all is put in the
// order that index would have, and walked instead.
void ZUVDOMBuilder::freeChildren(ZUVDOMElement* top) noexcept {
    ZUVDOMElement* e = top;
    for (;;) {
        if (!e->elementsByName && e->allElements) groupByName(e);
        e->generalPointer = nullptr;
        // Down to the next child to free, or up when there is none.
        ZUVDOMElement* next = nullptr;
        for (;;) {
            if (ZUVSimpleStringHashtable* byName = e->elementsByName) {
                ChildIndexes* indexes = ChildIndexes::of(byName);
                int listAt = static_cast<int>(reinterpret_cast<uintptr_t>(e->attributes));
                int childAt = static_cast<int>(reinterpret_cast<uintptr_t>(e->generalPointer));
                ZUVSimpleStringHashtable::Iterator it(*indexes, true);
                // Every child stands in exactly one name list, so each is
                // freed once.
                for (void* v = listAt ? it.next(listAt) : it.get(); v; v = it.next(1)) {
                    ZUVOrderedVector* list = static_cast<ZUVOrderedVector*>(v);
                    while (!next && childAt < list->size())
                        next = static_cast<ZUVDOMElement*>(list->elementAt(childAt++));
                    if (next) break;
                    indexes->dispose(list);
                    ++listAt;
                    childAt = 0;
                }
                if (next) {
                    e->attributes =
                        reinterpret_cast<ZUVSimpleStringHashtable*>(static_cast<uintptr_t>(listAt));
                    e->generalPointer = reinterpret_cast<void*>(static_cast<uintptr_t>(childAt));
                    break;
                }
                delete indexes;  // its lists are gone already
                e->elementsByName = nullptr;
                e->attributes = nullptr;
            } else if (ZUVOrderedVector* children = e->allElements) {
                int at = static_cast<int>(reinterpret_cast<uintptr_t>(e->generalPointer));
                while (!next && at < children->size())
                    next = static_cast<ZUVDOMElement*>(children->elementAt(at++));
                if (next) {
                    e->generalPointer = reinterpret_cast<void*>(static_cast<uintptr_t>(at));
                    break;
                }
            }
            delete e->allElements;
            e->allElements = nullptr;
            if (e == top) return;
            // Up: with nothing left to walk, this delete frees the value and
            // the name only.
            ZUVDOMElement* up = e->parent;
            delete e;
            e = up;
        }
        // Down: the child's attributes go first, as on any element.
        e = next;
        delete e->attributes;
        e->attributes = nullptr;
    }
}

void ZUVDOMBuilder::groupByName(ZUVDOMElement* element) noexcept {
    // Most lists come grouped already, and most hold a few names: those are
    // told apart in a small table, where names of different lengths differ
    // without a look at their bytes.
    constexpr int kFewNames = 8;
    const ZUVString* names[kFewNames];
    int lengths[kFewNames];
    int first[kFewNames];  // where each name first appears
    int count = 0;
    auto find = [&](const ZUVString& name) {
        int length = name.getLength();
        for (int r = 0; r < count; ++r)
            if (lengths[r] == length && sameName(name, *names[r])) return r;
        return -1;
    };
    ZUVOrderedVector* children = element->allElements;
    void* const* at = children->getArray();
    int n = children->size();
    bool grouped = true;
    int run = -1;  // the name of the run going on
    for (int i = 0; i < n; ++i) {
        const ZUVString& name = static_cast<const ZUVDOMElement*>(at[i])->tagName;
        if (run >= 0 && sameName(name, *names[run])) continue;
        run = find(name);
        if (run >= 0) {
            grouped = false;  // a name seen before, after another
            continue;
        }
        if (count == kFewNames) return sortByName(element);
        names[count] = &name;
        lengths[count] = name.getLength();
        first[count] = i;
        run = count++;
    }
    if (grouped) return;
    run = -1;
    for (int i = 0; i < n; ++i) {
        ZUVDOMElement* child = static_cast<ZUVDOMElement*>(at[i]);
        if (run < 0 || !sameName(child->tagName, *names[run])) run = find(child->tagName);
        child->generalPointer = reinterpret_cast<void*>(static_cast<uintptr_t>(i));
        child->parent = reinterpret_cast<ZUVDOMElement*>(static_cast<uintptr_t>(first[run]));
    }
    sortByRank(element);
}

// Two sorts, O(n log n) whatever the names, with no allocation: the first
// brings each name's children together (the order among names does not
// matter), the second orders them by where their name first appears, then
// by position.
__attribute__((noinline)) void ZUVDOMBuilder::sortByName(ZUVDOMElement* element) noexcept {
    ZUVOrderedVector* children = element->allElements;
    int n = children->size();
    void** at = children->getArray();
    auto child = [](void* c) { return static_cast<ZUVDOMElement*>(c); };
    for (int i = 0; i < n; ++i)
        child(at[i])->generalPointer = reinterpret_cast<void*>(static_cast<uintptr_t>(i));
    std::sort(at, at + n, [&](void* a, void* b) {
        const ZUVString& x = child(a)->tagName;
        const ZUVString& y = child(b)->tagName;
        int length = x.getLength();
        if (length != y.getLength()) return length < y.getLength();
        // Short names, the most, without a call.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(x.getText());
        const unsigned char* q = reinterpret_cast<const unsigned char*>(y.getText());
        int i = 0;
        for (; i < length && i < 8; ++i)
            if (p[i] != q[i]) return p[i] < q[i];
        return i < length && std::memcmp(p + i, q + i, static_cast<size_t>(length - i)) < 0;
    });
    // A name ranks by its first position, the least in its group.
    for (int i = 0; i < n;) {
        int end = i + 1;
        uintptr_t rank = reinterpret_cast<uintptr_t>(child(at[i])->generalPointer);
        while (end < n && sameName(child(at[end])->tagName, child(at[i])->tagName))
            rank = std::min(rank, reinterpret_cast<uintptr_t>(child(at[end++])->generalPointer));
        for (; i < end; ++i)
            child(at[i])->parent = reinterpret_cast<ZUVDOMElement*>(rank);
    }
    sortByRank(element);
}

// Sorts the children by the rank in their parent links, then by the position
// in their general pointers, and gives them their parent back.
void ZUVDOMBuilder::sortByRank(ZUVDOMElement* element) noexcept {
    ZUVOrderedVector* children = element->allElements;
    int n = children->size();
    void** at = children->getArray();
    auto child = [](void* c) { return static_cast<ZUVDOMElement*>(c); };
    std::sort(at, at + n, [&](void* a, void* b) {
        ZUVDOMElement* x = child(a);
        ZUVDOMElement* y = child(b);
        if (x->parent != y->parent)
            return reinterpret_cast<uintptr_t>(x->parent) < reinterpret_cast<uintptr_t>(y->parent);
        return reinterpret_cast<uintptr_t>(x->generalPointer) <
               reinterpret_cast<uintptr_t>(y->generalPointer);
    });
    for (int i = 0; i < n; ++i)
        child(at[i])->parent = element;
}

void ZUVDOMElement::attach(ZUVDOMElement* elem) {
    if (!allElements) {
        // The first child: both indexes are made, and its inline slots take
        // it without allocating.
        ZUVOrderedVector* all = new ZUVOrderedVector(kListCapacity);
        ChildIndexes* indexes;
        try {
            indexes = new ChildIndexes;
            try {
                indexes->add(elem->tagName, &indexes->firstList);
            } catch (...) {
                delete indexes;
                throw;
            }
        } catch (...) {
            delete all;
            throw;
        }
        indexes->firstList.addElement(elem, kChildListsGeometric);
        all->addElement(elem, kChildListsGeometric);
        elementsByName = indexes;
        allElements = all;
        return;
    }
    // Children that the builder added: the name index is still to be made
    // from the list of all, which is all there is to change.
    if (!elementsByName) {
        allElements->addElement(elem, kChildListsGeometric);
        return;
    }
    ChildIndexes* indexes = ChildIndexes::of(elementsByName);
    bool made = false;
    ZUVOrderedVector* list =
        indexes->onlyNameIs(elem->tagName) ? &indexes->firstList : listFor(elem->tagName, made);
    // Room in both lists first, so that the element goes into both or
    // neither.
    try {
        list->prepareAdd(kChildListsGeometric);
        allElements->prepareAdd(kChildListsGeometric);
    } catch (...) {
        if (made) dropList(elem->tagName, list);
        throw;
    }
    list->addElement(elem, kChildListsGeometric);
    allElements->addElement(elem, kChildListsGeometric);
}

bool ZUVDOMElement::isSelfOrAncestor(const ZUVDOMElement* elem) const {
    for (const ZUVDOMElement* e = this; e; e = e->parent)
        if (e == elem) return true;
    return false;
}

void ZUVDOMElement::appendChild(ZUVDOMElement* elem) {
    if (!elem) return;
    // Stops the program in every build, NDEBUG or not: attaching an element
    // that another parent owns would free it twice.
    if (elem->parent && elem->parent != this)
        assertionFailed("elem->parent == this", __FILE__, __LINE__, __PRETTY_FUNCTION__);
    // Only the constructor attaches an element whose parent is already set,
    // and it does not come through here: a parent equal to this means that
    // the element is already in our lists.
    if (elem->parent == this || isSelfOrAncestor(elem)) return;
    attach(elem);
    elem->parent = this;
}

namespace {
// Where `elem` stands in `list`, which holds it once: children removed one
// at a time go from the back as often as from the front, and the back is
// looked at first so that either end costs no search.
int positionOf(const ZUVOrderedVector& list, const ZUVDOMElement* elem) {
    int last = list.size() - 1;
    if (last >= 0 && list.elementAt(last) == elem) return last;
    return list.indexOf(elem);
}
}  // namespace

void ZUVDOMElement::removeChild(ZUVDOMElement* elem) {
    if (!elem || elem->parent != this) return;
    // The index is made first, so that a name whose last child goes keeps
    // its empty list, as it would have with the index made all along.
    ZUVOrderedVector* list =
        static_cast<ZUVOrderedVector*>(ZUVDOMBuilder::index(this)->lookup(elem->tagName, 0));
    if (list) list->remove(positionOf(*list, elem));
    allElements->remove(positionOf(*allElements, elem));
    elem->parent = nullptr;
}

void ZUVDOMElement::insertBefore(ZUVDOMElement* newElem, ZUVDOMElement* refElem) {
    if (!newElem || !refElem || refElem->parent != this) return;
    if (newElem->parent || isSelfOrAncestor(newElem)) return;
    ZUVDOMBuilder::index(this);
    // Position of refElem, and how many children of newElem's name precede it.
    const char* name = newElem->tagName.getText();
    int position = 0;
    int sameName = 0;
    for (int n = allElements->size(); position < n; ++position) {
        ZUVDOMElement* child = static_cast<ZUVDOMElement*>(allElements->elementAt(position));
        if (child == refElem) break;
        if (std::strcmp(child->tagName.getText(), name) == 0) ++sameName;
    }
    ChildIndexes* indexes = ChildIndexes::of(elementsByName);
    bool made = false;
    ZUVOrderedVector* list = indexes->onlyNameIs(newElem->tagName)
                                 ? &indexes->firstList
                                 : listFor(newElem->tagName, made);
    try {
        list->prepareAdd(kChildListsGeometric);
        allElements->prepareAdd(kChildListsGeometric);
    } catch (...) {
        if (made) dropList(newElem->tagName, list);
        throw;
    }
    allElements->insertElementAt(newElem, position);
    list->insertElementAt(newElem, sameName);
    newElem->parent = this;
}

ZUVOrderedVector* ZUVDOMElement::getElements(const ZUVString& name) const {
    ZUVSimpleStringHashtable* index = ZUVDOMBuilder::index(this);
    return index ? static_cast<ZUVOrderedVector*>(index->lookup(name, 0)) : nullptr;
}

int ZUVDOMElement::getElementCount(const ZUVString& name) const {
    ZUVOrderedVector* list = getElements(name);
    return list ? list->size() : 0;
}

ZUVDOMElement* ZUVDOMElement::getElement(int index) const {
    if (!allElements || allElements->size() < 1) return nullptr;
    return static_cast<ZUVDOMElement*>(allElements->elementAt(index));
}

ZUVDOMElement* ZUVDOMElement::getElement(const ZUVString& name, int index) const {
    ZUVOrderedVector* list = getElements(name);
    if (!list || list->size() < 1) return nullptr;
    return static_cast<ZUVDOMElement*>(list->elementAt(index));
}

ZUVDOMElement* ZUVDOMElement::getFirstElement(const ZUVString& name) const {
    return getElement(name, 0);
}

const ZUVString& ZUVDOMElement::getFirstElementValue(const ZUVString& name) const {
    ZUVDOMElement* first = getFirstElement(name);
    return first ? first->value : emptyString;
}

// ---------------------------------------------------------------------------
// Builder

namespace {

using Build = ZUVDOMBuilder::Build;

void xmlStartElement(void* userData, const char* name, const char** attributes) {
    Build* build = static_cast<Build*>(userData);
    build->text.empty();
    ZUVDOMElement* parent = build->top;
    ZUVDOMElement* element = ZUVDOMBuilder::create(name, parent, build->parser);
    // A root is handed over before anything else can fail, so that a failed
    // attribute leaves it reachable by getRoot(), not lost.
    if (!parent) build->dom->setRoot(element);
    build->top = element;
    ZUVDOMBuilder::setAttributes(element, attributes);
}

// An element without children has its text in its value already; one with
// children holds there the text before its first child, which is dropped for
// the text gathered since its last child.
void xmlEndElement(void* userData, const char* /*name*/) {
    Build* build = static_cast<Build*>(userData);
    ZUVDOMElement* element = build->top;
    if (!ZUVDOMBuilder::isLeaf(element))
        ZUVDOMBuilder::endParent(element, build->text);
    else if (!ZUVDOMBuilder::isValueTight(element))
        ZUVDOMBuilder::fitValue(element);
    build->top = element->getParent();
}

void xmlCharacterData(void* userData, const char* text, int length) {
    Build* build = static_cast<Build*>(userData);
    ZUVDOMElement* element = build->top;
    if (element && ZUVDOMBuilder::isLeaf(element))
        ZUVDOMBuilder::addText(element, text, length);
    else
        build->text.append(text, length);
}

}  // namespace

ZUVDOM::ZUVDOM(ZUVLog* log) : objectStack(), parser(nullptr), root(nullptr) {
    parser =
        new ZUVSAX2Parser(nullptr, log, xmlStartElement, xmlEndElement, xmlCharacterData, nullptr);
}

ZUVDOM::~ZUVDOM() {
    if (parser) {
        delete parser;
        parser = nullptr;
    }
}

void ZUVDOM::startParse() {
    objectStack.removeAllElements();
    characterData.empty();
    root = nullptr;
}

// Gives back the stack's and the buffer's memory once a document is done, so
// that a ZUVDOM kept between parses holds none of the memory its trees use.
void ZUVDOM::endParse() {
    if (objectStack.size() == 0) objectStack.trim();
    characterData = ZUVString();
}

namespace {

// Elements still open when a parse stops get their children placed, also
// when the parser throws; then the parser's exception is the one passed on.
template <typename Parse>
void parseAndSettle(ZUVDOM* dom, Parse parse) {
    ZUVDOMBuilder::Build build(dom);
    try {
        parse();
    } catch (...) {
        try {
            ZUVDOMBuilder::settle(build);
        } catch (...) {
        }
        throw;
    }
    ZUVDOMBuilder::settle(build);
}

}  // namespace

ZUVDOMElement* ZUVDOM::parseFile(const ZUVFile& file) {
    startParse();
    parseAndSettle(this, [&] { parser->parseFile(file); });
    endParse();
    return root;
}

ZUVDOMElement* ZUVDOM::parseFile(const ZUVString& path) {
    ZUVFile file;
    file = path;
    return parseFile(file);
}

ZUVDOMElement* ZUVDOM::parseStdIn() {
    startParse();
    parseAndSettle(this, [&] { parser->parseStdIn(); });
    endParse();
    return root;
}

ZUVDOMElement* ZUVDOM::parseString(const ZUVString& text) {
    startParse();
    parseAndSettle(this, [&] { parser->parseString(text); });
    endParse();
    return root;
}

ZUVSAX2Position ZUVDOM::getPosition() const {
    return parser->getPosition();
}

const ZUVSAX2Error& ZUVDOM::getError() const {
    return parser->getError();
}

void ZUVDOM::setMaxDepth(int depth) {
    parser->setMaxDepth(depth);
}

void ZUVDOM::setMaxTextLength(long bytes) {
    parser->setMaxTextLength(bytes);
}

void ZUVDOM::setEngine(ZUVSAX2Parser::Engine engine) {
    parser->setEngine(engine);
}
