#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "acquisition/decoder_counters.hpp"
#include "ftdi/ftdi_read_stream.hpp"

// The board's counters, one row each: the only list of their names and meanings. The health extension
// exports it as it is, the companion's Health takes its fields from it, and the documentation prints it.
// Adding a counter: a member in decoder_counters or FtdiReadStream::Counters, and a row here.

// What a board counted, from both halves that count.
struct board_counters {
    decoder_counters::snapshot decoder;
    FtdiReadStream::Counters read_path;
};

enum class counter_kind {
    count,   // grows as the board works: a run's is the difference of two snapshots
    seconds, // a count of nanoseconds, shown in seconds
    gauge,   // a value now (or the most ever): a run's is the later snapshot's
};

struct counter_row {
    std::string_view name;
    counter_kind kind;
    bool shows_damage; // any in a run means the stream did not arrive whole
    std::uint64_t (*value)(const board_counters &);
    std::string_view meaning;
};

#define PYZUM_MEMBER(part, member) \
    [](const board_counters &c) { return static_cast<std::uint64_t>(c.part.member); }

inline constexpr auto counter_table = std::to_array<counter_row>({
    {"stream_bytes", counter_kind::count, false, PYZUM_MEMBER(decoder, stream_bytes),
     "Bytes the device's reads returned."},
    {"full_reads", counter_kind::count, false, PYZUM_MEMBER(decoder, full_reads),
     "Reads that returned every byte asked for."},
    {"short_reads", counter_kind::count, false, PYZUM_MEMBER(decoder, short_reads),
     "Reads that returned fewer: the chip had no more after its latency timer, or a stop came."},
    {"failed_reads", counter_kind::count, true, PYZUM_MEMBER(decoder, failed_reads),
     "Reads that returned an error code, as after an unplug."},
    {"resynchronisations", counter_kind::count, false, PYZUM_MEMBER(decoder, resynchronisations),
     "Times the stream was found out of step after a run's first frame."},
    {"bytes_skipped", counter_kind::count, true, PYZUM_MEMBER(decoder, bytes_skipped),
     "Bytes read but not decoded while realigning after the stream was found out of step."},
    {"bytes_skipped_at_start", counter_kind::count, false, PYZUM_MEMBER(decoder, bytes_skipped_at_start),
     "Bytes read before each run's first frame: a run starts wherever the stream is."},
    {"frames_decoded", counter_kind::count, false, PYZUM_MEMBER(decoder, frames_decoded),
     "Rows copied into blocks."},
    {"frames_without_sync", counter_kind::count, true, PYZUM_MEMBER(decoder, frames_without_sync),
     "Of those, frames whose own sync pair was wrong (the first frame of each read decides; the others "
     "are copied and counted)."},
    {"partial_frame_bytes", counter_kind::count, false, PYZUM_MEMBER(decoder, partial_frame_bytes),
     "Bytes of incomplete frames at the end of short reads, dropped."},
    {"blocks_delivered", counter_kind::count, false, PYZUM_MEMBER(decoder, blocks_delivered),
     "Blocks handed over to the reader."},
    {"partial_blocks", counter_kind::count, false, PYZUM_MEMBER(decoder, partial_blocks),
     "Of those, blocks handed over partly filled because acquisition stopped in their middle."},
    {"partial_block_rows", counter_kind::count, false, PYZUM_MEMBER(decoder, partial_block_rows),
     "The filled rows of those partly filled blocks."},
    {"empty_blocks_returned", counter_kind::count, false, PYZUM_MEMBER(decoder, empty_blocks_returned),
     "Blocks a run ended with before filling a row, given back to the pool."},
    {"wait_for_block_s", counter_kind::seconds, true, PYZUM_MEMBER(decoder, wait_for_block_ns),
     "Seconds the acquisition thread waited for a free block: the reader fell behind."},
    {"transfers_completed", counter_kind::count, false, PYZUM_MEMBER(read_path, transfers_completed),
     "USB bulk transfers of the read path that completed."},
    {"transfers_failed", counter_kind::count, true, PYZUM_MEMBER(read_path, transfers_failed),
     "USB bulk transfers that failed."},
    {"transfers_ran_out", counter_kind::count, true, PYZUM_MEMBER(read_path, transfers_ran_out),
     "Times the newest queued transfer filled up before another was queued: the chip had nowhere to write."},
    {"transfers_in_flight", counter_kind::gauge, false, PYZUM_MEMBER(read_path, in_flight),
     "Transfers queued on the chip now."},
    {"most_held_bytes", counter_kind::gauge, false, PYZUM_MEMBER(read_path, most_held),
     "The most stream bytes ever received and not yet read (2 MiB when every transfer is full)."},
    {"transfers_refused", counter_kind::count, true, PYZUM_MEMBER(read_path, transfers_refused),
     "Submissions the kernel refused for lack of memory for transfers in flight (usbfs_memory_mb)."},
    {"transfer_queue_depth", counter_kind::gauge, false, PYZUM_MEMBER(read_path, queue_depth),
     "Transfers the read path keeps queued: 32, fewer after a refusal."},
    {"stalls_cleared", counter_kind::count, true, PYZUM_MEMBER(read_path, stalls_cleared),
     "Times the bulk endpoint stalled and was cleared."},
});

#undef PYZUM_MEMBER
