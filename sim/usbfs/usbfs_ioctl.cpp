// The usbfs ioctls, answered as the kernel's devio.c answers them, and the URBs' life from submission to reaping.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "usb_descriptors.hpp"
#include "usbfs_bus.hpp"

namespace pcb_roq_sim {

namespace {

constexpr unsigned char in_endpoint = 0x81;
constexpr unsigned char out_endpoint = 0x02;

// The URB status a host controller reports for what libusb would call `code`.
int urb_status(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return 0;
    case LIBUSB_ERROR_PIPE:
        return -EPIPE;
    case LIBUSB_ERROR_NO_DEVICE:
        return -ESHUTDOWN;
    case LIBUSB_ERROR_OVERFLOW:
        return -EOVERFLOW;
    case LIBUSB_ERROR_TIMEOUT:
        return -ETIME;
    default:
        return -EPROTO; // a transaction error: libusb's LIBUSB_TRANSFER_ERROR, read as LIBUSB_ERROR_IO
    }
}

} // namespace

bool UsbfsBus::stale(const OpenFile &file) const {
    return !file.node->plugged || file.generation != file.node->generation;
}

void UsbfsBus::finish(OpenFile &file, Urb &urb, int status) {
    urb.done = true;
    urb.status = status;
    if (urb.in) {
        urb.actual_length = urb.in->transferred;
    }
    file.completed.push_back(&urb);
}

void UsbfsBus::release_late(Node &node, Clock::time_point now, bool all) {
    for (auto &[client, file] : files) {
        if (file->node.get() != &node) {
            continue;
        }
        while (!file->late.empty() && (all || file->late.front()->visible_at <= now)) {
            file->completed.push_back(file->late.front());
            file->late.pop_front();
        }
    }
}

void UsbfsBus::collect(Node &node) {
    for (auto &[client, file] : files) {
        if (file->node.get() != &node) {
            continue;
        }
        for (Urb &urb : file->urbs) {
            if (urb.done || !urb.in || !urb.in->done) {
                continue;
            }
            if (urb.in->unlinked) {
                finish(*file, urb, -ECONNRESET);
            } else if (urb.in->ended_short) {
                finish(*file, urb, -EREMOTEIO);
                // The kernel refuses further continuations of this split transfer, unless a new transfer has
                // already begun behind it.
                file->in_disabled = std::none_of(file->urbs.begin(), file->urbs.end(), [&](const Urb &later) {
                    return !later.done && later.endpoint == in_endpoint && later.sequence > urb.sequence &&
                           !later.continuation;
                });
            } else {
                finish(*file, urb, urb_status(urb.in->result));
            }
        }
    }
    update_pollable(node);
}

void UsbfsBus::update_pollable(Node &node) {
    bool ready = false;
    for (auto &[client, file] : files) {
        if (file->node.get() == &node && !file->completed.empty()) {
            ready = true;
            break;
        }
    }
    if (ready == node.pollable || node.fifo < 0) {
        return;
    }
    char byte = 0;
    if (ready ? ::read(node.fifo, &byte, 1) == 1 : ::write(node.fifo, &byte, 1) == 1) {
        node.pollable = ready;
    }
}

void UsbfsBus::settle(Node &node, Clock::time_point now) {
    if (!node.plugged) {
        return;
    }
    if (node.unplug_at && now >= *node.unplug_at) {
        unplug_locked(node, *node.unplug_at);
        return;
    }
    node.chip.advance(now);
    release_late(node, now, false);
    collect(node);
    if (node.chip.delivery_limit_reached()) {
        unplug_locked(node, now); // what was on the wire arrived; everything after it meets a missing device
    }
}

void UsbfsBus::unplug_locked(Node &node, Clock::time_point when) {
    if (!node.plugged) {
        return;
    }
    node.chip.advance(when);
    collect(node);
    // The URB on the wire when the device goes fails with a transaction error; the queued ones are shut down.
    Urb *active = nullptr;
    for (auto &[client, file] : files) {
        if (file->node.get() != &node) {
            continue;
        }
        for (Urb &urb : file->urbs) {
            if (!urb.done && urb.in && (active == nullptr || urb.sequence < active->sequence)) {
                active = &urb;
            }
        }
    }
    node.chip.abort_all(LIBUSB_ERROR_NO_DEVICE, when);
    release_late(node, when, true);
    node.chip.set_delivery_limit(std::nullopt, when);
    for (auto &[client, file] : files) {
        if (file->node.get() != &node) {
            continue;
        }
        for (Urb &urb : file->urbs) {
            if (!urb.done) {
                finish(*file, urb, &urb == active ? -EPROTO : -ESHUTDOWN);
            }
        }
    }
    node.plugged = false;
    ++node.generation;
    by_devnode.erase(node.devnode); // a file opened on it from now on finds no device
    sync_refusal(node);
    node.claimed = nullptr;
    node.claimed_by = nullptr;
    node.unplug_at.reset();
    update_pollable(node);
    post([this, devnode = node.devnode, syspath = node.syspath] { remove_from_testbed(devnode, syspath); });
    changed.notify_all();
}

