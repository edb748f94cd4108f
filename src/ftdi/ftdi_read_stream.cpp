#include "ftdi/ftdi_read_stream.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr int status_bytes = 2;

// Stream bytes in the first `bytes` of a transfer: every packet begins with the chip's two status bytes.
std::size_t payload(int bytes, int packet_size) {
    const int full = bytes / packet_size;
    const int rest = bytes % packet_size;
    return static_cast<std::size_t>(full * (packet_size - status_bytes) + std::max(0, rest - status_bytes));
}

int error_code(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    default:
        return LIBUSB_ERROR_IO;
    }
}

// How long a halt waits for cancelled transfers before it gives them up for lost.
constexpr auto halt_patience = std::chrono::seconds(2);

} // namespace

FtdiReadStream::~FtdiReadStream() {
    halt();
    std::lock_guard lock(mutex);
    if (count.in_flight > 0) {
        // libusb never gave them back: freeing them would let it write into freed memory, so they are left.
        for (Slot &slot : slots) {
            (void)slot.buffer.release();
        }
        return;
    }
    for (Slot &slot : slots) {
        libusb_free_transfer(slot.transfer);
    }
}

bool FtdiReadStream::allocate() {
    packet_size = ftdi->max_packet_size > status_bytes ? ftdi->max_packet_size : 512;
    std::vector<Slot> made(transfer_count);
    for (Slot &slot : made) {
        slot.owner = this;
        slot.transfer = libusb_alloc_transfer(0);
        slot.buffer.reset(new (std::nothrow) unsigned char[transfer_size]);
        if (slot.transfer == nullptr || !slot.buffer) {
            for (Slot &s : made) {
                libusb_free_transfer(s.transfer);
            }
            return false;
        }
    }
    slots = std::move(made);
    for (Slot &slot : slots) {
        // libftdi names the endpoint it reads from out_ep.
        libusb_fill_bulk_transfer(slot.transfer, ftdi->usb_dev, static_cast<unsigned char>(ftdi->out_ep),
                                  slot.buffer.get(), transfer_size, &FtdiReadStream::completed, &slot, 0);
    }
    return true;
}

void LIBUSB_CALL FtdiReadStream::completed(libusb_transfer *transfer) {
    Slot &slot = *static_cast<Slot *>(transfer->user_data);
    FtdiReadStream &self = *slot.owner;
    std::lock_guard lock(self.mutex);
    slot.submitted = false;
    --self.count.in_flight;
    ++self.heard;
    slot.length = std::max(0, transfer->actual_length);
    slot.position = 0;
    slot.error = 0;
    slot.empty_packet = false;
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED) {
        ++self.count.transfers_completed;
    } else if (transfer->status != LIBUSB_TRANSFER_CANCELLED) {
        ++self.count.transfers_failed;
        slot.error = error_code(transfer->status);
        self.endpoint_halted |= transfer->status == LIBUSB_TRANSFER_STALL;
    }
    // A cancellation that lost the race with the transfer's end reports it completed: with nothing but status
    // bytes it says only that the cancellation came first, not that the chip ran dry.
    const bool carried_nothing = slot.length <= status_bytes && slot.error == 0;
    if (slot.stale || (slot.cancelled && carried_nothing)) {
        slot.stale = false;
        slot.length = 0;
        return;
    }
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED) {
        slot.empty_packet = carried_nothing;
        if (self.streaming && !self.interrupted && !slot.cancelled && slot.sequence == self.submissions &&
            slot.length == transfer_size) {
            ++self.count.transfers_ran_out;
            slot.ran_out = true;
        }
    }
    slot.holding = true;
    self.received.push_back(&slot);
    self.held += payload(slot.length, self.packet_size);
    self.count.most_held = std::max(self.count.most_held, self.held);
}

void FtdiReadStream::hear_completions(std::unique_lock<std::mutex> &lock) {
    for (int pass = 0; pass <= transfer_count; ++pass) {
        const std::uint64_t before = heard;
        poll_events(lock);
        if (heard == before || count.in_flight == 0) {
            return;
        }
    }
}

void FtdiReadStream::clear_stall(std::unique_lock<std::mutex> &lock) {
    endpoint_halted = false;
    lock.unlock();
    const int result = libusb_clear_halt(ftdi->usb_dev, static_cast<unsigned char>(ftdi->out_ep));
    lock.lock();
    if (result == 0) {
        ++count.stalls_cleared;
    }
}

