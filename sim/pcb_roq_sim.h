/*
 * Control of the simulated PCB_ROQ boards behind the libusb stand-in.
 *
 * Devices are addressed by their index in the configured enumeration order (0, 1, ...); the index stays
 * valid until the next pcb_roq_sim_configure / pcb_roq_sim_reset. Every function is thread-safe and may be
 * called while other threads are inside libusb calls. Functions returning int give 0 (or a count / index)
 * on success and -1 on a bad argument; pcb_roq_sim_last_error() then says why.
 */
#ifndef PCB_ROQ_SIM_H
#define PCB_ROQ_SIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Totals of the whole simulator. "live_*" count objects that exist now; the others count events since the
 * last reset/configure. */
struct pcb_roq_sim_stats {
    int64_t inits;                  /* successful libusb_init calls */
    int64_t init_failures;          /* libusb_init calls refused by the fault switch */
    int64_t exits;                  /* libusb_exit calls */
    int64_t live_contexts;          /* libusb contexts not yet exited */
    int64_t live_handles;           /* device handles not yet closed */
    int64_t live_devices;           /* libusb_device objects still referenced */
    int64_t live_transfers;         /* allocated and not yet freed libusb_transfer objects */
    int64_t live_config_descriptors; /* config descriptors not yet freed */
};

/* What the host did to one device and what the device delivered, since the last reset/configure. */
struct pcb_roq_sim_device_stats {
    int64_t plugged;                /* 1 while the device is in the bus list */
    int64_t opens;                  /* successful libusb_open calls */
    int64_t closes;                 /* libusb_close calls */
    int64_t open_refusals;          /* libusb_open calls refused (LIBUSB_ERROR_ACCESS) */
    int64_t claimed_interface;      /* interface claimed now, -1 when none */
    int64_t last_claimed_interface; /* last interface ever claimed, -1 when none */
    int64_t configuration;          /* active configuration value */
    int64_t bit_mode;               /* mode byte of the last bit-mode request (0 after power-up) */
    int64_t bit_mask;               /* pin mask of the last bit-mode request */
    int64_t latency_timer;          /* ms, as set by the host (16 after power-up) */
    int64_t resets;                 /* reset requests (request 0, value 0) */
    int64_t purges_rx;              /* purge-RX requests (request 0, value 2) */
    int64_t purges_tx;              /* purge-TX requests (request 0, value 1) */
    int64_t baud_rate_requests;     /* request 3 */
    int64_t control_requests;       /* all control transfers */
    int64_t bulk_reads;             /* bulk IN transfers, synchronous and asynchronous */
    int64_t bulk_read_errors;       /* bulk IN transfers failed by the fault switch */
    int64_t bytes_delivered;        /* stream bytes handed to the host (status bytes not counted) */
    int64_t bytes_lost;             /* stream bytes lost to FIFO overflow or discarded by purges/resets */
    int64_t bytes_dropped;          /* stream bytes removed by the drop fault */
    int64_t status_only_packets;    /* packets that carried no stream byte */
    int64_t bytes_written;          /* bytes the host sent to the OUT endpoint */
    int64_t stream_offset;          /* offset of the next stream byte the chip will deliver */
    int64_t frame_index;            /* stream_offset / 12: index of the frame the chip is in */
    int64_t bytes_lost_streaming;   /* of bytes_lost, those lost to overflow while the host streamed: after it
                                     * queued a bulk IN transfer, before it took back the last one it had queued
                                     * (a stop) or purged with none queued. A stopped host's losses, and those
                                     * between a purge and the first transfer after it, are not counted */
};

/* The size of each struct as compiled into the library, so wrappers can check their copy of the layout. */
size_t pcb_roq_sim_stats_size(void);
size_t pcb_roq_sim_device_stats_size(void);

/* Why the last call of this thread returned -1. */
const char *pcb_roq_sim_last_error(void);

/* Replaces every device with those of `spec` (grammar in sim/README.md; NULL means the PCB_ROQ_SIM variable,
 * or the single default board when it is unset), clears faults and counters. Devices that are open stay
 * open on the host side but are unplugged. Returns the number of devices, or -1. */
int pcb_roq_sim_configure(const char *spec);
/* pcb_roq_sim_configure(NULL) plus the latency scale from PCB_ROQ_SIM_LATENCY_SCALE (1 when unset) and no
 * failing libusb_init. */
