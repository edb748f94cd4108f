// A device that refuses to be opened (`refuse`): on a real machine its node's permissions make open() fail
// with EACCES. The build roots run as root, whom permissions do not stop, so the refusal is played here. This
// library comes before umockdev's preload: its open() sees the /dev path libusb opens, refuses the nodes of
// refusing devices and hands everything else on to the preload, which redirects it into the testbed.
// (Loaded after the preload, everything works but the refusal: the preload calls libc's open() directly.)
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <cstdint>
#include <map>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>

#include "refused_open.hpp"

namespace pcb_roq_sim {

namespace {

std::mutex refused_mutex;
// Made on first use: opens happen before static initialisers run. Path -> opens refused and not yet taken.
std::map<std::string, std::int64_t> *refused_paths = nullptr;
std::atomic<bool> any_refused{false};

bool refused(const char *path) {
    if (!any_refused.load(std::memory_order_acquire) || path == nullptr) {
        return false;
    }
    std::lock_guard lock(refused_mutex);
    if (refused_paths == nullptr) {
        return false;
    }
    auto found = refused_paths->find(path);
    if (found == refused_paths->end() || found->second < 0) {
        return false;
    }
    ++found->second;
    return true;
}

template <typename Function>
Function next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

mode_t mode_argument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(arguments, int))
                                                                         : 0;
}

} // namespace

void set_refused(const std::string &path, bool refuse) {
    std::lock_guard lock(refused_mutex);
    if (refused_paths == nullptr) {
        refused_paths = new std::map<std::string, std::int64_t>();
    }
    // A path that no longer refuses keeps its count (as -1 - count) until it is taken.
    auto found = refused_paths->find(path);
    if (refuse) {
        if (found == refused_paths->end()) {
            (*refused_paths)[path] = 0;
        } else if (found->second < 0) {
            found->second = -1 - found->second;
        }
    } else if (found != refused_paths->end() && found->second >= 0) {
        if (found->second == 0) {
            refused_paths->erase(found);
        } else {
            found->second = -1 - found->second;
        }
    }
    bool any = false;
    for (const auto &entry : *refused_paths) {
        any = any || entry.second >= 0;
    }
    any_refused.store(any, std::memory_order_release);
}

std::int64_t take_refusals(const std::string &path) {
    std::lock_guard lock(refused_mutex);
    if (refused_paths == nullptr) {
        return 0;
    }
    auto found = refused_paths->find(path);
    if (found == refused_paths->end()) {
        return 0;
    }
    const std::int64_t taken = found->second >= 0 ? found->second : -1 - found->second;
    if (found->second >= 0) {
        found->second = 0;
    } else {
        refused_paths->erase(found);
    }
    return taken;
}

} // namespace pcb_roq_sim

using pcb_roq_sim::refused;

extern "C" {

int open(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = pcb_roq_sim::mode_argument(flags, arguments);
    va_end(arguments);
    if (refused(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto real = pcb_roq_sim::next<int (*)(const char *, int, ...)>("open");
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = pcb_roq_sim::mode_argument(flags, arguments);
    va_end(arguments);
    if (refused(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto real = pcb_roq_sim::next<int (*)(const char *, int, ...)>("open64");
    return real(path, flags, mode);
}

// What open() becomes in a caller built with _FORTIFY_SOURCE when its flags are not constant (libusb's are).
int __open_2(const char *path, int flags) {
    if (refused(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto real = pcb_roq_sim::next<int (*)(const char *, int)>("__open_2");
    return real(path, flags);
}

int __open64_2(const char *path, int flags) {
    if (refused(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto real = pcb_roq_sim::next<int (*)(const char *, int)>("__open64_2");
    return real(path, flags);
}

} // extern "C"
