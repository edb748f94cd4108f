#pragma once

#include <memory>
#include <string>
#include <utility>

#include "ftdi/ftdi_driver.hpp"
#include "ftdi/ftdi_read_stream.hpp"

// A device opened by serial number on a fixed interface, bit mode and pin mask. A device that is absent or
// fails to configure is still built, with opened() false.
//
// Reads go through a stream of queued transfers (FtdiReadStream) rather than ftdi_read_data, so the chip never
// waits for the host between two reads; the owner interrupts, halts and resumes that stream around its reading
// thread. Move-only; moving is for construction, before any read.
template <Interface I, Mode M, unsigned char mask>
class FtdiDevice {
public:
    explicit FtdiDevice(const std::string &serial) : serial(serial) {
        driver.open(serial, I, M, mask);
        // 255 ms is the largest latency libftdi accepts; on a device that did not open this fails harmlessly.
        driver.set_latency_timer(255);
        reader = std::make_unique<FtdiReadStream>(driver.context());
    }
    FtdiDevice(FtdiDevice &&) noexcept = default;
    FtdiDevice &operator=(FtdiDevice &&other) noexcept {
        // The transfers of the old stream must be gone before its device closes.
        reader = std::move(other.reader);
        driver = std::move(other.driver);
        serial = std::move(other.serial);
        return *this;
    }
    FtdiDevice(const FtdiDevice &) = delete;
    FtdiDevice &operator=(const FtdiDevice &) = delete;

    // The reading thread only. Bytes stored from the start of `buffer` (fewer than `size` when the chip had no
    // more, or soon after interrupt_reads()), or a negative code. Transfers stay queued after it returns.
    // Throws std::runtime_error only for a null context.
    int read(unsigned char *buffer, int size) {
        return reader ? reader->read(buffer, size, true) : driver.read(buffer, size);
    }
    // One read while nobody streams (the raw capture): only the transfers `size` needs, none left queued after.
    int read_once(unsigned char *buffer, int size) {
        if (!reader) {
            return driver.read(buffer, size);
        }
        reader->resume();
        const int result = reader->read(buffer, size, false);
        reader->halt();
        return result;
    }
    // Any thread: makes the read in progress return soon, and later ones at once, until resume_reads().
    void interrupt_reads() {
        if (reader) {
            reader->interrupt();
        }
    }
    // Any thread, while no read runs.
    void resume_reads() {
        if (reader) {
            reader->resume();
        }
    }
    // While no read runs: nothing stays queued on the chip; what arrived is kept for the next read.
    void halt_reads() {
        if (reader) {
            reader->halt();
        }
    }
    // Any thread, also while reading: drops what arrived unread and what transfers in flight receive, then
    // purges the chip and libftdi's buffer. The read in progress ends with what it had before.
    int flush_buffers() const {
        if (!reader) {
            return driver.flush_buffers();
        }
        return reader->flush([this] { return driver.flush_buffers(); });
    }
    // Any thread. See FtdiReadStream::possible_gaps().
    [[nodiscard]] std::uint64_t possible_gaps() const noexcept { return reader ? reader->possible_gaps() : 0; }
    [[nodiscard]] FtdiReadStream::Counters read_counters() const {
        return reader ? reader->counters() : FtdiReadStream::Counters{};
    }
    [[nodiscard]] bool opened() const noexcept { return driver.opened(); }
    [[nodiscard]] const std::string &serial_number() const noexcept { return serial; }

private:
    FtdiDriver driver;
    std::string serial;
    std::unique_ptr<FtdiReadStream> reader; // declared last: destroyed, with its transfers, before the driver
};

using PcbRoqDevice = FtdiDevice<Interface::a, Mode::syncff, 0xFF>;
