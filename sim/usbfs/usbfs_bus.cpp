#include "usbfs_bus.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "refused_open.hpp"
#include "usb_descriptors.hpp"

namespace pcb_roq_sim {

namespace {

constexpr const char *devices_variable = "PCB_ROQ_SIM";
constexpr const char *scale_variable = "PCB_ROQ_SIM_LATENCY_SCALE";
constexpr const char *default_spec = "board";
constexpr int bus_number = 1;
// A completed URB wakes its reader from an interrupt on hardware, not from a timer.
constexpr int timer_slack_ns = 1000;

bool parse_scale(const char *text, double &out) {
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0) || value > 1e6) {
        return false;
    }
    out = value;
    return true;
}

std::string hex(const std::vector<unsigned char> &bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 0x0F]);
    }
    return out;
}

// Plain bytes, not a std::string: the library's constructor may run before this file's dynamic initialisers,
// and the directory must still be named when the process exits.
char testbed_root[4096];

// libusb lists the devices it scans in the reverse of sysfs order (udev sorts by path; libusb adds each at the
// head of its list). Names that sort in the reverse of the device order make libusb list the boards in the
// configured order, a replugged one in its old place, as the stand-in does.
unsigned sysfs_position(std::size_t index) { return 999 - static_cast<unsigned>(index); }

// The sysfs path of a device's interface 0, where the kernel shows the driver bound to it.
std::string interface_path(const std::string &syspath) {
    return syspath + "/" + syspath.substr(syspath.rfind('/') + 1) + ":1.0";
}

void remove_testbed_at_exit() {
    std::error_code ignored;
    std::filesystem::remove_all(testbed_root, ignored);
}

// GLib starts the thread that spawns its shared pool's threads with the first shared pool, and GTask, which
// umockdev's socket handling uses, aborts the process if that thread cannot be made at that moment (a
// transient EAGAIN on a loaded machine). Make it here, on the loading thread, where a failure can be retried.
void start_glib_pool_spawner() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        GError *error = nullptr;
        GThreadPool *pool = g_thread_pool_new([](gpointer, gpointer) {}, nullptr, 1, FALSE, &error);
        if (pool != nullptr) {
            g_thread_pool_free(pool, TRUE, FALSE);
            g_type_ensure(G_TYPE_TASK);
            return;
        }
        g_clear_error(&error);
        g_usleep(10 * 1000);
    }
    std::fprintf(stderr, "pcb_roq_usbfs: GLib cannot start a thread; GTask may abort\n");
}

} // namespace

UsbfsBus &UsbfsBus::instance() {
    // Never destroyed: threads inside libusb calls at process exit still find it, and its own threads run on.
    static UsbfsBus *const bus = new UsbfsBus();
    return *bus;
}

SimBus &sim_bus() { return UsbfsBus::instance(); }

UsbfsBus::UsbfsBus() {
    // Sets UMOCKDEV_DIR, which the preload reads on every call: this must happen before the first libusb_init.
    start_glib_pool_spawner();
    testbed = umockdev_testbed_new();
    gchar *dir = umockdev_testbed_get_root_dir(testbed);
    root = dir;
    g_free(dir);
    std::snprintf(testbed_root, sizeof testbed_root, "%s", root.c_str());
    std::atexit(remove_testbed_at_exit);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler, "client-connected", G_CALLBACK(on_client_connected), this);
    context = g_main_context_new();
    loop_thread = std::thread([this] {
        g_main_context_push_thread_default(context);
        for (;;) {
            g_main_context_iteration(context, TRUE);
        }
    });
    clock_thread = std::thread([this] { clock_loop(); });
    std::string error;
    if (reset(error) < 0) {
        std::fprintf(stderr, "pcb_roq_usbfs: %s; the bus stays empty\n", error.c_str());
    }
}

UsbfsBus::Node::~Node() {
    if (fifo >= 0) {
        ::close(fifo);
    }
    for (int old : retired_fifos) {
        ::close(old);
    }
}

std::shared_ptr<UsbfsBus::Node> UsbfsBus::make_node(DeviceConfig config, Clock::time_point now) {
    auto node = std::make_shared<Node>(std::move(config), next_address++, now);
    if (next_address == 0) {
        next_address = 2; // address 1 is the root hub's
    }
    node->chip.set_latency_scale(scale, now);
    char name[64];
    std::snprintf(name, sizeof name, "/dev/bus/usb/%03d/%03u", bus_number, node->address);
    node->devnode = name;
    std::snprintf(name, sizeof name, "/sys/devices/pcb_roq_sim/usb%d/%d-%u", bus_number, bus_number,
                  sysfs_position(devices.size()));
    node->syspath = name;
    by_devnode[node->devnode] = node;
    sync_refusal(*node);
    post([this, node] { add_to_testbed(node); });
    return node;
}

