// ZUVDOMElement: one XML element in memory, with its attributes and children.
#ifndef ZUVDOMELEMENT_H
#define ZUVDOMELEMENT_H

#include "ZUVDOMExport.h"
#include "ZUVOrderedVector.h"
#include "ZUVPool.h"
#include "ZUVSimpleStringHashtable.h"
#include "ZUVString.h"

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
    // Frees the attribute values, then every child (grouped by tag name, in
    // document order within a name), then the indexes. Does not detach the
    // element from its parent: detach an attached element with removeChild()
    // before deleting it on its own.
    ~ZUVDOMElement();
    ZUVDOMElement(const ZUVDOMElement&) = delete;
    ZUVDOMElement& operator=(const ZUVDOMElement&) = delete;

    // Elements are still made with `new` and freed with `delete`; the memory
    // comes from the pool that holds the rest of the tree (see ZUVPool).
    static void* operator new(size_t size) { return ZUVPool::allocate(size); }
    static void operator delete(void* block, size_t size) noexcept {
        ZUVPool::release(block, size);
    }

    // The tag name, as given at construction; never changes.
    const ZUVString& getTagName() const { return tagName; }
    // The parent, or null for a root or a detached element.
    ZUVDOMElement* getParent() const { return parent; }
    // The text value; empty (never null) when none was set.
    const ZUVString& getValue() const { return value; }
    // Replaces the value by a copy of `value`.
    void setValue(const ZUVString& newValue) { value = newValue; }

    // Sets attribute `name` to a copy of `value`. Setting a name that is
    // already present replaces its value where it stands (attributes keep
    // the order in which their names were first set) and frees the old one.
    void setAttribute(const ZUVString& name, const ZUVString& value);
    // The value of attribute `name`, or `emptyString` when the element has no
    // such attribute (an attribute set to "" reads the same). The string
    // belongs to the element and lives until the attribute is set again or
    // the element is deleted.
    const ZUVString& getAttribute(const ZUVString& name) const;

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
    // the element's own: read it, never change it.
    ZUVOrderedVector* getElements(const ZUVString& name) const;
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

    // As the public constructor, with the name as `length` bytes of text.
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

    ZUVString tagName;
    ZUVDOMElement* parent;
    ZUVSimpleStringHashtable* attributes;      // name -> owned ZUVString*
    ZUVSimpleStringHashtable* elementsByName;  // tag name -> owned ZUVOrderedVector*
    ZUVOrderedVector* allElements;             // children in document order
    void* generalPointer;
    ZUVString value;
};

#endif
