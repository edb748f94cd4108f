// Control and bulk transfers, synchronous and asynchronous.
#include <algorithm>
#include <cstdlib>

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

int Simulator::bulk_in(Lock &lock, libusb_device_handle *handle, unsigned char *data, int length, int &transferred,
                       unsigned int timeout_ms, const bool *cancelled) {
    transferred = 0;
    auto now = Clock::now();
    if (!alive(handle, now)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    SimDevice &device = *handle->sim;
    ++device.bulk_reads;
    if (device.fail_read_countdown > 0 && --device.fail_read_countdown == 0) {
        ++device.bulk_read_errors;
        return device.fail_read_code;
    }
    const auto transfer_deadline =
        timeout_ms == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeout_ms);
    constexpr int status_size = sizeof Ft232hChip::modem_status;
    constexpr int packet_data = Ft232hChip::packet_size - status_size;

    // Packet by packet: a full packet as soon as the FIFO holds enough, otherwise whatever it holds (maybe
    // nothing) when the latency timer runs out. A short packet ends the transfer.
    while (length - transferred > status_size) {
        const int capacity = std::min(packet_data, length - transferred - status_size);
        const auto latency_deadline = now + latency_wait(device);
        const auto packet_deadline = std::min(latency_deadline, transfer_deadline);
        std::uint64_t wanted = std::min<std::uint64_t>(capacity, device.chip.fifo_size());
        for (;;) {
            if (cancelled != nullptr && *cancelled) {
                return cancelled_result;
            }
            if (!alive(handle, now)) {
                return LIBUSB_ERROR_NO_DEVICE;
            }
            if (device.chip.held(now) >= wanted || now >= packet_deadline) {
                break;
            }
            auto wake = std::min(packet_deadline, device.chip.when_held(wanted, now));
            if (device.unplug_at) {
                wake = std::min(wake, *device.unplug_at);
            }
            changed.wait_until(lock, std::max(wake, now + std::chrono::microseconds(20)));
            now = Clock::now();
        }
        if (device.chip.held(now) < wanted && now >= transfer_deadline && transfer_deadline <= latency_deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        std::size_t allowed = static_cast<std::size_t>(capacity);
        if (device.unplug_after_bytes) {
            allowed = static_cast<std::size_t>(std::min<std::uint64_t>(allowed, *device.unplug_after_bytes));
        }
        const BoardStream::Fill fill = device.chip.deliver(now, data + transferred + status_size, allowed);
        data[transferred] = Ft232hChip::modem_status[0];
        data[transferred + 1] = Ft232hChip::modem_status[1];
        transferred += status_size + static_cast<int>(fill.written);
        device.bytes_delivered += static_cast<std::int64_t>(fill.written);
        if (fill.written == 0) {
            ++device.status_only_packets;
        }
        if (device.unplug_after_bytes) {
            *device.unplug_after_bytes -= fill.written;
            if (*device.unplug_after_bytes == 0) {
                // What was on the wire arrives; everything after it meets a missing device.
                unplug(device);
                break;
            }
        }
        if (status_size + static_cast<int>(fill.written) < Ft232hChip::packet_size) {
            break;
        }
    }
    return LIBUSB_SUCCESS;
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
        result = bulk_in(lock, handle, data, length, done, timeout_ms, nullptr);
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
    if (!alive(transfer->dev_handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK) {
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    state.submitted = true;
    state.cancelled = false;
    state.context = transfer->dev_handle->device->context;
    pending.push_back(transfer);
    changed.notify_all();
    return LIBUSB_SUCCESS;
}

int Simulator::cancel_transfer(libusb_transfer *transfer) {
    Lock lock(mutex);
    auto found = transfers.find(transfer);
    if (found == transfers.end() || !found->second.submitted || found->second.cancelled) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    found->second.cancelled = true;
    changed.notify_all();
    return LIBUSB_SUCCESS;
}

void Simulator::free_transfer(libusb_transfer *transfer) {
    if (transfer == nullptr) {
        return;
    }
    {
        Lock lock(mutex);
        if (transfers.erase(transfer) == 0) {
            return;
        }
        std::erase(pending, transfer);
        --totals.live_transfers;
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
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
        auto next = std::find_if(pending.begin(), pending.end(),
                                 [&](libusb_transfer *t) { return transfers.at(t).context == context; });
        if (next != pending.end()) {
            libusb_transfer *transfer = *next;
            pending.erase(next);
            // Transfers run to completion here, in the thread that handles events, as libusb's would
            // complete while it polls; other threads may cancel them meanwhile.
            TransferState &state = transfers.at(transfer);
            int done = 0;
            int result = cancelled_result;
            if (!state.cancelled) {
                if ((transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0) {
                    result = transfer->endpoint == in_endpoint
                                 ? bulk_in(lock, transfer->dev_handle, transfer->buffer, transfer->length, done,
                                           transfer->timeout, &state.cancelled)
                                 : LIBUSB_ERROR_NOT_FOUND;
                } else {
                    result = transfer->endpoint == out_endpoint ? bulk_out(transfer->dev_handle, transfer->length, done)
                                                                : LIBUSB_ERROR_NOT_FOUND;
                }
            }
            transfer->actual_length = done;
            transfer->status = result == cancelled_result ? LIBUSB_TRANSFER_CANCELLED : transfer_status(result);
            state.submitted = false;
            state.cancelled = false;
            const bool free_after = (transfer->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
            lock.unlock();
            if (transfer->callback != nullptr) {
                transfer->callback(transfer);
            }
            if (free_after) {
                free_transfer(transfer);
            }
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_SUCCESS;
        }
        changed.wait_until(lock, deadline);
        now = Clock::now();
    }
}

} // namespace pcb_roq_sim
