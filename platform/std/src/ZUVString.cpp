#include "ZUVString.h"

#include "ZUVPool.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "ZUVString's inline form relies on a little-endian layout");

const ZUVString emptyString;

namespace {

[[noreturn]] void throwTooLong() {
    throw std::length_error("ZUVString: text longer than an int can count");
}

}  // namespace

int ZUVString::lengthOf(size_t length) {
    if (length > static_cast<size_t>(kMaxLength)) throwTooLong();
    return static_cast<int>(length);
}

ZUVString& ZUVString::operator=(ZUVString&& other) noexcept {
    if (this != &other) {
        if (isHeap()) releaseHeap();
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.setInlineLength(0);
    }
    return *this;
}

int ZUVString::longLength(const char* text) noexcept {
    size_t n = kInlineCapacity + 1 + std::strlen(text + kInlineCapacity + 1);
    return n > static_cast<size_t>(kMaxLength) ? kMaxLength + 1 : static_cast<int>(n);
}

void ZUVString::releaseHeap() noexcept {
    ZUVPool::release(heap_.data, static_cast<size_t>(capacity()) + 1);
    setInlineLength(0);
}

void ZUVString::grow(int needed, bool exact) {
    if (needed > kMaxLength) throwTooLong();
    int current = capacity();
    if (needed <= current) return;
    // Copies are taken at their size (most never change again); appends
    // double, but never past the largest length, so nothing can wrap.
    int64_t wanted = needed;
    if (!exact) {
        wanted = static_cast<int64_t>(current) * 2;
        if (wanted < needed) wanted = needed;
        if (wanted < 32) wanted = 32;
        if (wanted > kMaxLength) wanted = kMaxLength;
    }
    int length = getLength();
    if (isHeap()) {
        heap_.data = static_cast<char*>(ZUVPool::reallocate(
            heap_.data, static_cast<size_t>(current) + 1, static_cast<size_t>(wanted) + 1));
    } else {
        char* data = static_cast<char*>(ZUVPool::allocate(static_cast<size_t>(wanted) + 1));
        std::memcpy(data, bytes_, static_cast<size_t>(length) + 1);
        heap_.data = data;
        heap_.length = static_cast<uint32_t>(length);
    }
    heap_.capacityAndFlag = static_cast<uint32_t>(wanted) | kHeapFlag;
}

void ZUVString::reserve(int capacity) {
    if (capacity < 0) return;
    grow(capacity, true);
}

void ZUVString::init(const char* text, int length) {
    if (!text) {
        empty();
        return;
    }
    if (length < 0) {
        size_t n = std::strlen(text);
        if (n > static_cast<size_t>(kMaxLength)) throwTooLong();
        length = static_cast<int>(n);
    }
    // Refused before anything is released, so a failed init changes nothing.
    if (length > kMaxLength) throwTooLong();
    char* own = const_cast<char*>(getText());
    if (length > capacity()) {
        // The new block is filled before the old one goes: a failed
        // allocation leaves the string as it was, and the source may be our
        // own text.
        char* data = static_cast<char*>(ZUVPool::allocateFast(static_cast<size_t>(length) + 1));
        std::memcpy(data, text, static_cast<size_t>(length));
        data[length] = '\0';
        if (isHeap()) releaseHeap();
        heap_.data = data;
        heap_.length = static_cast<uint32_t>(length);
        heap_.capacityAndFlag = static_cast<uint32_t>(length) | kHeapFlag;
        return;
    }
    std::memmove(own, text, static_cast<size_t>(length));
    own[length] = '\0';
    if (isHeap())
        heap_.length = static_cast<uint32_t>(length);
    else
        setInlineLength(length);
}

void ZUVString::appendSlow(const char* text, int length) {
    if (!text) return;
    if (length < 0) {
        size_t n = std::strlen(text);
        if (n > static_cast<size_t>(kMaxLength)) throwTooLong();
        length = static_cast<int>(n);
    }
    if (length == 0) return;
    int old = getLength();
    if (length > kMaxLength - old) throwTooLong();
    int total = old + length;
    if (total > capacity()) {
        const char* own = getText();
        if (text >= own && text <= own + old) {
            // Appending a piece of ourselves: keep its offset across the move.
            size_t offset = static_cast<size_t>(text - own);
            grow(total);
            text = heap_.data + offset;
        } else {
            // Text that comes in one piece, the usual case, gets just its size.
            grow(total, old == 0);
        }
    }
    char* own = const_cast<char*>(getText());
    std::memmove(own + old, text, static_cast<size_t>(length));
    own[total] = '\0';
    if (isHeap())
        heap_.length = static_cast<uint32_t>(total);
    else
        setInlineLength(total);
}