void UsbfsBus::post(std::function<void()> work) {
    posted.push_back(std::move(work));
    ++work_posted;
}

void UsbfsBus::run_posted(bool wait) {
    std::deque<std::function<void()>> work;
    std::uint64_t target = 0;
    {
        Lock lock(mutex);
        work.swap(posted);
        target = work_posted;
    }
    if (!work.empty()) {
        struct Batch {
            UsbfsBus *bus;
            std::deque<std::function<void()>> work;
            std::uint64_t last;
        };
        g_main_context_invoke(
            context,
            [](gpointer data) -> gboolean {
                auto *batch = static_cast<Batch *>(data);
                for (auto &step : batch->work) {
                    step();
                }
                {
                    Lock lock(batch->bus->mutex);
                    batch->bus->work_done = std::max(batch->bus->work_done, batch->last);
                }
                batch->bus->work_finished.notify_all();
                delete batch;
                return G_SOURCE_REMOVE;
            },
            new Batch{this, std::move(work), target});
    }
    // Another thread may have dispatched some of this work: wait for all that was posted so far.
    if (wait && std::this_thread::get_id() != loop_thread.get_id()) {
        Lock lock(mutex);
        work_finished.wait(lock, [&] { return work_done >= target; });
    }
}

void UsbfsBus::add_to_testbed(const std::shared_ptr<Node> &node) {
    std::string devnode;
    std::string syspath;
    DeviceConfig config;
    {
        Lock lock(mutex);
        devnode = node->devnode;
        syspath = node->syspath;
        config = node->config;
    }
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), handler, &error)) {
        std::fprintf(stderr, "pcb_roq_usbfs: cannot emulate %s: %s\n", devnode.c_str(), error->message);
        g_clear_error(&error);
        return;
    }
    std::vector<unsigned char> descriptors = device_descriptor(config);
    const auto configuration = configuration_descriptor(config);
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    const std::string name = syspath.substr(syspath.rfind('/') + 1);
    const int address = std::atoi(devnode.substr(devnode.rfind('/') + 1).c_str());
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "E: BUSNUM=%03d\nE: DEVNUM=%03d\nA: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=%s\\n\n"
                  "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\n",
                  bus_number, address, bus_number, address, config.packet_size == 64 ? "12" : "480",
                  config.vendor_id, config.product_id, config.bcd_device);
    const std::string record = "P: " + syspath.substr(4) + "\nN: " + devnode.substr(5) +
                               "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=" + devnode +
                               "\n" + numbers + "A: bConfigurationValue=1\\n\nA: bNumInterfaces= 1\\n\n" +
                               "H: descriptors=" + hex(descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        std::fprintf(stderr, "pcb_roq_usbfs: cannot add %s: %s\n", devnode.c_str(), error->message);
        g_clear_error(&error);
        return;
    }
    // The strings as the kernel read them at enumeration: a user who may not open the node still sees them.
    const std::pair<const char *, const std::optional<std::string> &> strings[] = {
        {"manufacturer", config.manufacturer}, {"product", config.product}, {"serial", config.serial}};
    for (const auto &[attribute, text] : strings) {
        if (text) {
            std::string line = *text + "\n";
            umockdev_testbed_set_attribute_binary(testbed, syspath.c_str(), attribute,
                                                  reinterpret_cast<guint8 *>(line.data()),
                                                  static_cast<gint>(line.size()));
        }
    }
    g_free(umockdev_testbed_add_device(testbed, "usb", (name + ":1.0").c_str(), syspath.c_str(), "bInterfaceNumber",
                                       "00", "bInterfaceClass", "ff", nullptr, "DEVTYPE", "usb_interface", nullptr));
    // The node umockdev made is a regular file, always ready for poll(): libusb would spin on it. A FIFO of one
    // page holding one byte is full (not writable); empty, it is writable, which libusb takes as "reap now".
    const std::string path = root + devnode;
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0) {
        std::perror("pcb_roq_usbfs: mkfifo");
        return;
    }
    const int fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo < 0 || ::fcntl(fifo, F_SETPIPE_SZ, 4096) < 0 || ::write(fifo, "", 1) != 1) {
        std::perror("pcb_roq_usbfs: node");
        return;
    }
    Lock lock(mutex);
    node->fifo = fifo;
    node->pollable = false;
    node->driver = node->config.kernel_driver; // bound again at every plug-in, as the kernel probes
    show_driver(*node);
    update_pollable(*node);
}

