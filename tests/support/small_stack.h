// Runs code on a thread with a small stack, as a program's worker threads
// have: the walks over a tree must not need more, however deep it is.
#ifndef ZUVDOM_SMALL_STACK_H
#define ZUVDOM_SMALL_STACK_H

#include <pthread.h>

#include <cstddef>
#include <functional>

// Runs `work` on a new thread with a 256 KB stack and waits for it; false
// when the thread could not be made.
inline bool onSmallStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    auto run = [](void* w) -> void* {
        (*static_cast<const std::function<void()>*>(w))();
        return nullptr;
    };
    bool started =
        pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)) == 0;
    pthread_attr_destroy(&attributes);
    if (started) pthread_join(thread, nullptr);
    return started;
}

// A document of elements nested `depth` deep, each named `e`.
inline std::string nestedDocument(int depth) {
    std::string doc;
    doc.reserve(static_cast<size_t>(depth) * 7);
    for (int i = 0; i < depth; ++i)
        doc += "<e>";
    for (int i = 0; i < depth; ++i)
        doc += "</e>";
    return doc;
}

#endif
