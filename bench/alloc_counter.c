#include "alloc_counter.h"

#include <pthread.h>
#include <stddef.h>

/* glibc's allocator under its internal names: forwarding there needs no dlsym, which itself allocates. */
extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *ptr, size_t size);

static pthread_t reader;
static int reader_marked;
static uint64_t reader_count;
static uint64_t others_count;

static void count(void) {
    if (__atomic_load_n(&reader_marked, __ATOMIC_ACQUIRE) && pthread_equal(pthread_self(), reader)) {
        __atomic_fetch_add(&reader_count, 1, __ATOMIC_RELAXED);
    } else {
        __atomic_fetch_add(&others_count, 1, __ATOMIC_RELAXED);
    }
}

void *malloc(size_t size) {
    count();
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) {
    count();
    return __libc_calloc(n, size);
}

void *realloc(void *ptr, size_t size) {
    count();
    return __libc_realloc(ptr, size);
}

void alloc_counter_mark_reader(void) {
    reader = pthread_self();
    __atomic_store_n(&reader_marked, 1, __ATOMIC_RELEASE);
}

uint64_t alloc_counter_reader(void) { return __atomic_load_n(&reader_count, __ATOMIC_RELAXED); }

uint64_t alloc_counter_others(void) { return __atomic_load_n(&others_count, __ATOMIC_RELAXED); }
