// ZUVString: a byte string with a length, always NUL-terminated.
#ifndef ZUVSTRING_H
#define ZUVSTRING_H

#include <string.h>  // strnlen
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ZUVPool.h"
#include "ZUVStdExport.h"

// A run of bytes with an int length. The text may hold NUL bytes; getText()
// always has a NUL after the last byte, so NUL-free text can be used as a C
// string. Texts of up to kInlineCapacity bytes live inside the object and
// allocate nothing, which keeps tag names and short values free of the heap.
// Value semantics: copies are deep. A length that would pass the largest int
// throws std::length_error rather than wrap.
class ZUVSTD_API ZUVString {
    // What compares with a ZUVString without becoming one.
    template <typename T>
    static constexpr bool isText =
        std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, ZUVString>;

public:
    // Longest text stored without a heap block.
    static constexpr int kInlineCapacity = 15;
    // Longest text a ZUVString can hold (one byte is kept for the NUL).
    static constexpr int kMaxLength = 0x7ffffffe;

    // Empty string; allocates nothing.
    ZUVString() noexcept { setInlineLength(0); }
    // Copy of `length` bytes of `text`; -1 copies up to the NUL. A null text is
    // the empty string.
    ZUVString(const char* text, int length = -1) {
        int n = length;
        if (text && n < 0) {
            // Short texts, the common case, are measured in one short scan;
            // a longer one goes on from where that stopped.
            size_t found = ::strnlen(text, kInlineCapacity + 1);
            n = found > static_cast<size_t>(kInlineCapacity) ? longLength(text)
                                                             : static_cast<int>(found);
        }
        setInlineLength(0);
        if (text && n <= kInlineCapacity) {
            // Short texts never leave the object.
            std::memcpy(bytes_, text, static_cast<size_t>(n));
            setInlineLength(n);
        } else {
            init(text, n);
        }
    }
    //@{
    // Copy of the bytes of a std::string or a std::string_view, NUL bytes
    // included; longer than kMaxLength throws std::length_error.
    ZUVString(const std::string& text) : ZUVString(text.data(), lengthOf(text.size())) {}
    ZUVString(std::string_view text) : ZUVString(text.data(), lengthOf(text.size())) {}
    //@}
    // Copy of the other's text; a long one gets its own heap block.
    ZUVString(const ZUVString& other) {
        if (!other.isHeap()) {
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        } else {
            setInlineLength(0);
            init(other.getText(), other.getLength());
        }
    }
    // Takes over the other's heap block; the other is left empty.
    ZUVString(ZUVString&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.setInlineLength(0);
    }
    ~ZUVString() {
        if (isHeap()) releaseHeap();
    }

    // Replaces the text by a copy of the other's; returns this string.
    ZUVString& operator=(const ZUVString& other) {
        if (!isHeap() && !other.isHeap())
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        else if (this != &other)
            init(other.getText(), other.getLength());
        return *this;
    }
    // Frees this string's heap block and takes over the other's; the other
    // is left empty. Returns this string.
    ZUVString& operator=(ZUVString&& other) noexcept;
    // Replaces the text by a copy of C text up to its NUL (null empties it);
    // returns this string.
    ZUVString& operator=(const char* text) {
        init(text, -1);
        return *this;
    }