void UsbfsBus::on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    auto &bus = *static_cast<UsbfsBus *>(self);
    {
        Lock lock(bus.mutex);
        auto found = bus.by_devnode.find(umockdev_ioctl_client_get_devnode(client));
        if (found == bus.by_devnode.end()) {
            return;
        }
        auto file = std::make_unique<OpenFile>();
        file->node = found->second;
        file->generation = file->node->generation;
        file->counted = true;
        if (file->counted) {
            ++file->node->opens;
        }
        bus.files[client] = std::move(file);
    }
    // umockdev does not say when a client closes its file; its client object goes when it does.
    g_object_weak_ref(G_OBJECT(client), on_client_gone, self);
}

void UsbfsBus::on_client_gone(gpointer self, GObject *client) {
    auto &bus = *static_cast<UsbfsBus *>(self);
    Lock lock(bus.mutex);
    auto found = bus.files.find(client);
    if (found == bus.files.end()) {
        return;
    }
    OpenFile &file = *found->second;
    Node &node = *file.node;
    const auto now = Clock::now();
    for (Urb &urb : file.urbs) {
        if (urb.in && !urb.done) {
            node.chip.withdraw(*urb.in, now); // closing a file kills its URBs: the chip must not write on
        }
        bus.urb_memory -= urb.bytes;
        --bus.live_urbs;
    }
    if (node.claimed == &file) {
        node.claimed = nullptr;
        node.claimed_by = nullptr;
        if (node.plugged) {
            node.driver.clear();
            bus.show_driver(node);
        }
    }
    if (file.counted) {
        ++node.closes;
    }
    bus.files.erase(found);
    bus.update_pollable(node);
    bus.changed.notify_all();
}

gboolean UsbfsBus::on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    auto &bus = *static_cast<UsbfsBus *>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    // The raw argument as the client passed it. The client is this process, so its pointers are ours.
    unsigned long argument = 0;
    std::memcpy(&argument, arg->data, sizeof argument);
    long result = -1;
    int error = ENODEV;
    {
        Lock lock(bus.mutex);
        auto found = bus.files.find(client);
        if (found != bus.files.end()) {
            result = bus.ioctl(*found->second, request, argument, error);
        }
    }
    if (result >= 0) {
        error = 0;
    }
    umockdev_ioctl_client_complete(client, result, error);
    bus.run_posted(false);
    return TRUE;
}

