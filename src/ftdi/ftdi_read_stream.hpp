#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include <ftdi.h>
#include <libusb.h>

// Reads the chip's stream with many bulk IN transfers queued on libftdi's USB handle at once.
//
// The FT232H holds about 1 KiB: at 40 MB/s that is 25 us of stream, and whatever the board writes while no
// transfer is pending with room is lost. ftdi_read_data submits one transfer at a time and leaves the chip
// without one between them and between calls; ftdi_read_data_submit shares libftdi's one read buffer, so it
// cannot queue a second transfer; ftdi_readstream purges the chip when it starts and owns the calling thread
// until its callback gives up. So this reads through libusb's asynchronous API on the handle libftdi opened:
// `transfer_count` transfers stay queued while the caller decodes, which covers 52 ms of a 40 MB/s stream.
//
// Events are handled by the thread that reads, inside read(); transfers keep filling (in the host controller)
// while it does something else. libusb also runs completions on any other thread that waits inside it (a
// control transfer: a purge, a flush), so no call into libusb is made with `mutex` held: completed() takes it.
// What transfers received and nobody read yet is kept across halt() and resume() for a raw read, which
// continues exactly where the last read stopped. A streaming read that follows a halt (or comes first) starts
// afresh: see read().
class FtdiReadStream {
public:
    static constexpr int transfer_size = 64 * 1024; // 128 packets of 512 bytes
    static constexpr int transfer_count = 32;
    // libftdi's code for a context without an open device.
    static constexpr int device_unavailable = -666;

    struct Counters {
        std::int64_t transfers_completed = 0;
        std::int64_t transfers_failed = 0;
        int in_flight = 0;
        std::size_t most_held = 0; // the most stream bytes ever received and not yet read
        // Times the newest queued transfer came back full while streaming, before another was queued: the
        // chip then had nowhere to write, and at a real rate its FIFO overflows within microseconds.
        std::int64_t transfers_ran_out = 0;
        // Submissions the kernel refused for lack of memory for transfers in flight (usbfs_memory_mb); the
        // stream goes on with as many transfers as were accepted.
        std::int64_t transfers_refused = 0;
        int queue_depth = transfer_count; // transfers the stream keeps queued now
        // Times the bulk endpoint stalled and was cleared (on hardware a halted endpoint fails every transfer
        // until the host clears it).
        std::int64_t stalls_cleared = 0;
    };

    // Nothing is allocated or submitted before the first read.
    explicit FtdiReadStream(ftdi_context *ftdi) noexcept : ftdi(ftdi) {}
    // Halts first: no transfer outlives the stream.
    ~FtdiReadStream();
    FtdiReadStream(const FtdiReadStream &) = delete;
    FtdiReadStream &operator=(const FtdiReadStream &) = delete;

    // One thread at a time. Stores up to `size` bytes of the stream and returns their count once `size` are
    // there, once the chip sent a packet with nothing in it (it had no more data), or soon after interrupt().
    // A failed transfer ends the read: with the bytes before it, or, when there were none, with its negative
    // libusb code (counted in either case); a context with no device gives -666. With `keep_streaming`, every transfer is queued again before returning; without,
    // only as many as `size` needs are submitted, and halt() should follow.
    int read(unsigned char *out, int size, bool keep_streaming);

    // Any thread. The read in progress returns soon with what it has, and later reads wait for nothing,
    // until resume(). Transfers in flight are cancelled; what they received is kept.
    void interrupt();
    // Any thread.
    void resume();
    // The reading thread, or any thread while no read runs. Cancels what is in flight and waits until it has
    // come back, keeping what it received for the next read; afterwards nothing is queued on the chip.
    void halt();
    // Any thread, also while another reads. Drops what was received and not read yet, and what the transfer
    // the chip is filling receives (it straddles the purge), then calls `purge` (which empties the chip's
    // buffer) without holding the stream's lock; returns what `purge` returned. The transfers queued behind
    // stay queued, so the chip never goes without one and the stream after the purge arrives whole. A read in
    // progress ends with the bytes it had before, so no read mixes the stream before and after a flush.
    template <typename Purge>
    int flush(Purge &&purge) {
        drop_unread(+1);
        const int result = purge();
        // The transfer filling when the purge came may have completed meanwhile, or be filling still.
        drop_unread(-1);
        return result;
    }