int FtdiReadStream::submit_one(std::unique_lock<std::mutex> &lock, Slot &slot) {
    // Marked first: its completion may run on another thread before libusb_submit_transfer returns here.
    slot.submitted = true;
    slot.cancelled = false;
    slot.stale = false;
    slot.sequence = ++submissions;
    ++count.in_flight;
    lock.unlock();
    const int result = libusb_submit_transfer(slot.transfer);
    lock.lock();
    if (result < 0) {
        slot.submitted = false;
        --count.in_flight;
        --submissions;
        return result;
    }
    if (interrupted && !slot.cancelled) {
        // interrupt() ran while the lock was let go and may not have seen it go out.
        slot.cancelled = true;
        lock.unlock();
        (void)libusb_cancel_transfer(slot.transfer);
        lock.lock();
    }
    return 0;
}

int FtdiReadStream::submit(std::unique_lock<std::mutex> &lock, std::size_t wanted_bytes) {
    const auto idle = [](const Slot &s) { return !s.submitted && !s.holding; };
    if (std::none_of(slots.begin(), slots.end(), idle)) {
        return 0;
    }
    if (streaming) {
        // Completions are heard of only while handling events: this tells whether the newest transfer filled
        // up before its successor is queued, which is when the chip had nowhere to write.
        hear_completions(lock);
        if (interrupted) {
            return 0; // stopped meanwhile: nothing new goes on the chip
        }
    }
    if (endpoint_halted) {
        clear_stall(lock);
    }
    const std::size_t per_transfer = payload(transfer_size, packet_size);
    for (Slot &slot : slots) {
        const std::size_t coming = static_cast<std::size_t>(count.in_flight) * per_transfer;
        if (coming >= wanted_bytes || count.in_flight >= depth || interrupted) {
            break;
        }
        if (!idle(slot)) {
            continue;
        }
        const int result = submit_one(lock, slot);
        if (result == LIBUSB_ERROR_NO_MEM) {
            ++count.transfers_refused;
            if (count.in_flight > 0) {
                // The kernel's memory for transfers in flight is shared by every usbfs user of the machine:
                // keep as many as it took, rather than none.
                depth = count.in_flight;
                count.queue_depth = depth;
                return 0;
            }
        }
        if (result < 0) {
            return result;
        }
    }
    return 0;
}

void FtdiReadStream::recycle(Slot &slot) {
    held -= payload(slot.length, packet_size) - payload(slot.position, packet_size);
    slot.holding = false;
    slot.length = 0;
    slot.position = 0;
    slot.error = 0;
    slot.empty_packet = false;
    slot.ran_out = false;
}

int FtdiReadStream::serve(unsigned char *out, int size, int &got, bool &chip_empty) {
    while (got < size && !received.empty()) {
        Slot &slot = *received.front();
        if (slot.empty_packet) {
            // libftdi's rule: a transfer with nothing but status bytes means the chip has no more data.
            received.pop_front();
            recycle(slot);
            chip_empty = true;
            return 0;
        }
        while (slot.position < slot.length && got < size) {
            const int in_packet = slot.position % packet_size;
            if (in_packet < status_bytes) {
                slot.position += status_bytes - in_packet;
                continue;
            }
            const int packet_end = std::min(slot.position - in_packet + packet_size, slot.length);
            const int n = std::min(packet_end - slot.position, size - got);
            std::memcpy(out + got, slot.buffer.get() + slot.position, static_cast<std::size_t>(n));
            got += n;
            held -= static_cast<std::size_t>(n);
            slot.position += n;
        }
        if (slot.position < slot.length) {
            break;
        }
        const int error = slot.error;
        if (slot.ran_out) {
            gap_count.fetch_add(1, std::memory_order_release); // what this read hands out next may follow a gap
        }
        received.pop_front();
        recycle(slot);
        if (error != 0) {
            return error;
        }
    }
    return 0;
}

