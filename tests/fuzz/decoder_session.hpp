#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "acquisition/simple_decoder.hpp"
#include "read_script.hpp"

namespace fuzz {

class decoder_session;

// The decoder's device: every read is the next step of the fuzz input, played by the session.
class scripted_reads_device {
public:
    explicit scripted_reads_device(decoder_session *session) noexcept : session(session) {}
    int read(unsigned char *buffer, int size) const;
    int flush_buffers() const noexcept { return 0; }

private:
    decoder_session *session;
};

// One acquisition driven by one fuzz input, run() on the calling thread. The session is also the consumer: after
// each read it takes, holds and gives back blocks as the input says, and checks every block it sees. Only a stop
// that must land while the decoder waits for a block comes from a second thread.
class decoder_session {
public:
    using decoder_type = simple_decoder<4, scripted_reads_device>;
    using block_type = decoder_type::block_type;
    using taken_block = decoder_type::output_type;

    static constexpr std::size_t pool_size = 64;
    // Reads the decoder may still make once `running` is clear: the rest of a fetch in progress (a realigning
    // and a full read), then one more pass, which may fetch again (three reads).
    static constexpr int reads_allowed_after_stop = 5;
    // A failed read makes the decoder pause a few milliseconds; more than this many per input only slow the fuzzer.
    static constexpr int paused_errors_allowed = 1;
    // Long enough for the decoder to be waiting for an empty block when the stop comes.
    static constexpr std::chrono::milliseconds stop_delay{3};

    decoder_session(const std::uint8_t *data, std::size_t size)
        : input(data, size),
          samples_count(2 + (size > 0 ? data[0] : 0) % 31),
          decoder(scripted_reads_device(this), samples_count) {
        (void)input.byte();
        for (std::size_t i = 0; i < pool_size; ++i) {
            decoder.buffers.free_channel().add(block_type(samples_count, decoder_type::words_per_frame));
        }
        valid_rows.insert(std::string(row_bytes, '\0'));
    }

    ~decoder_session() {
        if (stopper.joinable()) {
            stopper.join();
        }
    }
    decoder_session(const decoder_session &) = delete;
    decoder_session &operator=(const decoder_session &) = delete;

    // Runs the acquisition to its end and checks what it left behind.
    void run() {
        decoder.run();
        if (decoder.running.load()) {
            broken("run() returned while running was still set");
        }
        if (stopper.joinable()) {
            stopper.join();
        }
        held.clear();
        std::size_t delivered = 0;
        while (decoder.buffers.data_channel().size() > 0) {
            check(*decoder.buffers.data_channel().take(std::chrono::nanoseconds::zero()));
            ++delivered;
        }
        if (delivered + decoder.buffers.free_channel().size() != pool_size) {
            broken("blocks were lost or made up: the pool no longer holds 64");
        }
    }

    int read(unsigned char *buffer, int size) {
        if (size <= 0 || static_cast<std::size_t>(size) > decoder.read_size) {
            broken("a read asked for no bytes or for more than a full read");
        }
        if (!decoder.running.load() && ++reads_after_stop > reads_allowed_after_stop) {
            broken("run() kept reading after running was cleared");
        }
        if (input.empty()) {
            decoder.running.store(false);
            return 0;
        }
        const read_step step = next_step(input);
        const int result = play(step, buffer, size);
        remember_frames(buffer, result);
        consume(step);
        if (step.stop) {
            decoder.running.store(false);
        } else if (!step.starve) {
            keep_two_blocks_free();
        } else if (decoder.buffers.free_channel().size() < 2 && !stopper.joinable()) {
            stopper = std::thread([this] {
                std::this_thread::sleep_for(stop_delay);
                decoder.running.store(false);
            });
        }
        return result;
    }

private:
    static constexpr std::size_t row_bytes = decoder_type::words_per_frame * sizeof(unsigned short);

    int play(const read_step &step, unsigned char *buffer, int size) {
        const auto asked = static_cast<std::size_t>(size);
        switch (step.kind) {
        case read_kind::bytes:
            return static_cast<int>(input.take(buffer, asked));
        case read_kind::short_bytes:
            return static_cast<int>(input.take(buffer, std::min<std::size_t>(step.argument, asked)));
        case read_kind::error:
            if (!step.stop && ++paused_errors > paused_errors_allowed) {
                return 0;
            }
            return -1 - step.argument;
        case read_kind::generated: {
            const std::size_t eighths = (step.argument >> 4) & 7;
            const std::size_t length = eighths == 0 ? asked : asked * eighths / 8;
            generated_offset += step.argument & 15;
            for (std::size_t i = 0; i < length; ++i) {
                buffer[i] = stream_byte(generated_offset + i);
            }
            generated_offset += length;
            return static_cast<int>(length);
        }
        }
        return 0;
    }

    // The decoder copies only payloads of whole frames of a read longer than one frame: those are the only rows
    // (besides the zeros of a block never used) that may ever show up in a delivered block.
    void remember_frames(const unsigned char *buffer, int result) {
        if (result <= static_cast<int>(decoder.frame_size)) {
            return;
        }
        const auto n = static_cast<std::size_t>(result);
        for (std::size_t at = 0; at + decoder.frame_size <= n; at += decoder.frame_size) {
            valid_rows.emplace(reinterpret_cast<const char *>(buffer + at + 2), row_bytes);
        }
    }

    void check(const block_type &block) const {
        if (block.rows() != samples_count || block.cols() != decoder_type::words_per_frame) {
            broken("a delivered block does not have samples_count rows of 5 words");
        }
        for (std::size_t r = 0; r < block.rows(); ++r) {
            const auto *row = reinterpret_cast<const char *>(block.data() + r * block.cols());
            if (!valid_rows.contains(std::string(row, row_bytes))) {
                broken("a delivered row is not the payload of any frame the device returned");
            }
        }
    }

    void consume(const read_step &step) {
        if (step.release_held) {
            held.clear();
        }
        const std::size_t wanted = step.consume == 2 ? pool_size : step.consume == 3 ? 2 : step.consume;
        // The decoder waits only inside run(), on this thread, so a queue seen empty stays empty; asking first
        // spares a timed wait that some kernels take tens of microseconds to give up.
        for (std::size_t i = 0; i < wanted && decoder.buffers.data_channel().size() > 0; ++i) {
            taken_block block = decoder.buffers.take_filled(std::chrono::nanoseconds::zero());
            check(*block);
            if (step.hold) {
                held.push_back(std::move(block));
            }
        }
    }

    // The decoder takes at most two empty blocks between two reads (the first block of run() and a hand-off), and
    // nobody but a stop would end its wait on this one thread: unless the input stops it, or lets it run dry and
    // then stops it, the consumer makes sure it need not wait.
    void keep_two_blocks_free() {
        while (decoder.buffers.free_channel().size() < 2) {
            if (!held.empty()) {
                held.pop_back();
                continue;
            }
            if (decoder.buffers.data_channel().size() == 0) {
                broken("the free channel is empty, yet no block is queued or held");
            }
            check(*decoder.buffers.take_filled(std::chrono::nanoseconds::zero()));
        }
    }

    input_cursor input;
    std::size_t samples_count;
    std::uint64_t generated_offset = 0;
    int reads_after_stop = 0;
    int paused_errors = 0;
    std::unordered_set<std::string> valid_rows;
    // After the decoder, so it goes first: a held block goes back into the decoder's free channel when dropped.
    decoder_type decoder;
    std::vector<taken_block> held;
    std::thread stopper;
};

inline int scripted_reads_device::read(unsigned char *buffer, int size) const { return session->read(buffer, size); }

} // namespace fuzz
