/*
 * Counts heap allocations (malloc, calloc, realloc) of the whole process by replacing the allocator's entry
 * points with thin forwarders to glibc's own. Linked into a benchmark, or preloaded into Python.
 * Allocations of one marked thread (the reader) are counted apart from those of every other thread.
 */
#ifndef PYZUM_ALLOC_COUNTER_H
#define PYZUM_ALLOC_COUNTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* From now on, allocations of the calling thread count as the reader's. */
void alloc_counter_mark_reader(void);
uint64_t alloc_counter_reader(void);
uint64_t alloc_counter_others(void);

#ifdef __cplusplus
}
#endif

#endif