    // Replaces the text by `length` bytes of `text` (-1: up to the NUL). The
    // source may overlap this string's own text. Keeps the heap block when it
    // is large enough.
    void init(const char* text, int length = -1);
    // Makes this string, which must hold no block of its own, a copy of the
    // text (not null) up to its NUL. A short text not near the end of its
    // page is taken with one 16-byte load and store: for the parser's names
    // and values, whose length is not known, this spares a search and a copy.
    inline void initTerminated(const char* text);
    // Appends exactly `length` bytes of `text` (-1: up to the NUL); the source
    // needs no NUL and may overlap this string's own text. Grows geometrically.
    void append(const char* text, int length = -1) {
        // Text that fits the room at hand is the common case (white space
        // between tags, values into a parser's buffer); the rest goes the
        // long way, as do long pieces, whose copy outweighs the call.
        if (text && length >= 0 && length <= 4096) {
            if (!isHeap()) {
                int room = bytes_[kInlineCapacity];
                // (room is never above the capacity; saying so keeps the
                // compiler from warning of a copy before the object)
                if (length <= room && room <= kInlineCapacity) {
                    int old = kInlineCapacity - room;
                    if (old == 0 && startShort(text, length)) return;
                    std::memmove(bytes_ + old, text, static_cast<size_t>(length));
                    setInlineLength(old + length);
                    return;
                }
            } else if (static_cast<uint32_t>(length) <=
                       (heap_.capacityAndFlag & ~kHeapFlag) - heap_.length) {
                std::memmove(heap_.data + heap_.length, text, static_cast<size_t>(length));
                heap_.length += static_cast<uint32_t>(length);
                heap_.data[heap_.length] = '\0';
                return;
            }
        }
        appendSlow(text, length);
    }
    // Appends a copy of the other's text, NUL bytes included; `other` may be
    // this string.
    void append(const ZUVString& other) { append(other.getText(), other.getLength()); }
    // Makes the string empty; keeps any heap block for reuse.
    void empty() noexcept {
        if (isHeap()) {
            heap_.length = 0;
            heap_.data[0] = '\0';
        } else {
            setInlineLength(0);
        }
    }
    // Makes room for `capacity` bytes of text without changing it.
    void reserve(int capacity);

    // The text, NUL-terminated; never null.
    const char* getText() const noexcept { return isHeap() ? heap_.data : bytes_; }
    // The number of bytes, not counting the terminating NUL.
    int getLength() const noexcept {
        return isHeap() ? static_cast<int>(heap_.length)
                        : kInlineCapacity - bytes_[kInlineCapacity];
    }
    // True when the length is 0.
    bool isEmpty() const noexcept { return getLength() == 0; }
    // A view of the text, no copy; valid until the string changes or dies.
    operator std::string_view() const noexcept {
        return std::string_view(getText(), static_cast<size_t>(getLength()));
    }
    // True when the text lives in the object itself (at most
    // kInlineCapacity bytes, no heap block): then the 16 bytes from
    // getText() can all be read, those past the text holding nothing of it.
    bool isInline() const noexcept { return !isHeap(); }
    // True when the string holds no more room than its text needs: inline,
    // or a heap block within a word of the text. A string that is not is
    // better copied than moved into a place where it stays.
    bool isTight() const noexcept { return !isHeap() || capacity() - getLength() < 8; }

    //@{
    // Strings made with `new` (attribute values, for one) come from the
    // pool, like their texts.
    static void* operator new(size_t size) { return ZUVPool::allocateFast(size); }
    static void operator delete(void* block, size_t size) noexcept {
        ZUVPool::release(block, size);
    }
    //@}

    //@{
    // Byte-for-byte comparison of the whole texts, NUL bytes included.
    friend bool operator==(const ZUVString& a, const ZUVString& b) noexcept {
        int n = a.getLength();
        return n == b.getLength() && std::memcmp(a.getText(), b.getText(), n) == 0;
    }
    friend bool operator!=(const ZUVString& a, const ZUVString& b) noexcept { return !(a == b); }
    //@}
    //@{
    // The same against C text (up to its NUL), std::string and
    // std::string_view, with no copy; one overload for each, so that none
    // needs a conversion and none is ambiguous.
    friend bool operator==(const ZUVString& a, std::string_view b) noexcept {
        return std::string_view(a) == b;
    }
    friend bool operator==(const ZUVString& a, const std::string& b) noexcept {
        return std::string_view(a) == std::string_view(b);
    }
    friend bool operator==(const ZUVString& a, const char* b) noexcept {
        return std::string_view(a) == std::string_view(b);
    }
    friend bool operator==(std::string_view a, const ZUVString& b) noexcept { return b == a; }
    friend bool operator==(const std::string& a, const ZUVString& b) noexcept { return b == a; }
    friend bool operator==(const char* a, const ZUVString& b) noexcept { return b == a; }
    friend bool operator!=(const ZUVString& a, std::string_view b) noexcept { return !(a == b); }
    friend bool operator!=(const ZUVString& a, const std::string& b) noexcept { return !(a == b); }
    friend bool operator!=(const ZUVString& a, const char* b) noexcept { return !(a == b); }
    friend bool operator!=(std::string_view a, const ZUVString& b) noexcept { return !(b == a); }
    friend bool operator!=(const std::string& a, const ZUVString& b) noexcept { return !(b == a); }
    friend bool operator!=(const char* a, const ZUVString& b) noexcept { return !(b == a); }
    //@}
    // Writes every byte of the text, NUL bytes included.
    friend std::ostream& operator<<(std::ostream& out, const ZUVString& text) {
        return out.write(text.getText(), text.getLength());
    }

private:
    // `length` as an int; throws std::length_error past kMaxLength.
    static int lengthOf(size_t length);