    // Any thread.
    Counters counters() const;
    // Any thread. Places where the stream may hold a gap, counted as reads reach them: where streaming began
    // afresh (a purge while nothing was queued on the chip: what the FIFO took before the first transfer was
    // queued can come before a gap), and after a transfer that filled up with none queued behind it.
    [[nodiscard]] std::uint64_t possible_gaps() const noexcept { return gap_count.load(std::memory_order_acquire); }

private:
    struct Slot {
        FtdiReadStream *owner = nullptr;
        libusb_transfer *transfer = nullptr;
        std::unique_ptr<unsigned char[]> buffer;
        int length = 0;   // bytes received, status bytes included
        int position = 0; // next byte to hand out
        int error = 0;    // the libusb code it failed with
        bool empty_packet = false; // it completed with status bytes only
        bool ran_out = false;      // it filled up with none queued behind it: the chip may have overflowed after it
        bool submitted = false;
        bool holding = false; // received, not all handed out yet
        bool cancelled = false; // cancelled since its latest submission
        bool stale = false; // what it receives is dropped: it straddles a flush, or outlived a halt
        std::uint64_t sequence = 0; // of its latest submission
    };

    static void LIBUSB_CALL completed(libusb_transfer *transfer);

    // All under `mutex`.
    bool allocate();
    // Lets the lock go around every call into libusb (hearing of completions first, clearing a stalled
    // endpoint, each submission). Returns a negative libusb code when nothing could be queued.
    int submit(std::unique_lock<std::mutex> &lock, std::size_t wanted_bytes);
    // Submits one idle slot; the lock is let go around libusb_submit_transfer.
    int submit_one(std::unique_lock<std::mutex> &lock, Slot &slot);
    // Polls libusb until a pass hears of nothing new: libusb reaps a bounded number of transfers per pass.
    void hear_completions(std::unique_lock<std::mutex> &lock);
    void clear_stall(std::unique_lock<std::mutex> &lock);
    // Marks every transfer in flight cancelled and returns them, to be cancelled once the lock is let go.
    using Flying = std::array<libusb_transfer *, transfer_count>; // null-padded
    Flying cancel_in_flight_locked(bool make_stale);
    static void cancel(const Flying &flying);
    // `flushing` moves by `step`; the received transfers and the one the chip fills are dropped.
    void drop_unread(int step);
    void drop_received_locked();
    void recycle(Slot &slot);
    // Copies what the oldest received transfers hold; stops at a transfer that carried no stream byte (the
    // chip had nothing more) and at a failure, which it reports.
    int serve(unsigned char *out, int size, int &got, bool &chip_empty);

    // The calling thread handles libusb events for a while; returns early when a transfer completes.
    void handle_events(std::unique_lock<std::mutex> &lock);
    // The same without waiting: reports what has completed by now.
    void poll_events(std::unique_lock<std::mutex> &lock);

    ftdi_context *ftdi;
    mutable std::mutex mutex;
    std::vector<Slot> slots;
    std::deque<Slot *> received; // in the order the chip filled them
    int packet_size = 512;
    std::size_t held = 0; // stream bytes received and not handed out
    bool interrupted = false;
    bool left_alone = true; // nothing has been queued on the chip since the last byte received
    bool streaming = false; // the latest read keeps every transfer queued
    bool endpoint_halted = false; // a transfer came back stalled; cleared before the next submission
    int depth = transfer_count; // lowered when the kernel refuses a submission for lack of memory
    std::uint64_t submissions = 0;
    std::uint64_t heard = 0;   // completions heard of, of any status
    std::uint64_t flushes = 0; // a read that sees this change ends with what it had
    int flushing = 0;          // flushes between their two drops: nothing is handed out meanwhile
    Counters count;
    std::atomic<std::uint64_t> gap_count{0};
};