long UsbfsBus::ioctl(OpenFile &file, unsigned long request, unsigned long argument, int &error) {
    Node &node = *file.node;
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        return reap(file, argument, error);
    }
    if (stale(file)) {
        error = ENODEV;
        return -1;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        std::uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_ZERO_PACKET |
                             USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        if (node.config.scatter_gather) {
            caps |= USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        }
        std::memcpy(reinterpret_cast<void *>(argument), &caps, sizeof caps);
        return 0;
    }
    case USBDEVFS_SUBMITURB:
        return submit(file, argument, error);
    case USBDEVFS_DISCARDURB:
        return discard(file, argument, error);
    case USBDEVFS_CLAIMINTERFACE: {
        unsigned int interface_number = 0;
        std::memcpy(&interface_number, reinterpret_cast<void *>(argument), sizeof interface_number);
        if (interface_number != 0) {
            error = ENOENT;
            return -1;
        }
        if ((node.claimed != nullptr && node.claimed != &file) || (node.claimed == nullptr && !node.driver.empty())) {
            error = EBUSY; // another program's claim, or a kernel driver nobody detached
            return -1;
        }
        node.claimed = &file;
        node.driver = "usbfs";
        show_driver(node);
        // The stats only ask whether someone holds the claim; the stand-in's handle type stands for the file.
        node.claimed_by = reinterpret_cast<const libusb_device_handle *>(&file);
        node.last_claimed_interface = 0;
        return 0;
    }
    case USBDEVFS_RELEASEINTERFACE:
        if (node.claimed != &file) {
            error = EINVAL;
            return -1;
        }
        unbind(node);
        return 0;
    case USBDEVFS_SETCONFIGURATION: {
        int value = 0;
        std::memcpy(&value, reinterpret_cast<void *>(argument), sizeof value);
        node.configuration = value;
        return 0;
    }
    case USBDEVFS_CLEAR_HALT: {
        unsigned int endpoint = 0;
        std::memcpy(&endpoint, reinterpret_cast<void *>(argument), sizeof endpoint);
        if (endpoint == in_endpoint) {
            node.in_halted = false;
        }
        return 0;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        return 0;
    case USBDEVFS_CONTROL: {
        auto *transfer = reinterpret_cast<usbdevfs_ctrltransfer *>(argument);
        std::vector<unsigned char> buffer(8 + transfer->wLength);
        buffer[0] = transfer->bRequestType;
        buffer[1] = transfer->bRequest;
        std::memcpy(&buffer[2], &transfer->wValue, 2);
        std::memcpy(&buffer[4], &transfer->wIndex, 2);
        std::memcpy(&buffer[6], &transfer->wLength, 2);
        if ((transfer->bRequestType & 0x80) == 0 && transfer->wLength > 0) {
            std::memcpy(&buffer[8], transfer->data, transfer->wLength);
        }
        const int done = control(node, buffer.data(), transfer->wLength, Clock::now());
        if (done < 0) {
            error = done == LIBUSB_ERROR_PIPE ? EPIPE : EPROTO;
            return -1;
        }
        if ((transfer->bRequestType & 0x80) != 0) {
            std::memcpy(transfer->data, &buffer[8], static_cast<std::size_t>(done));
        }
        return done;
    }
    case USBDEVFS_GETDRIVER: {
        auto *query = reinterpret_cast<usbdevfs_getdriver *>(argument);
        if (query->interface != 0 || node.driver.empty()) {
            error = ENODATA; // no driver is bound to the interface
            return -1;
        }
        std::snprintf(query->driver, sizeof query->driver, "%s", node.driver.c_str());
        return 0;
    }
    case USBDEVFS_IOCTL: {
        const auto *command = reinterpret_cast<const usbdevfs_ioctl *>(argument);
        if (command->ifno != 0) {
            error = EINVAL;
            return -1;
        }
        if (command->ioctl_code == USBDEVFS_DISCONNECT) {
            if (node.driver.empty()) {
                error = ENODATA;
                return -1;
            }
            unbind(node); // whoever holds the interface, another file's claim included (libusb asks first)
            return 0;
        }
        if (command->ioctl_code == USBDEVFS_CONNECT) {
            if (!node.driver.empty() || node.config.kernel_driver.empty()) {
                return 0; // nothing (more) to bind
            }
            node.driver = node.config.kernel_driver;
            show_driver(node);
            return 1;
        }
        error = ENOTTY;
        return -1;
    }
    default:
        error = ENOTTY;
        return -1;
    }
}

int UsbfsBus::control(Node &node, unsigned char *setup, int data_length, Clock::time_point now) {
    // The bulk URBs that completed before this request reached the chip are ahead of it in the completion order,
    // as a host controller reports them: a purge must not overtake the bytes that came before it.
    settle(node, now);
    if (!node.plugged) {
        return LIBUSB_ERROR_IO; // it went while the request was on the wire
    }
    const unsigned char type = setup[0];
    const unsigned char request = setup[1];
    const auto value = static_cast<std::uint16_t>(setup[2] | setup[3] << 8);
    const int length = std::min<int>(setup[6] | setup[7] << 8, data_length);
    unsigned char *data = setup + 8;
    if ((type & 0x60) == 0x40) {
        return node.chip.vendor_request(type, request, value, data, static_cast<std::uint16_t>(length), now);
    }
    if (type == 0x80 && request == 0x06) { // GET_DESCRIPTOR
        std::optional<std::vector<unsigned char>> bytes;
        switch (value >> 8) {
        case 1:
            bytes = device_descriptor(node.config);
            break;
        case 2:
            bytes = configuration_descriptor(node.config);
            break;
        case 3:
            bytes = string_descriptor(node.config, static_cast<std::uint8_t>(value & 0xFF));
            break;
        default:
            break;
        }
        if (!bytes) {
            return LIBUSB_ERROR_PIPE;
        }
        const int count = std::min<int>(length, static_cast<int>(bytes->size()));
        std::memcpy(data, bytes->data(), static_cast<std::size_t>(count));
        return count;
    }
    return (type & 0x80) != 0 ? LIBUSB_ERROR_PIPE : 0;
}

