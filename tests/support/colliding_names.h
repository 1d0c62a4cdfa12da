// Names an attacker would choose against unkeyed FNV-1a: all with the same low bits, met in
// the middle (the low k bits depend only on the low k bits of the state).
#ifndef ZUVDOM_COLLIDING_NAMES_H
#define ZUVDOM_COLLIDING_NAMES_H

#include <cstdint>
#include <string>
#include <vector>

struct Fnv1a {
    uint64_t offset;
    uint64_t prime;
};
constexpr Fnv1a kFnv1a32{2166136261u, 16777619u};
constexpr Fnv1a kFnv1a64{1469598103934665603ull, 1099511628211ull};

// Low bits shared by the names: more than the index of any table they fill.
constexpr int kCollidingBits = 20;

inline uint64_t fnv1aLowBits(const Fnv1a& f, const std::string& s) {
    uint64_t h = f.offset;
    for (unsigned char c : s)
        h = (h ^ c) * f.prime;
    return h & ((uint64_t{1} << kCollidingBits) - 1);
}

// `count` distinct names of 8 letters ("n", four of a counter, three chosen)
// whose hash `f` agrees in its low kCollidingBits bits.
inline std::vector<std::string> collidingNames(const Fnv1a& f, int count) {
    const uint64_t mask = (uint64_t{1} << kCollidingBits) - 1;
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const int n = static_cast<int>(letters.size());
    uint64_t inverse = f.prime;  // Newton: each step doubles the correct bits
    for (int i = 0; i < 6; ++i)
        inverse *= 2 - f.prime * inverse;
    const uint64_t target = fnv1aLowBits(f, "target");
    // Suffixes by the state a prefix must end in: head[state], then next[].
    std::vector<int32_t> head(mask + 1, -1), next(static_cast<size_t>(n) * n * n, -1);
    for (int s = 0; s < n * n * n; ++s) {
        uint64_t h = target;
        for (int i : {s % n, s / n % n, s / (n * n)})  // last letter first
            h = ((h * inverse) ^ static_cast<unsigned char>(letters[static_cast<size_t>(i)])) &
                mask;
        next[static_cast<size_t>(s)] = head[h];
        head[h] = s;
    }
    std::vector<std::string> names;
    for (int p = 0; static_cast<int>(names.size()) < count; ++p) {
        std::string prefix = "n";
        for (int v = p, i = 0; i < 4; ++i, v /= n)
            prefix += letters[static_cast<size_t>(v % n)];
        for (int s = head[fnv1aLowBits(f, prefix)];
             s >= 0 && static_cast<int>(names.size()) < count; s = next[static_cast<size_t>(s)])
            names.push_back(prefix + letters[static_cast<size_t>(s / (n * n))] +
                            letters[static_cast<size_t>(s / n % n)] +
                            letters[static_cast<size_t>(s % n)]);
    }
    return names;
}

// `count` distinct names of the same shape that nobody chose.
inline std::vector<std::string> ordinaryNames(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string name = "n";
        for (int v = i * 7919, k = 0; k < 7; ++k, v /= 26)
            name += static_cast<char>('a' + v % 26);
        names.push_back(name);
    }
    return names;
}

#endif
