// ZUVDOMElement: one XML element in memory, with its attributes and children.
#ifndef ZUVDOMELEMENT_H
#define ZUVDOMELEMENT_H

#include <type_traits>

#include "ZUVDOMExport.h"
#include "ZUVOrderedVector.h"
#include "ZUVPool.h"
#include "ZUVSimpleStringHashtable.h"
#include "ZUVString.h"

class ZUVDOMElement;

// The children of an element, or those of one name, for a range-for; each is
// a ZUVDOMElement*, never null. Empty when there are none. A view of the
// element's own list: valid until children are added or removed.
class ZUVDOMChildren {
public:
    // Steps through the children in order; compare with end() to stop.
    class Iterator {
    public:
        // The current child; never null before end().
        ZUVDOMElement* operator*() const {
            return static_cast<ZUVDOMElement*>(list->elementAt(index));
        }
        // Moves to the next child; returns this iterator.
        Iterator& operator++() {
            ++index;
            return *this;
        }
        //@{
        // Iterators of one range compare by position.
        bool operator!=(const Iterator& other) const { return index != other.index; }
        bool operator==(const Iterator& other) const { return index == other.index; }
        //@}

    private:
        friend class ZUVDOMChildren;
        Iterator(const ZUVOrderedVector* list, int index) : list(list), index(index) {}
        const ZUVOrderedVector* list;
        int index;
    };

    // A view of `list`, which stays the element's; null gives an empty range.
    explicit ZUVDOMChildren(const ZUVOrderedVector* list) : list(list) {}
    // The first child; equal to end() when there is none.
    Iterator begin() const { return Iterator(list, 0); }
    // One past the last child.
    Iterator end() const { return Iterator(list, size()); }
    // Number of children in the range.
    int size() const { return list ? list->size() : 0; }
    // True when the range holds no child.
    bool isEmpty() const { return size() == 0; }

private:
    const ZUVOrderedVector* list;
};

// One attribute: references to the name and the value the element holds.
struct ZUVDOMAttribute {
    // The attribute's name, owned by the element.
    const ZUVString& name;
    // The attribute's value, owned by the element; may be empty.
    const ZUVString& value;
};

// The attributes of an element in the order their names were first set, for
// a range-for over ZUVDOMAttribute pairs. Empty when there are none. Valid
// until an attribute is set or removed.
class ZUVDOM_API ZUVDOMAttributes {
public:
    // Steps through the attributes in order; compare with end() to stop.
    class Iterator {
    public:
        // The current attribute; its strings are the element's.
        ZUVDOMAttribute operator*() const {
            return ZUVDOMAttribute{at.getKey(), *static_cast<const ZUVString*>(at.get())};
        }
        // Moves to the next attribute; returns this iterator.
        Iterator& operator++() {
            at.next(1);
            return *this;
        }
        //@{
        // Iterators compare by the value they stand on: values are distinct
        // objects, and null past the end.
        bool operator!=(const Iterator& other) const { return at.get() != other.at.get(); }
        bool operator==(const Iterator& other) const { return at.get() == other.at.get(); }
        //@}

    private:
        friend class ZUVDOMAttributes;
        explicit Iterator(const ZUVSimpleStringHashtable& table) : at(table) {}
        ZUVSimpleStringHashtable::Iterator at;
    };

    // A view of `table`, which stays the element's; null gives an empty range.
    explicit ZUVDOMAttributes(const ZUVSimpleStringHashtable* table) : table(table) {}
    // The first attribute; equal to end() when there is none.
    Iterator begin() const { return Iterator(table ? *table : none()); }
    // One past the last attribute.
    Iterator end() const {
        Iterator past(table ? *table : none());
        past.at.next(size());
        return past;
    }
    // Number of attributes.
    int size() const { return table ? table->size() : 0; }
    // True when there is no attribute.
    bool isEmpty() const { return size() == 0; }

private:
    // An empty table, for elements that never had an attribute.
    static const ZUVSimpleStringHashtable& none();
    const ZUVSimpleStringHashtable* table;
};

