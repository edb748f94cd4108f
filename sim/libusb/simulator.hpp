#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

#include <libusb.h>

#include "pcb_roq_sim.h"
#include "sim_bus.hpp"
#include "sim_device.hpp"
#include "usb_objects.hpp"

namespace pcb_roq_sim {

// The simulated bus: the devices in enumeration order, the libusb objects handed out, the asynchronous
// transfers in flight, and the totals. One lock guards all of it; every blocking wait (a chip with no data,
// an event loop with nothing to do) sleeps on one condition variable with a monotonic deadline, and every
// change that could end such a wait notifies it. Every method may be called from any thread; the only
// exceptions are allocation failures, which the exported C functions turn into error codes.
class Simulator final : public SimBus {
public:

    // The one simulator of the process, configured from the environment on first use. It is never
    // destroyed, so threads still inside libusb calls at process exit find it intact.
    static Simulator &instance();

    // Control side (pcb_roq_sim.h). Failures return -1 and leave the reason in `error`.
    int configure(const char *spec, std::string &error) override;
    int reset(std::string &error) override;
    int add_device(const char *spec, std::string &error) override;
    int device_count() override;
    int find(const char *serial) override;
    int set_latency_scale(double scale, std::string &error) override;
    double latency_scale() override;
    int fail_init(int count, std::string &error) override;
    // Runs `change` on device `index` under the lock and wakes every waiter; -1 for a bad index.
    int with_device(int index, std::string &error,
                    const std::function<int(SimDevice &, Clock::time_point)> &change) override;
    const char *front_end() const override { return "libusb"; }
    // The stand-in answers libusb's calls itself: there are no URBs, endpoints to halt or kernel memory.
    bool plays_usbfs_faults() const override { return false; }
    int set_urb_memory_limit(std::uint64_t bytes, std::string &error) override;
    void get_stats(pcb_roq_sim_stats &out) override;
    void unplug(SimDevice &device) override;
    void replug(SimDevice &device, Clock::time_point now) override;

    // libusb side, with libusb's argument and result conventions.
    int init(libusb_context **context);
    void exit(libusb_context *context);
    ssize_t get_device_list(libusb_context *context, libusb_device ***list);
    void free_device_list(libusb_device **list, int unref_devices);
    libusb_device *ref_device(libusb_device *device);
    void unref_device(libusb_device *device);
    int get_device_descriptor(libusb_device *device, libusb_device_descriptor *descriptor);
    int get_config_descriptor(libusb_device *device, std::uint8_t index, libusb_config_descriptor **config);
    void free_config_descriptor(libusb_config_descriptor *config);
    int open(libusb_device *device, libusb_device_handle **handle);
    void close(libusb_device_handle *handle);
    int get_configuration(libusb_device_handle *handle, int *configuration);
    int set_configuration(libusb_device_handle *handle, int configuration);
    int claim_interface(libusb_device_handle *handle, int interface_number);
    int release_interface(libusb_device_handle *handle, int interface_number);
    int detach_kernel_driver(libusb_device_handle *handle, int interface_number);
    int get_string_descriptor_ascii(libusb_device_handle *handle, std::uint8_t index, unsigned char *data,
                                    int length);
    int control_transfer(libusb_device_handle *handle, std::uint8_t request_type, std::uint8_t request,
                         std::uint16_t value, std::uint16_t index, unsigned char *data, std::uint16_t length);
    int bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data, int length,
                      int *transferred, unsigned int timeout_ms);
    libusb_transfer *alloc_transfer(int iso_packets);
    int submit_transfer(libusb_transfer *transfer);
    int cancel_transfer(libusb_transfer *transfer);
    void free_transfer(libusb_transfer *transfer);
    int handle_events(libusb_context *context, const timeval *timeout, int *completed);

    static constexpr unsigned char in_endpoint = 0x81;
    static constexpr unsigned char out_endpoint = 0x02;

private:
    using Lock = std::unique_lock<std::mutex>;

    struct TransferState {
        bool submitted = false;
        bool cancelled = false;
        libusb_context *context = nullptr;
        std::shared_ptr<SimDevice> device;
        std::optional<PendingIn> in; // a bulk IN transfer the chip is filling
        int result = LIBUSB_SUCCESS; // an error known at submission (failed read, unknown endpoint)
        int out_done = 0;
        Clock::time_point deadline = Clock::time_point::max();
    };

    // Timer slack while a thread waits for the chip, in nanoseconds.
    static constexpr int timer_slack_ns = 1000;

    Simulator();
    int configure_locked(const char *spec, std::string &error, Clock::time_point now);
    // Applies an unplug whose time has come.
    void refresh(SimDevice &device, Clock::time_point now);
    bool alive(const libusb_device_handle *handle, Clock::time_point now);
    void unref_locked(libusb_device *device);
    // Works out a device's chip up to `now`, applying an unplug whose time has come first.
    void settle(SimDevice &device, Clock::time_point now);
    // When something may next change for a transfer pending on the device.
    Clock::time_point next_change(SimDevice &device, Clock::time_point now);
    void wait_until(Lock &lock, Clock::time_point wake);
    // Counts a bulk IN transfer; the injected read failure, when its turn has come.
    int count_bulk_read(SimDevice &device);
    int bulk_in(Lock &lock, libusb_device_handle *handle, unsigned char *data, int length, int &transferred,
                unsigned int timeout_ms);
    // Under the lock: whether an asynchronous transfer has ended (completed, failed, cancelled, timed out).
    bool finished(libusb_transfer *transfer, Clock::time_point now);
    // Under the lock: writes a finished transfer's status and length, and forgets it was submitted.
    void report(libusb_transfer *transfer);
    int bulk_out(libusb_device_handle *handle, int length, int &transferred);

    std::mutex mutex;
    std::condition_variable changed;

    std::vector<std::shared_ptr<SimDevice>> devices;
    std::uint8_t next_address = 1;
    double scale = 1.0;
    int failing_inits = 0;
    libusb_context *default_context = nullptr;

    std::unordered_map<libusb_transfer *, TransferState> transfers;
    std::deque<libusb_transfer *> pending;
    // Batches of ended transfers whose callbacks are running, by when they were taken.
    std::set<std::uint64_t> delivering;
    std::uint64_t deliveries = 0;

    pcb_roq_sim_stats totals{};
};

} // namespace pcb_roq_sim