void UsbfsBus::show_driver(const Node &node) {
    const std::string link = root + interface_path(node.syspath) + "/driver";
    ::unlink(link.c_str());
    if (!node.driver.empty()) {
        (void)::symlink(("../../../../../bus/usb/drivers/" + node.driver).c_str(), link.c_str());
    }
}

void UsbfsBus::unbind(Node &node) {
    node.claimed = nullptr;
    node.claimed_by = nullptr;
    node.driver.clear();
    show_driver(node);
}

void UsbfsBus::show_urb_memory_limit() {
    const std::string directory = root + "/sys/module/usbcore/parameters";
    std::filesystem::create_directories(directory);
    std::uint64_t megabytes = 0;
    {
        Lock lock(mutex);
        megabytes = (urb_memory_limit + (1u << 20) - 1) >> 20; // 0: no limit, as usbcore reads it
    }
    if (FILE *file = std::fopen((directory + "/usbfs_memory_mb").c_str(), "w")) {
        std::fprintf(file, "%llu\n", static_cast<unsigned long long>(megabytes));
        std::fclose(file);
    }
}

void UsbfsBus::remove_from_testbed(const std::string &devnode, const std::string &syspath) {
    // libusb learns of an unplug from the "remove" uevent (its hotplug monitor), not from the node.
    umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, interface_path(syspath).c_str());
    umockdev_testbed_remove_device(testbed, syspath.c_str());
    umockdev_testbed_detach_ioctl(testbed, devnode.c_str(), nullptr);
}

int UsbfsBus::configure(const char *spec, std::string &error) {
    std::lock_guard control(control_mutex);
    std::string text;
    if (spec != nullptr) {
        text = spec;
    } else if (const char *variable = std::getenv(devices_variable); variable != nullptr) {
        text = variable;
    } else {
        text = default_spec;
    }
    auto configs = parse_devices(text, error);
    if (!configs) {
        if (spec == nullptr) {
            error = std::string(devices_variable) + ": " + error;
        }
        return -1;
    }
    int count = 0;
    {
        Lock lock(mutex);
        const auto now = Clock::now();
        for (auto &device : devices) {
            unplug_locked(*device, now);
        }
        devices.clear();
        for (auto &config : *configs) {
            devices.push_back(make_node(std::move(config), now));
        }
        count = static_cast<int>(devices.size());
        changed.notify_all();
    }
    run_posted(true);
    return count;
}

int UsbfsBus::reset(std::string &error) {
    double value = 1.0;
    if (const char *variable = std::getenv(scale_variable); variable != nullptr && !parse_scale(variable, value)) {
        error = std::string(scale_variable) + ": not a number in (0, 1e6]: '" + variable + "'";
        std::string ignored;
        configure("", ignored);
        return -1;
    }
    {
        Lock lock(mutex);
        scale = value;
        urb_memory_limit = 0;
    }
    show_urb_memory_limit();
    const int count = configure(nullptr, error);
    if (count < 0) {
        std::string ignored;
        configure("", ignored);
    }
    return count;
}

int UsbfsBus::add_device(const char *spec, std::string &error) {
    std::lock_guard control(control_mutex);
    int index = -1;
    {
        Lock lock(mutex);
        auto configs = parse_devices(spec == nullptr ? default_spec : spec, error, devices.size() + 1);
        if (!configs) {
            return -1;
        }
        if (configs->size() != 1) {
            error = "expected exactly one device, got " + std::to_string(configs->size());
            return -1;
        }
        devices.push_back(make_node(std::move(configs->front()), Clock::now()));
        index = static_cast<int>(devices.size() - 1);
    }
    run_posted(true);
    return index;
}

int UsbfsBus::device_count() {
    Lock lock(mutex);
    return static_cast<int>(devices.size());
}