int pcb_roq_sim_reset(void);
/* Appends one device (one entry of the grammar) at the end of the enumeration order; returns its index. */
int pcb_roq_sim_add_device(const char *device_spec);
int pcb_roq_sim_device_count(void);
/* Index of the first device whose serial string equals `serial` (NULL: the first without serial), or -1. */
int pcb_roq_sim_find(const char *serial);

/* Every latency-timer wait is multiplied by `scale` (> 0): 0.01 turns the idle chip's 255 ms into 2.55 ms. */
int pcb_roq_sim_set_latency_scale(double scale);
double pcb_roq_sim_latency_scale(void);
/* The next `count` libusb_init calls fail with LIBUSB_ERROR_OTHER; -1 fails all until set to 0. */
int pcb_roq_sim_fail_init(int count);

/* Stream source. Rate in bytes per second on the monotonic clock; 0 = unlimited (data always ready). */
int pcb_roq_sim_set_rate(int device, double bytes_per_second);
/* Chip receive FIFO in bytes (default 1024); 0 = unbounded (nothing is ever lost). */
int pcb_roq_sim_set_fifo_size(int device, uint64_t bytes);
/* Streams `bytes` instead of frames, once (then the chip runs dry) or repeated; restarts at offset 0. */
int pcb_roq_sim_set_raw_stream(int device, const unsigned char *bytes, size_t count, int repeat);
/* Back to the default frame pattern, restarting at frame `first_frame`. */
int pcb_roq_sim_set_pattern(int device, uint32_t first_frame);

/* Faults. */
int pcb_roq_sim_refuse_open(int device, int refuse);
/* Unplugs after `delay_ms` of monotonic time (0: now). The device leaves the list and every call on it
 * fails with LIBUSB_ERROR_NO_DEVICE, also on handles opened before. */
int pcb_roq_sim_unplug(int device, double delay_ms);
/* Unplugs once `count` more stream bytes have been delivered. */
int pcb_roq_sim_unplug_after_bytes(int device, uint64_t count);
/* Plugs the device back in as after a power cycle: new address, chip state of power-up, stream from 0.
 * Handles opened before the unplug stay dead. */
int pcb_roq_sim_replug(int device);
/* The `nth` next bulk IN transfer (1 = the next one) fails with `libusb_error` (e.g. -1, LIBUSB_ERROR_IO). */
int pcb_roq_sim_fail_bulk_read(int device, uint64_t nth, int libusb_error);
/* Stream bytes at these offsets are never delivered (the bytes after them move up). */
int pcb_roq_sim_drop_bytes(int device, const uint64_t *offsets, size_t count);
/* The frames with these indices carry 0xA5 0x5A instead of the sync pair. */
int pcb_roq_sim_corrupt_sync(int device, const uint64_t *frames, size_t count);
/* The board stops writing into the chip; what the FIFO already holds is still delivered. */
int pcb_roq_sim_pause(int device, int paused);

/* Faults below libusb, played by the usbfs front end only (the libusb stand-in returns -1, "not supported by this
 * front end"). The `nth` next bulk IN URB (1 = the next) completes with -EPIPE and the endpoint stays halted:
 * every URB on it fails -EPIPE until the host sends USBDEVFS_CLEAR_HALT (libusb_clear_halt). */
int pcb_roq_sim_stall_bulk_in(int device, uint64_t nth);
/* While on, USBDEVFS_DISCARDURB on a bulk IN URB that holds data fails (EINVAL): the URB finished before the
 * discard reached it and is reaped as completed (status 0) with what it holds. */
int pcb_roq_sim_race_discard(int device, int on);
/* A discarded URB comes back (can be reaped) only `delay_ms` later, as when the host controller is slow to
 * give back unlinked URBs: cancellations complete late. 0 = at once. */
int pcb_roq_sim_delay_discard(int device, double delay_ms);
/* Like usbcore's usbfs_memory_mb: a URB submission that would take the bytes of all URBs in flight on the
 * emulated machine above `bytes` fails with ENOMEM. 0 = no limit. The stand-in accepts only 0. */
int pcb_roq_sim_set_urb_memory_limit(uint64_t bytes);
/* Which front end this library is: "libusb" (the stand-in) or "usbfs" (emulated under the real libusb). */
const char *pcb_roq_sim_front_end(void);

int pcb_roq_sim_get_stats(struct pcb_roq_sim_stats *out);
int pcb_roq_sim_get_device_stats(int device, struct pcb_roq_sim_device_stats *out);

/* The 12 bytes of frame `index` of the default pattern, sync pair included. */
void pcb_roq_sim_pattern_frame(uint32_t index, unsigned char out[12]);

#ifdef __cplusplus
}
#endif

#endif
