#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <umockdev.h>

#include "sim_bus.hpp"

namespace pcb_roq_sim {

// The simulated boards on an emulated Linux usbfs. A umockdev testbed shows each device in sysfs and as a node
// /dev/bus/usb/BBB/DDD; the real libusb opens that node and its ioctls (umockdev's preload forwards them) are
// answered here, on a GLib main context run by a thread of its own, as the kernel's usbfs would answer them:
// URBs submitted, filled by the chip model, reaped, discarded. The node is a FIFO that is writable (POLLOUT)
// exactly while a URB waits to be reaped, so libusb's event loop sleeps in poll() like on hardware.
//
// The client process is this one (the preload forwards ioctls to a socket served by our own thread), so the
// chip writes straight into the URB buffers the kernel would own, and reaping writes the URB's status in place.
//
// One lock guards all state. A clock thread wakes when a URB may next complete (latency timer, rate-limited
// board) and makes completions visible. Every method may be called from any thread.
class UsbfsBus final : public SimBus {
public:
    static UsbfsBus &instance();

    int configure(const char *spec, std::string &error) override;
    int reset(std::string &error) override;
    int add_device(const char *spec, std::string &error) override;
    int device_count() override;
    int find(const char *serial) override;
    int set_latency_scale(double scale, std::string &error) override;
    double latency_scale() override;
    int fail_init(int count, std::string &error) override;
    int with_device(int index, std::string &error,
                    const std::function<int(SimDevice &, Clock::time_point)> &change) override;
    void get_stats(pcb_roq_sim_stats &out) override;
    void unplug(SimDevice &device) override;
    void replug(SimDevice &device, Clock::time_point now) override;
    const char *front_end() const override { return "usbfs"; }
    bool plays_usbfs_faults() const override { return true; }
    int set_urb_memory_limit(std::uint64_t bytes, std::string &error) override;

private:
    using Lock = std::unique_lock<std::mutex>;
    struct Node;
    struct OpenFile;

    // One URB a client submitted, until it is reaped.
    struct Urb {
        unsigned long address = 0; // the client's struct usbdevfs_urb
        unsigned char endpoint = 0;
        bool continuation = false;
        std::uint64_t sequence = 0;
        std::size_t bytes = 0; // counted against the URB memory limit
        std::optional<PendingIn> in;
        bool done = false;
        Clock::time_point visible_at{}; // a late discard: reapable from then on
        int status = 0;
        int actual_length = 0;
    };

    // One open file of a device node (one umockdev client): its URBs and its claim.
    struct OpenFile {
        std::shared_ptr<Node> node;
        std::uint64_t generation = 0;
        std::list<Urb> urbs;          // submission order
        std::deque<Urb *> completed;  // completion order, not reaped yet
        std::deque<Urb *> late;       // discarded, coming back at their visible_at
        bool in_disabled = false;     // a short URB ended a split transfer: continuations fail until a new one
        bool counted = false;         // opened while the device was plugged: its close counts too
    };

    // One simulated device and its place in the testbed.
    struct Node : SimDevice {
        using SimDevice::SimDevice;
        Node(const Node &) = delete;
        Node &operator=(const Node &) = delete;
        ~Node();
        std::string devnode; // /dev/bus/usb/001/DDD
        std::string syspath; // /sys/devices/...
        int fifo = -1;       // our end of the node: holds one byte while nothing waits to be reaped
        std::vector<int> retired_fifos; // nodes of earlier plugs, left writable for files still open on them
        bool pollable = false;
        const OpenFile *claimed = nullptr;
        // Who holds interface 0, as sysfs shows it: a kernel driver, "usbfs" while a file claims it, or nobody.
        std::string driver;
    };

    UsbfsBus();
    std::shared_ptr<Node> make_node(DeviceConfig config, Clock::time_point now);

    // Testbed work runs on the main context's thread, in order; callers wait without the lock held.
    void post(std::function<void()> work);
    void run_posted(bool wait);
    void add_to_testbed(const std::shared_ptr<Node> &node);
    void remove_from_testbed(const std::string &devnode, const std::string &syspath);

    // Under the lock.
    bool stale(const OpenFile &file) const;
    void settle(Node &node, Clock::time_point now);
    void collect(Node &node);
    void finish(OpenFile &file, Urb &urb, int status);
    // Late discards whose time has come become reapable (all of them when `all`).
    void release_late(Node &node, Clock::time_point now, bool all);
    void update_pollable(Node &node);
    // The node refuses to be opened while its device is plugged and configured to refuse.
    void sync_refusal(Node &node);
    // The interface's sysfs `driver` link follows `node.driver`.
    void show_driver(const Node &node);
    // No file holds the interface and no driver is bound to it any more.
    void unbind(Node &node);
    // /sys/module/usbcore/parameters/usbfs_memory_mb follows the URB memory limit.
    void show_urb_memory_limit();
    void unplug_locked(Node &node, Clock::time_point when);
    Clock::time_point next_change(Node &node, Clock::time_point now);
    void clock_loop();

    // The ioctl handler (main context thread).
    static gboolean on_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer self);
    static void on_client_connected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer self);
    static void on_client_gone(gpointer self, GObject *client);
    long ioctl(OpenFile &file, unsigned long request, unsigned long argument, int &error);
    long submit(OpenFile &file, unsigned long address, int &error);
    long reap(OpenFile &file, unsigned long address, int &error);
    long discard(OpenFile &file, unsigned long address, int &error);
    int control(Node &node, unsigned char *setup_and_data, int data_length, Clock::time_point now);

    std::mutex control_mutex; // one reconfiguration at a time
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Node>> devices;
    std::unordered_map<std::string, std::shared_ptr<Node>> by_devnode; // devices on the bus now
    std::unordered_map<const void *, std::unique_ptr<OpenFile>> files; // by umockdev client
    std::deque<std::function<void()>> posted;
    std::uint64_t work_posted = 0;
    std::uint64_t work_done = 0; // testbed work runs in posting order: all up to this one has run
    std::condition_variable work_finished;
    std::uint8_t next_address = 2;
    double scale = 1.0;
    std::uint64_t urb_memory_limit = 0;
    std::uint64_t urb_memory = 0;
    std::int64_t live_urbs = 0;
    std::uint64_t submissions = 0;

    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::string root;
    GMainContext *context = nullptr;
    std::thread loop_thread;
    std::thread clock_thread;
};

} // namespace pcb_roq_sim