int UsbfsBus::find(const char *serial) {
    Lock lock(mutex);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto &wanted = devices[i]->config.serial;
        if (serial == nullptr ? !wanted.has_value() : (wanted.has_value() && *wanted == serial)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int UsbfsBus::set_latency_scale(double value, std::string &error) {
    if (!(value > 0) || value > 1e6) {
        error = "the latency scale must lie in (0, 1e6]";
        return -1;
    }
    Lock lock(mutex);
    scale = value;
    const auto now = Clock::now();
    for (auto &device : devices) {
        device->chip.set_latency_scale(scale, now);
    }
    changed.notify_all();
    return 0;
}

double UsbfsBus::latency_scale() {
    Lock lock(mutex);
    return scale;
}

int UsbfsBus::fail_init(int count, std::string &error) {
    if (count == 0) {
        return 0;
    }
    error = "not supported by this front end (usbfs): libusb_init is the real libusb's";
    return -1;
}

int UsbfsBus::set_urb_memory_limit(std::uint64_t bytes, std::string &) {
    {
        Lock lock(mutex);
        urb_memory_limit = bytes;
    }
    show_urb_memory_limit();
    return 0;
}

int UsbfsBus::with_device(int index, std::string &error,
                          const std::function<int(SimDevice &, Clock::time_point)> &change) {
    std::lock_guard control(control_mutex);
    int result = -1;
    {
        Lock lock(mutex);
        if (index < 0 || static_cast<std::size_t>(index) >= devices.size()) {
            error = "no device with index " + std::to_string(index);
            return -1;
        }
        const auto now = Clock::now();
        Node &node = *devices[static_cast<std::size_t>(index)];
        settle(node, now);
        sync_refusal(node); // brings the count of refused opens up to date
        result = change(node, now);
        if (node.plugged) {
            settle(node, now);
        }
        sync_refusal(node);
        changed.notify_all();
    }
    run_posted(true);
    return result;
}

void UsbfsBus::get_stats(pcb_roq_sim_stats &out) {
    Lock lock(mutex);
    out = {};
    // libusb's own objects (contexts, devices, descriptors) live in the real libusb, out of sight here.
    out.live_handles = static_cast<std::int64_t>(files.size());
    out.live_transfers = live_urbs;
}

void UsbfsBus::unplug(SimDevice &device) { unplug_locked(static_cast<Node &>(device), Clock::now()); }

void UsbfsBus::replug(SimDevice &device, Clock::time_point now) {
    Node &node = static_cast<Node &>(device);
    std::shared_ptr<Node> shared;
    std::size_t index = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].get() == &node) {
            shared = devices[i];
            index = i;
        }
    }
    unplug_locked(node, now);
    if (node.fifo >= 0) {
        // Files still open on the old node may have completions to reap: leave it as it is.
        node.retired_fifos.push_back(node.fifo);
        node.fifo = -1;
        node.pollable = false;
    }
    node.plugged = true;
    node.address = next_address++;
    if (next_address == 0) {
        next_address = 2;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/dev/bus/usb/%03d/%03u", bus_number, node.address);
    node.devnode = name;
    std::snprintf(name, sizeof name, "/sys/devices/pcb_roq_sim/usb%d/%d-%u", bus_number, bus_number,
                  sysfs_position(index));
    node.syspath = name;
    node.configuration = 1;
    node.in_halted = false;
    node.chip.power_up(now);
    by_devnode[node.devnode] = shared;
    sync_refusal(node);
    post([this, shared] { add_to_testbed(shared); });
    changed.notify_all();
}

void UsbfsBus::sync_refusal(Node &node) {
    node.open_refusals += take_refusals(node.devnode);
    set_refused(node.devnode, node.plugged && node.config.refuse_open);
}

void UsbfsBus::clock_loop() {
    prctl(PR_SET_TIMERSLACK, timer_slack_ns, 0, 0, 0);
    Lock lock(mutex);
    for (;;) {
        const auto now = Clock::now();
        auto wake = Clock::time_point::max();
        for (auto &node : devices) {
            if (node->plugged) {
                settle(*node, now);
                wake = std::min(wake, next_change(*node, now));
            }
        }
        if (!posted.empty()) {
            lock.unlock();
            run_posted(false);
            lock.lock();
            continue;
        }
        changed.wait_until(lock, std::max(wake, Clock::now() + std::chrono::microseconds(2)));
    }
}

UsbfsBus::Clock::time_point UsbfsBus::next_change(Node &node, Clock::time_point now) {
    auto wake = node.chip.next_completion(now);
    if (node.unplug_at) {
        wake = std::min(wake, *node.unplug_at);
    }
    for (auto &[client, file] : files) {
        if (file->node.get() == &node && !file->late.empty()) {
            wake = std::min(wake, file->late.front()->visible_at);
        }
    }
    return wake;
}

} // namespace pcb_roq_sim

// Before main(), so before the process's first libusb_init: libusb must find the testbed's sysfs and nodes.
__attribute__((constructor)) static void start_usbfs_bus() { pcb_roq_sim::UsbfsBus::instance(); }