    // Heap form: capacity carries kHeapFlag in its top bit, which lands in the
    // last byte of the object, where the inline form keeps
    // kInlineCapacity - length (always below 0x80).
    static constexpr uint32_t kHeapFlag = 0x80000000u;
    struct Heap {
        char* data;
        uint32_t length;
        uint32_t capacityAndFlag;
    };
    union {
        Heap heap_;
        char bytes_[16];
    };

    // Makes this empty inline string the `length` (at most kInlineCapacity)
    // bytes of `text` with one 16-byte load when they stay within a page:
    // pieces of text between tags are mostly short and the first. False, and
    // nothing done, otherwise.
    inline bool startShort(const char* text, int length) noexcept;
    bool isHeap() const noexcept { return (static_cast<unsigned char>(bytes_[15]) & 0x80) != 0; }
    void setInlineLength(int n) noexcept {
        bytes_[n] = '\0';
        bytes_[kInlineCapacity] = static_cast<char>(kInlineCapacity - n);
    }
    int capacity() const noexcept {
        return isHeap() ? static_cast<int>(heap_.capacityAndFlag & ~kHeapFlag) : kInlineCapacity;
    }
    void releaseHeap() noexcept;
    // Length of a NUL-terminated text known to pass kInlineCapacity, measured
    // on from there; kMaxLength + 1 for any text too long to hold.
    static int longLength(const char* text) noexcept;
    void appendSlow(const char* text, int length);

    // Grows to at least `needed` bytes of text, keeping the current text;
    // `exact` takes just that much room instead of growing geometrically.
    void grow(int needed, bool exact = false);
};

static_assert(sizeof(ZUVString) == 16, "ZUVString is meant to be two words");

// The one shared empty string, returned by lookups that find nothing.
extern ZUVSTD_API const ZUVString emptyString;

#if defined(__SSE2__)
// 16 bytes from `text`, which the caller keeps within one page: past the NUL
// they are not the text's, so the sanitizers are told to look away.
__attribute__((no_sanitize_address, no_sanitize_thread)) inline __m128i zuvLoadSixteen(
    const char* text) noexcept {
    // Nor does the compiler see what `text` points into, so that a short
    // array passed in draws no warning in the caller's code.
    __asm__("" : "+r"(text));
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
}

inline bool ZUVString::startShort(const char* text, int length) noexcept {
    if ((reinterpret_cast<uintptr_t>(text) & 4095) > 4096 - 16) return false;
    // Loaded whole before the store: the text may be this string's own.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes_), zuvLoadSixteen(text));
    setInlineLength(length);
    return true;
}

inline void ZUVString::initTerminated(const char* text) {
    if ((reinterpret_cast<uintptr_t>(text) & 4095) <= 4096 - 16) {
        __m128i block = zuvLoadSixteen(text);
        unsigned nul =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
        if (nul) {
            // The NUL lands in place; the bytes after it are never read.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes_), block);
            bytes_[kInlineCapacity] = static_cast<char>(kInlineCapacity - __builtin_ctz(nul));
            return;
        }
    }
    init(text, -1);
}
#else
inline bool ZUVString::startShort(const char*, int) noexcept {
    return false;
}

inline void ZUVString::initTerminated(const char* text) {
    init(text, -1);
}
#endif

#endif
