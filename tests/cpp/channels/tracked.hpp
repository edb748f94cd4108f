#pragma once

#include <mutex>
#include <vector>

// An element that counts its own constructions, moves, copies and destructions, and remembers which
// values were destroyed while still holding one, so a test can tell a dropped element from a moved-from shell.
struct Tracked {
    struct Counts {
        int constructed = 0;
        int moved = 0;
        int copied = 0;
        int destroyed = 0;
        int live = 0; // objects holding a value (not moved from)
        std::vector<int> destroyed_values;
    };

    static Counts &counts() {
        static Counts c;
        return c;
    }
    static std::mutex &counts_mutex() {
        static std::mutex m;
        return m;
    }
    static Counts snapshot() {
        std::lock_guard<std::mutex> lock(counts_mutex());
        return counts();
    }
    static void reset() {
        std::lock_guard<std::mutex> lock(counts_mutex());
        counts() = Counts{};
    }

    explicit Tracked(int v) : value(v) {
        std::lock_guard<std::mutex> lock(counts_mutex());
        ++counts().constructed;
        ++counts().live;
    }
    Tracked(Tracked &&other) noexcept : value(other.value) {
        other.value = moved_from;
        std::lock_guard<std::mutex> lock(counts_mutex());
        ++counts().moved;
    }
    Tracked &operator=(Tracked &&other) noexcept {
        std::lock_guard<std::mutex> lock(counts_mutex());
        if (value != moved_from) {
            --counts().live;
            counts().destroyed_values.push_back(value);
        }
        value = other.value;
        other.value = moved_from;
        ++counts().moved;
        return *this;
    }
    // Copying compiles on purpose: the counter, not the compiler, has to prove that the channels never copy.
    Tracked(const Tracked &other) : value(other.value) {
        std::lock_guard<std::mutex> lock(counts_mutex());
        ++counts().copied;
        if (value != moved_from) {
            ++counts().live;
        }
    }
    Tracked &operator=(const Tracked &) = delete;
    ~Tracked() {
        std::lock_guard<std::mutex> lock(counts_mutex());
        ++counts().destroyed;
        if (value != moved_from) {
            --counts().live;
            counts().destroyed_values.push_back(value);
        }
    }

    static constexpr int moved_from = -1;
    int value;
};
