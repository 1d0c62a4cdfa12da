// Heap accounting for the memory figures.
#ifndef ZUVDOM_BENCH_MEMORY_H
#define ZUVDOM_BENCH_MEMORY_H

#include <cstddef>

// Keeps every freed byte in the process: no mmap for large blocks and no
// trimming of the heap top. Repeated parses then reuse warm memory instead of
// faulting fresh pages in from the kernel each time, which on a shared
// machine costs more, and varies more, than the parsing itself. Applies to
// every library alike; call once, first thing in main().
void keepFreedMemory();

// Bytes of heap in use, chunk headers and rounding included (mallinfo2:
// uordblks, plus hblkhd should a block still be mapped on its own), with
// our pool's slabs counted by the blocks in use in them.
size_t heapInUse();

#endif