// An element: tag name, text value, attributes, parent, a pointer for the
// caller, and its children indexed twice, in document order and by tag name.
//
// Ownership: an element owns its attribute values, its child indexes and
// its children, so deleting an element deletes its whole subtree. It owns
// neither its parent nor what the general pointer points to. Elements are
// created with `new`, handled by pointer and never copied. A root or a
// detached element belongs to the caller, who frees it with `delete`; an
// attached element is freed by its parent, or detached first with
// removeChild() and then freed by the caller.
//
// Nothing here reports errors or throws of its own: a missing thing is a null
// pointer or `emptyString`, and an edit that does not fit changes nothing.
// Allocation failures propagate. One thread at a time per tree.
class ZUVDOM_API ZUVDOMElement {
public:
    // A new element named `tagName` (copied; it must hold no NUL byte) with
    // an empty value, no attributes and no children. With a non-null
    // `parent` it is appended to the parent as its last child and is owned
    // by it from then on; with a null parent it is a root, owned by the
    // caller.
    ZUVDOMElement(const ZUVString& tagName, ZUVDOMElement* parent);
    // Frees the attribute values, then every child (grouped by tag name,
    // names in the index's order, which for children a parse added is the
    // order each name first appears; document order within a name), then
    // the indexes. Allocates nothing. Does not detach the element from its
    // parent: detach an attached element with removeChild() before deleting
    // it on its own.
    ~ZUVDOMElement();
    ZUVDOMElement(const ZUVDOMElement&) = delete;
    ZUVDOMElement& operator=(const ZUVDOMElement&) = delete;

    //@{
    // Elements are still made with `new` and freed with `delete`; the memory
    // comes from the pool that holds the rest of the tree (see ZUVPool).
    static void* operator new(size_t size) { return ZUVPool::allocateFast(size); }
    static void operator delete(void* block, size_t size) noexcept {
        ZUVPool::release(block, size);
    }
    //@}

    // The tag name, as given at construction; never changes.
    const ZUVString& getTagName() const { return tagName; }
    // The parent, or null for a root or a detached element.
    ZUVDOMElement* getParent() const { return parent; }
    // The text value; empty (never null) when none was set.
    const ZUVString& getValue() const { return value; }
    // Replaces the value by a copy of `value`.
    void setValue(const ZUVString& newValue) { value = newValue; }

    //@{
    // Where the start tag of an element built by a parse began: 1-based line
    // and column (in characters, as the parser's error positions count
    // them). 0 for an element made by hand.
    int getLine() const { return line; }
    int getColumn() const { return column; }
    //@}

    // Sets attribute `name` to a copy of `value`. Setting a name that is
    // already present replaces its value where it stands (attributes keep
    // the order in which their names were first set) and frees the old one.
    void setAttribute(const ZUVString& name, const ZUVString& value);
    // The value of attribute `name`, or `emptyString` when the element has no
    // such attribute (an attribute set to "" reads the same). The string
    // belongs to the element and lives until the attribute is set again or
    // the element is deleted.
    const ZUVString& getAttribute(const ZUVString& name) const;
    // True when attribute `name` is set, even to "".
    bool hasAttribute(const ZUVString& name) const;
    // Removes attribute `name` and frees its value; returns false when there
    // was none. An attribute set again afterwards goes last.
    bool removeAttribute(const ZUVString& name);
    // Every attribute as name/value pairs, in the order the names were first
    // set; an empty range when there are none. The strings are the element's.
    ZUVDOMAttributes getAttributes() const { return ZUVDOMAttributes(attributes); }

    //@{
    // Attribute `name` read as a number or a boolean. `fallback` when the
    // attribute is missing or is not wholly one: white space around it is
    // allowed, anything else after it, or a number out of range, is not.
    // Integers are decimal, with an optional sign; booleans are "true",
    // "false", "1" or "0".
    int getAttributeInt(const ZUVString& name, int fallback = 0) const;
    long long getAttributeLong(const ZUVString& name, long long fallback = 0) const;
    double getAttributeDouble(const ZUVString& name, double fallback = 0) const;
    bool getAttributeBool(const ZUVString& name, bool fallback = false) const;
    //@}
    //@{
    // The value read the same way; `fallback` when it is not wholly one.
    int getValueInt(int fallback = 0) const;
    long long getValueLong(long long fallback = 0) const;
    double getValueDouble(double fallback = 0) const;
    bool getValueBool(bool fallback = false) const;
    //@}
    // Sets attribute `name` to a number written in decimal (a floating-point
    // number in the shortest form that reads back the same), or a bool as
    // "true" or "false".
    template <typename Number, typename = std::enable_if_t<std::is_arithmetic_v<Number>>>
    void setAttribute(const ZUVString& name, Number number) {
        if constexpr (std::is_same_v<Number, bool>)
            setAttribute(name, ZUVString(number ? "true" : "false"));
        else if constexpr (std::is_floating_point_v<Number>)
            putNumber(name, static_cast<double>(number));
        else if constexpr (std::is_signed_v<Number>)
            putNumber(name, static_cast<long long>(number));
        else
            putNumber(name, static_cast<unsigned long long>(number));
    }

    // The caller's pointer; null until set. Never read, interpreted or freed
    // by the library.
    void* getGeneralPointer() const { return generalPointer; }
    // Replaces the caller's pointer (null included).
    void setGeneralPointer(void* pointer) { generalPointer = pointer; }

