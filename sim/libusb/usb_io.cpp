// Control and bulk transfers, synchronous and asynchronous.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <sys/prctl.h>

#include "simulator.hpp"

namespace pcb_roq_sim {

namespace {

libusb_transfer_status transfer_status(int result) {
    switch (result) {
    case LIBUSB_SUCCESS:
        return LIBUSB_TRANSFER_COMPLETED;
    case LIBUSB_ERROR_TIMEOUT:
        return LIBUSB_TRANSFER_TIMED_OUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return LIBUSB_TRANSFER_NO_DEVICE;
    case LIBUSB_ERROR_PIPE:
        return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_OVERFLOW:
        return LIBUSB_TRANSFER_OVERFLOW;
    default:
        return LIBUSB_TRANSFER_ERROR;
    }
}

// Set while this thread runs transfer callbacks.
thread_local bool delivering_here = false;

struct Delivering {
    Delivering() { delivering_here = true; }
    ~Delivering() { delivering_here = false; }
    Delivering(const Delivering &) = delete;
    Delivering &operator=(const Delivering &) = delete;
};

} // namespace

int Simulator::control_transfer(libusb_device_handle *handle, std::uint8_t request_type, std::uint8_t request,
                                std::uint16_t value, std::uint16_t index, unsigned char *data,
                                std::uint16_t length) {
    (void)index; // the FT232H has one port, whatever index the host names
    Lock lock(mutex);
    const auto now = Clock::now();
    if (!alive(handle, now)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const int result = handle->sim->chip.vendor_request(request_type, request, value, data, length, now);
    changed.notify_all();
    if (delivering_here) {
        return result; // a callback's own request: libusb would not handle events for it either
    }
    // libusb waits for a synchronous transfer by handling events, so the callbacks of the transfers that ended
    // before it have all run when it returns: a purge never overtakes the bytes that came before it.
    const std::uint64_t before = deliveries;
    libusb_context *context = handle->device->context;
    lock.unlock();
    const timeval now_only{0, 0};
    (void)handle_events(context, &now_only, nullptr);
    lock.lock();
    changed.wait(lock, [&] { return delivering.empty() || *delivering.begin() >= before; });
    return result;
}

int Simulator::bulk_out(libusb_device_handle *handle, int length, int &transferred) {
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    // The board ignores what the host writes; the chip takes it all at once.
    handle->sim->bytes_written += length;
    transferred = length;
    return LIBUSB_SUCCESS;
}

void Simulator::settle(SimDevice &device, Clock::time_point now) {
    refresh(device, now);
    if (!device.plugged) {
        return;
    }
    device.chip.advance(now);
    if (device.chip.delivery_limit_reached()) {
        // What was on the wire arrives; everything after it meets a missing device.
        unplug(device);
    }
}

Simulator::Clock::time_point Simulator::next_change(SimDevice &device, Clock::time_point now) {
    auto wake = device.chip.next_completion(now);
    if (device.unplug_at) {
        wake = std::min(wake, *device.unplug_at);
    }
    return wake;
}

int Simulator::bulk_in(Lock &lock, libusb_device_handle *handle, unsigned char *data, int length, int &transferred,
                       unsigned int timeout_ms) {
    transferred = 0;
    auto now = Clock::now();
    if (!alive(handle, now)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const std::shared_ptr<SimDevice> device = handle->sim;
    if (int failure = count_bulk_read(*device); failure != LIBUSB_SUCCESS) {
        return failure;
    }
    const auto deadline = timeout_ms == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeout_ms);
    PendingIn transfer(data, length);
    device->chip.queue(transfer, now);
    // The chip points at this frame's transfer until it is done: take it back on every way out.
    struct Withdraw {
        SimDevice &device;
        PendingIn &transfer;
        ~Withdraw() { device.chip.withdraw(transfer, Clock::now()); }
    } withdraw{*device, transfer};
    for (;;) {
        settle(*device, now);
        if (transfer.done) {
            break;
        }
        if (now >= deadline) {
            device->chip.withdraw(transfer, now);
            transferred = transfer.transferred;
            return LIBUSB_ERROR_TIMEOUT;
        }
        wait_until(lock, std::min(deadline, next_change(*device, now)));
        now = Clock::now();
    }
    transferred = transfer.transferred;
    return transfer.result;
}

int Simulator::count_bulk_read(SimDevice &device) {
    ++device.bulk_reads;
    if (device.fail_read_countdown > 0 && --device.fail_read_countdown == 0) {
        ++device.bulk_read_errors;
        return device.fail_read_code;
    }
    return LIBUSB_SUCCESS;
}

void Simulator::wait_until(Lock &lock, Clock::time_point wake) {
    // A completed URB wakes its host thread from an interrupt, not from a timer: keep the kernel's default
    // 50 us timer slack from adding to every wake-up, which real hardware would not see.
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > timer_slack_ns) {
        prctl(PR_SET_TIMERSLACK, timer_slack_ns, 0, 0, 0);
    }
    changed.wait_until(lock, std::max(wake, Clock::now() + std::chrono::microseconds(2)));
    if (slack > timer_slack_ns) {
        prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
    }
}

int Simulator::bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data, int length,
                             int *transferred, unsigned int timeout_ms) {
    if (handle == nullptr || length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Lock lock(mutex);
    int done = 0;
    int result = LIBUSB_ERROR_NOT_FOUND;
    if (endpoint == in_endpoint) {
        result = bulk_in(lock, handle, data, length, done, timeout_ms);
    } else if (endpoint == out_endpoint) {
        result = bulk_out(handle, length, done);
    }
    if (transferred != nullptr) {
        *transferred = done;
    }
    return result;
}

libusb_transfer *Simulator::alloc_transfer(int iso_packets) {
    if (iso_packets < 0) {
        return nullptr;
    }
    const std::size_t size = sizeof(libusb_transfer) +
                             static_cast<std::size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    auto *transfer = static_cast<libusb_transfer *>(std::calloc(1, size));
    if (transfer == nullptr) {
        return nullptr;
    }
    transfer->num_iso_packets = iso_packets;
    Lock lock(mutex);
    transfers.emplace(transfer, TransferState{});
    ++totals.live_transfers;
    return transfer;
}

int Simulator::submit_transfer(libusb_transfer *transfer) {
    Lock lock(mutex);
    auto found = transfers.find(transfer);
    if (found == transfers.end() || transfer->dev_handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    TransferState &state = found->second;
    if (state.submitted) {
        return LIBUSB_ERROR_BUSY;
    }
    const auto now = Clock::now();
    if (!alive(transfer->dev_handle, now)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK) {
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    if (transfer->length < 0 || (transfer->buffer == nullptr && transfer->length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    pending.push_back(transfer);
    state.submitted = true;
    state.cancelled = false;
    state.context = transfer->dev_handle->device->context;
    state.device = transfer->dev_handle->sim;
    state.in.reset();
    state.result = LIBUSB_SUCCESS;
    state.deadline = transfer->timeout == 0 ? Clock::time_point::max()
                                            : now + std::chrono::milliseconds(transfer->timeout);
    if (transfer->endpoint == in_endpoint) {
        state.result = count_bulk_read(*state.device);
        if (state.result == LIBUSB_SUCCESS) {
            // Queued on the chip now: it fills while no thread handles events, as the host controller would.
            state.in.emplace(transfer->buffer, transfer->length);
            state.device->chip.queue(*state.in, now);
        }
    } else if (transfer->endpoint == out_endpoint) {
        int done = 0;
        state.result = bulk_out(transfer->dev_handle, transfer->length, done);
        state.out_done = done;
    } else {
        state.result = LIBUSB_ERROR_NOT_FOUND;
    }
    changed.notify_all();
    return LIBUSB_SUCCESS;
}

int Simulator::cancel_transfer(libusb_transfer *transfer) {
    Lock lock(mutex);
    auto found = transfers.find(transfer);
    if (found == transfers.end() || !found->second.submitted || found->second.cancelled) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    TransferState &state = found->second;
    state.cancelled = true;
    if (state.in) {
        state.device->chip.withdraw(*state.in, Clock::now());
    }
    changed.notify_all();
    return LIBUSB_SUCCESS;
}

void Simulator::free_transfer(libusb_transfer *transfer) {
    if (transfer == nullptr) {
        return;
    }
    {
        Lock lock(mutex);
        auto found = transfers.find(transfer);
        if (found == transfers.end()) {
            return;
        }
        // Freeing a submitted transfer is the caller's mistake; the chip must not keep writing into it.
        if (found->second.in) {
            found->second.device->chip.withdraw(*found->second.in, Clock::now());
        }
        transfers.erase(found);
        std::erase(pending, transfer);
        --totals.live_transfers;
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
}

bool Simulator::finished(libusb_transfer *transfer, Clock::time_point now) {
    TransferState &state = transfers.at(transfer);
    if (state.cancelled || state.result != LIBUSB_SUCCESS || !state.in) {
        return true;
    }
    settle(*state.device, now);
    if (state.in->done) {
        return true;
    }
    if (now >= state.deadline) {
        state.device->chip.withdraw(*state.in, now);
        state.result = LIBUSB_ERROR_TIMEOUT;
        return true;
    }
    return false;
}

void Simulator::report(libusb_transfer *transfer) {
    TransferState &state = transfers.at(transfer);
    int result = state.result;
    if (state.in) {
        transfer->actual_length = state.in->transferred;
        if (result == LIBUSB_SUCCESS) {
            result = state.in->result;
        }
    } else {
        transfer->actual_length = result == LIBUSB_SUCCESS ? state.out_done : 0;
    }
    transfer->status = state.cancelled ? LIBUSB_TRANSFER_CANCELLED : transfer_status(result);
    state.submitted = false;
    state.cancelled = false;
    state.in.reset();
    state.device.reset();
}

int Simulator::handle_events(libusb_context *context, const timeval *timeout, int *completed) {
    Lock lock(mutex);
    if (context == nullptr) {
        context = default_context;
    }
    auto now = Clock::now();
    const auto deadline = timeout == nullptr
                              ? now
                              : now + std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
    for (;;) {
        if (completed != nullptr && *completed != 0) {
            return LIBUSB_SUCCESS;
        }
        // Every transfer of this context that has ended is reported, oldest submission first, as libusb reaps
        // all the URBs that are ready in one pass.
        std::vector<libusb_transfer *> ready;
        auto wake = deadline;
        for (libusb_transfer *transfer : pending) {
            TransferState &state = transfers.at(transfer);
            if (state.context != context) {
                continue;
            }
            if (finished(transfer, now)) {
                ready.push_back(transfer);
            } else {
                wake = std::min({wake, next_change(*state.device, now), state.deadline});
            }
        }
        if (!ready.empty()) {
            for (libusb_transfer *transfer : ready) {
                std::erase(pending, transfer);
                report(transfer);
            }
            const std::uint64_t batch = deliveries++;
            delivering.insert(batch);
            lock.unlock();
            {
                const Delivering here;
                for (libusb_transfer *transfer : ready) {
                    const bool free_after = (transfer->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
                    if (transfer->callback != nullptr) {
                        transfer->callback(transfer);
                    }
                    if (free_after) {
                        free_transfer(transfer);
                    }
                }
            }
            lock.lock();
            delivering.erase(batch);
            changed.notify_all();
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_SUCCESS;
        }
        wait_until(lock, wake);
        now = Clock::now();
    }
}

} // namespace pcb_roq_sim
