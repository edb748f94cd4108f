/* What liblsl itself costs for the stream command's stream, without Python, and what a recorder's inlet
 * made with liblsl's defaults holds in memory against it.
 *
 *   lsl_floor outlet NAME SECONDS FRAME_RATE FRAMES_PER_SAMPLE BLOCK_FRAMES SYNC
 *       publishes frames of five int16 words (words 0 and 1: a 32-bit frame counter) at FRAME_RATE for
 *       SECONDS, FRAMES_PER_SAMPLE frames to each LSL sample, one push of BLOCK_FRAMES frames with one time
 *       stamp as the board hands over a block; SYNC 1 makes the outlet with transp_sync_blocking. Waits
 *       for an inlet first. Prints {"frames":..,"cpu_s":..,"seconds":..}.
 *   lsl_floor inlet NAME [BUFLEN_S]
 *       a recorder's inlet: lsl_create_inlet(info, BUFLEN_S (default 360, liblsl's and LabRecorder's),
 *       0, 1), pulls chunks until 5 s of silence and checks the counter. Prints frames, counter gaps, CPU
 *       and the peak resident memory (VmHWM).
 * Build: cc -O2 -o lsl_floor lsl_floor.c -llsl
 */
#include <lsl_c.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

enum { WORDS = 5 };

static double cpu_seconds(void) {
	struct rusage u;
	getrusage(RUSAGE_SELF, &u);
	return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

static long peak_rss_kb(void) {
	FILE *f = fopen("/proc/self/status", "r");
	char line[256];
	long kb = -1;
	while (f && fgets(line, sizeof line, f))
		if (strncmp(line, "VmHWM:", 6) == 0) kb = atol(line + 6);
	if (f) fclose(f);
	return kb;
}

static int outlet(const char *name, double seconds, double rate, int per_sample, int block, int sync) {
	if (block % per_sample) {
		fprintf(stderr, "BLOCK_FRAMES must be a multiple of FRAMES_PER_SAMPLE\n");
		return 2;
	}
	lsl_streaminfo info =
		lsl_create_streaminfo(name, "PCB_ROQ", WORDS * per_sample, rate / per_sample, cft_int16, name);
	lsl_outlet out = lsl_create_outlet_ex(info, 0, 2, sync ? transp_sync_blocking : transp_default);
	lsl_destroy_streaminfo(info);
	if (!out) {
		fprintf(stderr, "no outlet: %s\n", lsl_last_error());
		return 1;
	}
	while (!lsl_wait_for_consumers(out, 1.0)) {}
	int16_t *frames = malloc(sizeof(int16_t) * WORDS * block);
	uint32_t counter = 0;
	double begin = lsl_local_clock(), cpu = cpu_seconds();
	long pushed = 0;
	while (pushed < (long)(seconds * rate)) {
		for (int i = 0; i < block; i++, counter++) {
			uint16_t *w = (uint16_t *)&frames[i * WORDS];
			w[0] = (uint16_t)counter, w[1] = (uint16_t)(counter >> 16), w[2] = w[3] = w[4] = 7;
		}
		/* the block is full when its last frame came in */
		double due = begin + (pushed + block) / rate, now = lsl_local_clock();
		if (due > now) {
			struct timespec pause = {(time_t)(due - now), (long)((due - now - (time_t)(due - now)) * 1e9)};
			nanosleep(&pause, NULL);
		}
		/* liblsl stamps a chunk by its last sample */
		double last = due - (double)per_sample / rate;
		lsl_push_chunk_stp(out, frames, (unsigned long)WORDS * block, last, 1);
		pushed += block;
	}
	double elapsed = lsl_local_clock() - begin;
	cpu = cpu_seconds() - cpu;
	printf("{\"frames\": %ld, \"cpu_s\": %.3f, \"seconds\": %.3f, \"cpu_share\": %.3f}\n", pushed, cpu, elapsed,
		cpu / elapsed);
	fflush(stdout);
	struct timespec linger = {1, 0};
	nanosleep(&linger, NULL);
	lsl_destroy_outlet(out);
	free(frames);
	return 0;
}

static int inlet(const char *name, int buflen) {
	lsl_streaminfo found[1];
	int n = 0;
	for (int tries = 0; n <= 0 && tries < 60; tries++) n = lsl_resolve_byprop(found, 1, "name", name, 1, 2.0);
	if (n <= 0) {
		fprintf(stderr, "no stream named %s\n", name);
		return 1;
	}
	int channels = lsl_get_channel_count(found[0]);
	double rate = lsl_get_nominal_srate(found[0]);
	lsl_inlet in = lsl_create_inlet(found[0], buflen, 0, 1);
	lsl_destroy_streaminfo(found[0]);
	if (!in) {
		fprintf(stderr, "no inlet: %s\n", lsl_last_error());
		return 1;
	}
	long after_create_kb = peak_rss_kb();
	int32_t ec = 0;
	lsl_open_stream(in, 60.0, &ec);
	printf("receiving\n");
	fflush(stdout);
	enum { ROOM = 1 << 20 };
	int16_t *rows = malloc(sizeof(int16_t) * ROOM);
	double *stamps = malloc(sizeof(double) * (ROOM / channels));
	unsigned long room = (ROOM / channels) * channels;
	long frames = 0, gaps = 0, stamps_back = 0;
	uint32_t last = 0;
	double last_stamp = 0, cpu = 0;
	for (;;) {
		unsigned long got = lsl_pull_chunk_s(in, rows, stamps, room, room / channels, frames ? 5.0 : 60.0, &ec);
		if (got == 0) break;
		if (frames == 0) cpu = cpu_seconds();
		unsigned long samples = got / channels;
		for (unsigned long s = 0; s < samples; s++) {
			if (last_stamp != 0 && stamps[s] <= last_stamp) stamps_back++;
			last_stamp = stamps[s];
		}
		for (unsigned long f = 0; f < got / WORDS; f++) {
			const uint16_t *w = (const uint16_t *)&rows[f * WORDS];
			uint32_t counter = w[0] | (uint32_t)w[1] << 16;
			if (frames > 0 && counter != last + 1) gaps++;
			last = counter;
			frames++;
		}
	}
	cpu = cpu_seconds() - cpu;
	printf("{\"nominal_rate\": %.1f, \"channels\": %d, \"buflen_s\": %d, \"frames\": %ld, \"gaps\": %ld, "
		   "\"stamps_not_increasing\": %ld, \"last\": %u, \"cpu_s\": %.3f, \"rss_after_create_mb\": %.1f, "
		   "\"peak_rss_mb\": %.1f}\n",
		rate, channels, buflen, frames, gaps, stamps_back, last, cpu, after_create_kb / 1024.0,
		peak_rss_kb() / 1024.0);
	lsl_destroy_inlet(in);
	free(rows);
	free(stamps);
	return 0;
}

int main(int argc, char **argv) {
	if (argc == 8 && strcmp(argv[1], "outlet") == 0)
		return outlet(argv[2], atof(argv[3]), atof(argv[4]), atoi(argv[5]), atoi(argv[6]), atoi(argv[7]));
	if ((argc == 3 || argc == 4) && strcmp(argv[1], "inlet") == 0)
		return inlet(argv[2], argc == 4 ? atoi(argv[3]) : 360);
	fprintf(stderr, "usage: see the top of lsl_floor.c\n");
	return 2;
}
