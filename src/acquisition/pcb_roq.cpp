#include "acquisition/pcb_roq.hpp"

#include <stdexcept>
#include <string>
#include <thread>

#include <pthread.h>

PCB_ROQ::PCB_ROQ(const std::string &serial_number, unsigned long samples_count, unsigned char /*latency*/)
    : decoder(open_checked(serial_number, samples_count), samples_count) {
    for (std::size_t i = 0; i < pool_size; ++i) {
        decoder.buffers.free_channel().add(decoder_type::block_type(samples_count, decoder_type::words_per_frame));
    }
}

PCB_ROQ::~PCB_ROQ() {
    std::lock_guard lock(control_mutex);
    stop_locked();
}

PCB_ROQ::device_type PCB_ROQ::open_checked(const std::string &serial_number, unsigned long samples_count) {
    if (samples_count < min_samples_count || samples_count > max_samples_count) {
        throw std::invalid_argument("samples_count must be between " + std::to_string(min_samples_count) + " and " +
                                    std::to_string(max_samples_count) + ", got " + std::to_string(samples_count));
    }
    return device_type(serial_number);
}

void PCB_ROQ::start() {
    std::lock_guard lock(control_mutex);
    start_locked();
}

void PCB_ROQ::stop() {
    std::lock_guard lock(control_mutex);
    stop_locked();
}

void PCB_ROQ::flush() const {
    std::lock_guard control(control_mutex);
    (void)decoder.device.flush_buffers();
}

bool PCB_ROQ::opened() const noexcept { return decoder.device.opened(); }

const std::string &PCB_ROQ::serial_number() const noexcept { return decoder.device.serial_number(); }

int PCB_ROQ::read_raw(unsigned char *buffer, int size) {
    std::lock_guard lock(control_mutex);
    if (!decoder.running.load()) {
        return decoder.device.read_once(buffer, size);
    }
    stop_locked();
    const int result = decoder.device.read_once(buffer, size);
    start_locked();
    return result;
}

void PCB_ROQ::start_locked() {
    if (decoder.thread.joinable()) {
        if (decoder.running.load()) {
            return;
        }
        // A clear flag with a joinable thread means its run() is ending or has ended: join it before replacing it.
        decoder.thread.join();
    }
    decoder.device.resume_reads();
    decoder.running.store(true);
    decoder.thread = std::thread(&decoder_type::run, &decoder);
    // Named for top -H and profilers; it would otherwise carry the name of whichever thread started it.
    pthread_setname_np(decoder.thread.native_handle(), "pcb_roq decoder");
}

void PCB_ROQ::stop_locked() noexcept {
    decoder.running.exchange(false);
    // A read waiting for a slow board would otherwise hold the thread until a whole block has arrived.
    decoder.device.interrupt_reads();
    if (decoder.thread.joinable()) {
        decoder.thread.join();
    }
    decoder.device.halt_reads();
}