long UsbfsBus::submit(OpenFile &file, unsigned long address, int &error) {
    Node &node = *file.node;
    auto *user = reinterpret_cast<usbdevfs_urb *>(address);
    if (user->buffer_length < 0 || (user->buffer_length > 0 && user->buffer == nullptr)) {
        error = EINVAL;
        return -1;
    }
    const auto bytes = static_cast<std::size_t>(user->buffer_length);
    if (urb_memory_limit != 0 && urb_memory + bytes > urb_memory_limit) {
        error = ENOMEM; // usbfs_memory_mb: the machine's URBs in flight would take more than allowed
        return -1;
    }
    const bool continuation = (user->flags & USBDEVFS_URB_BULK_CONTINUATION) != 0;
    const auto now = Clock::now();
    int status = 0;
    int actual = 0;
    bool queue_in = false;
    if (user->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (user->buffer_length < 8) {
            error = EINVAL;
            return -1;
        }
        const int done = control(node, static_cast<unsigned char *>(user->buffer), user->buffer_length - 8, now);
        status = done >= 0 ? 0 : done == LIBUSB_ERROR_PIPE ? -EPIPE : -EPROTO;
        actual = std::max(done, 0);
    } else if (user->type != USBDEVFS_URB_TYPE_BULK) {
        error = EINVAL;
        return -1;
    } else if (user->endpoint == in_endpoint) {
        if (continuation && file.in_disabled) {
            error = EREMOTEIO; // an earlier URB of this split transfer was short
            return -1;
        }
        if (!continuation) {
            file.in_disabled = false;
        }
        ++node.bulk_reads;
        if (node.fail_read_countdown > 0 && --node.fail_read_countdown == 0) {
            ++node.bulk_read_errors;
            status = urb_status(node.fail_read_code);
        } else if (node.stall_countdown > 0 && --node.stall_countdown == 0) {
            ++node.bulk_read_errors;
            node.in_halted = true;
        }
        if (status == 0 && node.in_halted) {
            status = -EPIPE; // a halted endpoint fails every URB until the host clears the halt
        }
        queue_in = status == 0;
    } else if (user->endpoint == out_endpoint) {
        node.bytes_written += user->buffer_length;
        actual = user->buffer_length;
    } else {
        error = ENOENT;
        return -1;
    }
    Urb &urb = file.urbs.emplace_back();
    urb.address = address;
    urb.endpoint = user->endpoint;
    urb.continuation = continuation;
    urb.sequence = ++submissions;
    urb.bytes = bytes;
    urb_memory += bytes;
    ++live_urbs;
    if (queue_in) {
        // The chip writes its packets straight into the client's buffer, as the host controller's DMA would.
        urb.in.emplace(static_cast<unsigned char *>(user->buffer), user->buffer_length);
        urb.in->short_not_ok = (user->flags & USBDEVFS_URB_SHORT_NOT_OK) != 0;
        urb.in->continuation = continuation;
        node.chip.queue(*urb.in, now);
        settle(node, now);
    } else {
        urb.actual_length = actual;
        finish(file, urb, status);
        update_pollable(node);
    }
    changed.notify_all();
    return 0;
}

long UsbfsBus::reap(OpenFile &file, unsigned long address, int &error) {
    Node &node = *file.node;
    if (!stale(file)) {
        settle(node, Clock::now());
    }
    if (file.completed.empty()) {
        error = stale(file) ? ENODEV : EAGAIN;
        return -1;
    }
    Urb *urb = file.completed.front();
    file.completed.pop_front();
    auto *user = reinterpret_cast<usbdevfs_urb *>(urb->address);
    user->status = urb->status;
    user->actual_length = urb->actual_length;
    const auto urb_address = reinterpret_cast<void *>(urb->address);
    std::memcpy(reinterpret_cast<void *>(address), &urb_address, sizeof urb_address);
    urb_memory -= urb->bytes;
    --live_urbs;
    file.urbs.remove_if([&](const Urb &candidate) { return &candidate == urb; });
    update_pollable(node);
    return 0;
}

long UsbfsBus::discard(OpenFile &file, unsigned long address, int &error) {
    Node &node = *file.node;
    const auto now = Clock::now();
    settle(node, now);
    auto found = std::find_if(file.urbs.begin(), file.urbs.end(),
                              [&](const Urb &urb) { return urb.address == address && !urb.done; });
    if (found == file.urbs.end() || !found->in) {
        error = EINVAL; // finished already (waiting to be reaped) or never submitted
        return -1;
    }
    Urb &urb = *found;
    node.chip.withdraw(*urb.in, now); // keeps what its packets received; the packet being filled goes short
    if (node.race_discard && urb.in->transferred > 0) {
        finish(file, urb, 0); // it completed on the wire before the unlink reached it
        update_pollable(node);
        error = EINVAL;
        return -1;
    }
    if (node.discard_delay_ms > 0) {
        urb.done = true;
        urb.status = -ECONNRESET;
        urb.actual_length = urb.in->transferred;
        urb.visible_at = now + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double, std::milli>(node.discard_delay_ms));
        file.late.push_back(&urb);
    } else {
        finish(file, urb, -ECONNRESET);
    }
    update_pollable(node);
    changed.notify_all();
    return 0;
}

} // namespace pcb_roq_sim