    // Appends `elem` as the last child; this element owns it from then on.
    // Takes O(1) plus the depth of this element.
    // - `elem` must be detached: an element attached to another parent stops
    //   the program, in every build, with the assertion "elem->parent == this"
    //   (detach it with removeChild() on its old parent first).
    // - A null `elem` is ignored.
    // - An element that is already a child of this one stays where it is;
    //   appending it again would free it twice.
    // - This element itself or one of its ancestors is ignored: it would make
    //   a cycle.
    void appendChild(ZUVDOMElement* elem);
    // Detaches child `elem` from this element: it leaves both indexes, its
    // parent becomes null, and the caller owns it (and its subtree, intact).
    // Ignored when `elem` is null or not a child of this element. A name list
    // left empty stays in the name index. Takes O(number of children).
    void removeChild(ZUVDOMElement* elem);
    // Inserts `newElem` as a child just before child `refElem`, also before
    // it among children of the same name; this element owns it from then on.
    // Ignored when either is null, when `refElem` is not a child of this
    // element, when `newElem` is attached anywhere (detach it first) or when
    // it is this element or one of its ancestors. Takes O(number of
    // children) plus the depth of this element.
    void insertBefore(ZUVDOMElement* newElem, ZUVDOMElement* refElem);

    // All children in document order, or null when the element never had a
    // child (an element whose children were all removed has an empty list).
    // The list is the element's own: read it, never change it.
    ZUVOrderedVector* getAllElements() const { return allElements; }
    // The children named `name` in document order; null when no child ever
    // had that name, an empty list once all of them were removed. The list is
    // the element's own: read it, never change it. An element that a parse
    // filled makes its index by name at the first lookup by name (or the
    // first removeChild or insertBefore), so that call may allocate and
    // throw std::bad_alloc; lookups on several threads at once are safe.
    ZUVOrderedVector* getElements(const ZUVString& name) const;
    // All children in document order, for a range-for over ZUVDOMElement*;
    // an empty range when there are none.
    ZUVDOMChildren getChildren() const { return ZUVDOMChildren(allElements); }
    // The children named `name` in document order; an empty range when none.
    ZUVDOMChildren getChildren(const ZUVString& name) const {
        return ZUVDOMChildren(getElements(name));
    }
    // Number of children.
    int getElementCount() const { return allElements ? allElements->size() : 0; }
    // Number of children named `name`; 0 when none.
    int getElementCount(const ZUVString& name) const;
    // The child at `index` in document order; null when there is none
    // (also for any index outside 0..getElementCount()-1).
    ZUVDOMElement* getElement(int index) const;
    // The child at `index` among those named `name`; null when there is none.
    ZUVDOMElement* getElement(const ZUVString& name, int index) const;
    // The first child named `name`, or null.
    ZUVDOMElement* getFirstElement(const ZUVString& name) const;
    // The value of the first child named `name`; `emptyString` when there is
    // no such child.
    const ZUVString& getFirstElementValue(const ZUVString& name) const;

private:
    friend class ZUVDOMWriter;
    friend struct ZUVDOMBuilder;  // the parser callbacks' fast paths
    friend struct ZUVXPathTree;   // path queries read the attributes in order

    // As the public constructor, with the name as `length` bytes of text
    // (-1: up to the NUL).
    ZUVDOMElement(const char* tagName, int length, ZUVDOMElement* parent);

    // Files `elem` in both indexes, or in neither when it throws.
    void attach(ZUVDOMElement* elem);
    // The list filed under `name`; created when missing, and `made` set.
    ZUVOrderedVector* listFor(const ZUVString& name, bool& made);
    // Takes back a list that listFor() has just made.
    void dropList(const ZUVString& name, ZUVOrderedVector* list) noexcept;
    // The one path that sets an attribute: setAttribute's and the builder's.
    // A length of -1 means up to the NUL.
    void putAttribute(const char* name, int nameLength, const char* text, int textLength);
    // True when `elem` is this element or one of its ancestors.
    bool isSelfOrAncestor(const ZUVDOMElement* elem) const;
    void putNumber(const ZUVString& name, long long number);
    void putNumber(const ZUVString& name, unsigned long long number);
    void putNumber(const ZUVString& name, double number);

    ZUVString tagName;
    ZUVDOMElement* parent;
    ZUVSimpleStringHashtable* attributes;  // name -> owned ZUVString*
    // Tag name -> owned ZUVOrderedVector*; for children a parse added, made
    // at the first lookup by name.
    ZUVSimpleStringHashtable* elementsByName;
    ZUVOrderedVector* allElements;  // children in document order
    void* generalPointer;
    ZUVString value;
    // Where the start tag began; 0 for elements made by hand. Ints as the
    // parser counts them, 8 bytes together.
    int line;
    int column;
};

#endif