void FtdiReadStream::handle_events(std::unique_lock<std::mutex> &lock) {
    lock.unlock();
    // Returns as soon as a transfer completes; cancelling one from interrupt() counts.
    timeval patience{0, 50'000};
    (void)libusb_handle_events_timeout_completed(ftdi->usb_ctx, &patience, nullptr);
    lock.lock();
}

void FtdiReadStream::poll_events(std::unique_lock<std::mutex> &lock) {
    lock.unlock();
    timeval now{0, 0};
    (void)libusb_handle_events_timeout_completed(ftdi->usb_ctx, &now, nullptr);
    lock.lock();
}

int FtdiReadStream::read(unsigned char *out, int size, bool keep_streaming) {
    if (ftdi->usb_dev == nullptr) {
        return device_unavailable;
    }
    std::unique_lock lock(mutex);
    if (slots.empty() && !allocate()) {
        return LIBUSB_ERROR_NO_MEM;
    }
    const std::size_t all = std::numeric_limits<std::size_t>::max();
    streaming = keep_streaming;
    std::uint64_t flushes_seen = flushes;
    int got = 0;
    int result = 0;
    bool chip_empty = false;
    for (;;) {
        if (keep_streaming && left_alone && !interrupted) {
            // The chip went without a pending transfer since the bytes received last: at any real rate its FIFO
            // overflowed meanwhile, so they are followed by a gap of unknown length, which may keep the frames
            // in step and so go unseen. Streaming starts afresh instead: what was received before is dropped
            // (a raw read, which does not stream, still gets it) and the FIFO is purged.
            drop_received_locked();
            // Without the lock: the purge is a control transfer, and libusb may run completions while it waits.
            lock.unlock();
            (void)ftdi_tciflush(ftdi);
            lock.lock();
            left_alone = false;
            gap_count.fetch_add(1, std::memory_order_release);
        }
        if (flushing > 0 && !interrupted) {
            if (got > 0) {
                break; // what follows comes after the flush: it begins the next read
            }
            handle_events(lock); // what arrives meanwhile may come from before the purge
            continue;
        }
        result = serve(out, size, got, chip_empty);
        if (got >= size || chip_empty || result < 0 || interrupted) {
            break;
        }
        if (flushes != flushes_seen) {
            if (got > 0) {
                break; // what follows comes after the flush: it begins the next read
            }
            flushes_seen = flushes;
        }
        const int submitted = submit(lock, keep_streaming ? all : static_cast<std::size_t>(size - got));
        if (interrupted) {
            break; // a stop while submit() heard of completions: what was read so far, and no error
        }
        if (count.in_flight == 0) {
            result = submitted < 0 ? submitted : LIBUSB_ERROR_IO;
            break;
        }
        handle_events(lock);
    }
    if (keep_streaming && !interrupted && !left_alone) {
        // Queued again before the caller goes off to decode, so the chip always has somewhere to write.
        (void)submit(lock, all);
    }
    if (got > 0) {
        return got;
    }
    return result;
}

FtdiReadStream::Flying FtdiReadStream::cancel_in_flight_locked(bool make_stale) {
    Flying flying{};
    std::size_t n = 0;
    for (Slot &slot : slots) {
        if (slot.submitted) {
            slot.stale |= make_stale;
            slot.cancelled = true;
            flying[n++] = slot.transfer;
        }
    }
    return flying;
}

void FtdiReadStream::cancel(const Flying &flying) {
    // A transfer that completed meanwhile is not resubmitted while interrupted (nor resubmitted stale), so
    // cancelling it again is harmless.
    for (libusb_transfer *transfer : flying) {
        if (transfer != nullptr) {
            (void)libusb_cancel_transfer(transfer);
        }
    }
}

void FtdiReadStream::interrupt() {
    Flying flying{};
    {
        std::lock_guard lock(mutex);
        interrupted = true;
        flying = cancel_in_flight_locked(false);
    }
    cancel(flying); // outside the lock: a completion callback takes it
}

void FtdiReadStream::resume() {
    std::lock_guard lock(mutex);
    interrupted = false;
}

void FtdiReadStream::halt() {
    interrupt();
    std::unique_lock lock(mutex);
    const auto give_up = std::chrono::steady_clock::now() + halt_patience;
    while (count.in_flight > 0 && std::chrono::steady_clock::now() < give_up) {
        handle_events(lock);
    }
    // Transfers that are still out come back whenever libusb gets to them, long after the stream moved on:
    // what they carry is dropped, and they are not counted as queued on the chip.
    (void)cancel_in_flight_locked(true);
    left_alone = true;
    depth = transfer_count; // a refused submission is tried again at the next start
    count.queue_depth = depth;
}

void FtdiReadStream::drop_received_locked() {
    while (!received.empty()) {
        recycle(*received.front());
        received.pop_front();
    }
}

void FtdiReadStream::drop_unread(int step) {
    std::lock_guard lock(mutex);
    ++flushes;
    flushing += step;
    drop_received_locked();
    // The chip fills the transfers in the order they were submitted: the oldest in flight is the one filling.
    Slot *filling = nullptr;
    for (Slot &slot : slots) {
        if (slot.submitted && (filling == nullptr || slot.sequence < filling->sequence)) {
            filling = &slot;
        }
    }
    if (filling != nullptr) {
        filling->stale = true;
    }
}

FtdiReadStream::Counters FtdiReadStream::counters() const {
    std::lock_guard lock(mutex);
    return count;
}
