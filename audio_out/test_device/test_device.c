/* A playback device for the tests: an ALSA external I/O plugin whose
 * constraints are set from the ALSA configuration, so that tests can meet a
 * device that offers one sample rate only, refuses 24-bit packed samples,
 * takes interleaved or non-interleaved frames only, has a fixed number of
 * channels, fails to install hardware parameters, underruns, plays in real
 * time, stops playing part way, is suspended as a machine that sleeps, runs
 * ahead of what it plays, goes away as a sound server that dies does, or
 * blocks in its open or its drain as the plugin of a stopped server does.
 *
 *   pcm.NAME {
 *     type quemblet_test
 *     rate 48000        # offer only this rate (default: 1000..768000)
 *     period 1024       # offer periods of this many frames only, as dmix
 *                       # and JACK do (default: 64 bytes to 1 MiB)
 *     format "S16_LE"   # offer only this format (default: S24_3LE)
 *     fail_hw 1         # the hw_params step fails with EIO
 *     xrun_at 20000     # one underrun once this many frames were written
 *     xrun_in_write 3000  # the write that would take the device past this
 *                       # many frames fails with EPIPE, once
 *     realtime 1        # consume frames at the sample rate, not at once
 *     interleaved_only 1  # offer RW_INTERLEAVED access only
 *     noninterleaved_only 1  # offer RW_NONINTERLEAVED access only
 *     mmap_only 1       # offer MMAP access only: no frames can be written
 *     stop_at 30000     # play this many frames, then freeze (its clock runs on)
 *     stop_in_drain 1   # freeze once asked to drain
 *     drain_ms 1500     # its drain returns after this many ms, without
 *                       # playing (-1: never returns)
 *     drain_fails 1     # its drain fails with EPIPE at once, as a plugin's
 *                       # whose stream ran dry does (the device is fine)
 *     open_blocks 1     # its open never returns
 *     channels 4        # offer only this many channels (default: 1..2)
 *     gone_at 22050     # once this many frames were written (0: from the
 *                       # start), every write, and its position, fail with
 *                       # EPIPE for ever, while prepare keeps succeeding
 *     suspend_at 22050  # suspended once, when it has played this many
 *                       # frames (been handed them, unless realtime);
 *                       # resume brings it back (with xrun_at the same, it
 *                       # then reports the underrun it had while suspended;
 *                       # with gone_at or no_resume, it stays suspended)
 *     suspend_in_write 3000  # suspended once, by the write that would take
 *                       # it past this many frames, which fails with
 *                       # ESTRPIPE (with xrun_at the same, once resumed it
 *                       # reports the underrun it had while suspended)
 *     no_resume 1       # resume leaves it suspended
 *     busy_poll 1       # a real-time device whose poll says ready at once,
 *                       # also while it has no room
 *     quiet_poll 1      # a real-time device whose poll is never ready: every
 *                       # wait on it times out
 *     ahead 1024        # its position runs this many frames ahead of what it
 *                       # has played, so that it offers more room than its
 *                       # buffer has (as one that misses an underrun)
 *   }
 *
 * With the environment variable QUEMBLET_TEST_STAMP set, the wall-clock time
 * of the first frames handed to the device is written there in nanoseconds.
 * With QUEMBLET_TEST_CAPTURE set, every frame handed to the device is
 * appended there, channel after channel, as the device's format stores it.
 *
 * The poll descriptor is an eventfd that is always ready (never, with
 * quiet_poll). A real-time device paces its callers in the poll_revents
 * callback instead, by sleeping until it has played another period (unless
 * busy_poll): waiting on it costs no CPU. */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

typedef struct {
  snd_pcm_ioplug_t io;
  snd_pcm_ioplug_callback_t callbacks; /* kCallbacks, with a drain of its own */
  int fd;                              /* poll descriptor, always ready */
  unsigned int only_rate;
  long period; /* frames; 0 for any */
  snd_pcm_format_t format;
  int fail_hw;
  long xrun_at;
  long xrun_in_write; /* frames; 0 for never */
  int xrun_done;
  int realtime;
  int interleaved_only;
  int noninterleaved_only;
  int mmap_only;
  long stop_at; /* frames; 0 for never */
  int stop_in_drain;
  long drain_ms; /* 0: no drain of its own */
  int drain_fails;
  unsigned int channels; /* 0 for 1..2 */
  long gone_at;          /* frames; -1 for never */
  long suspend_at;       /* frames; 0 for never */
  long suspend_in_write; /* frames; 0 for never */
  int suspend_done;
  int no_resume;
  int xrun_pending; /* an underrun to report once resumed */
  int busy_poll;
  snd_pcm_uframes_t ahead;
  FILE* capture;
  int running;
  uint64_t written;       /* frames handed to the device since open */
  snd_pcm_uframes_t base; /* hw position when the clock was last set */
  uint64_t t0_us;         /* wall-clock time of that position */
  int stamped;
} TestDevice;

static uint64_t NowUs(void) {
  struct timeval now;
  gettimeofday(&now, NULL);
  return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_usec;
}

/* A device told to stop at some frame, or when draining, gets no further,
 * whatever its clock. */
static snd_pcm_uframes_t Frozen(TestDevice* d, snd_pcm_uframes_t pos) {
  if (d->stop_in_drain && d->io.state == SND_PCM_STATE_DRAINING && d->stop_at == 0)
    d->stop_at = (long)pos;
  if (d->stop_at > 0 && pos > (snd_pcm_uframes_t)d->stop_at) return (snd_pcm_uframes_t)d->stop_at;
  return pos;
}

/* Where a real-time device has got to in playing: the clock since start,
 * but never beyond what it was given (a starved device waits for data). */
static snd_pcm_uframes_t PlayedTo(TestDevice* d) {
  const uint64_t now = NowUs();
  snd_pcm_uframes_t pos = d->base + (snd_pcm_uframes_t)((now - d->t0_us) * d->io.rate / 1000000u);
  if (pos > d->io.appl_ptr) {
    pos = d->io.appl_ptr;
    d->base = pos;
    d->t0_us = now;
  }
  return Frozen(d, pos);
}

static int TdStart(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  d->t0_us = NowUs();
  d->base = io->hw_ptr;
  d->running = 1;
  return 0;
}

static int TdStop(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  d->running = 0;
  return 0;
}

static int Gone(const TestDevice* d) {
  return d->gone_at >= 0 && d->written >= (uint64_t)d->gone_at;
}

static snd_pcm_sframes_t TdPointer(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  if (io->state == SND_PCM_STATE_SUSPENDED) return (snd_pcm_sframes_t)io->hw_ptr;
  const snd_pcm_uframes_t pos = d->realtime ? PlayedTo(d) : Frozen(d, io->appl_ptr);
  const uint64_t played = d->realtime ? pos : d->written;
  if (d->suspend_at > 0 && !d->suspend_done && played >= (uint64_t)d->suspend_at) {
    d->suspend_done = 1;
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
    return (snd_pcm_sframes_t)io->hw_ptr;
  }
  if (Gone(d)) return -EPIPE;
  if (!d->xrun_done &&
      (d->xrun_pending || (d->xrun_at > 0 && d->written >= (uint64_t)d->xrun_at))) {
    d->xrun_done = 1;
    d->running = 0;
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
    return -EPIPE;
  }
  return (snd_pcm_sframes_t)(pos + d->ahead);
}

static void Capture(TestDevice* d, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                    snd_pcm_uframes_t size) {
  const unsigned int bytes = (unsigned int)snd_pcm_format_physical_width(d->io.format) / 8;
  for (snd_pcm_uframes_t k = offset; k < offset + size; ++k) {
    for (unsigned int ch = 0; ch < d->io.channels; ++ch) {
      const snd_pcm_channel_area_t* a = &areas[ch];
      fwrite((const char*)a->addr + (a->first + k * a->step) / 8, 1, bytes, d->capture);
    }
  }
}

static snd_pcm_sframes_t TdTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                    snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  TestDevice* d = io->private_data;
  if (Gone(d)) return -EPIPE;
  if (d->suspend_in_write > 0 && !d->suspend_done &&
      d->written + size > (uint64_t)d->suspend_in_write) {
    d->suspend_done = 1;
    d->xrun_pending = d->xrun_at == d->suspend_in_write;
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
    return -ESTRPIPE;
  }
  if (d->xrun_in_write > 0 && !d->xrun_done && d->written + size > (uint64_t)d->xrun_in_write) {
    d->xrun_done = 1;
    return -EPIPE;
  }
  if (d->capture != NULL) Capture(d, areas, offset, size);
  if (!d->stamped && size > 0) {
    d->stamped = 1;
    const char* path = getenv("QUEMBLET_TEST_STAMP");
    if (path != NULL) {
      const uint64_t now_us = NowUs();
      FILE* f = fopen(path, "w");
      if (f != NULL) {
        fprintf(f, "%llu\n", (unsigned long long)now_us * 1000u);
        fclose(f);
      }
    }
  }
  d->written += size;
  return (snd_pcm_sframes_t)size;
}

static int TdHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params) {
  TestDevice* d = io->private_data;
  (void)params;
  return d->fail_hw ? -EIO : 0;
}

static int TdPrepare(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  d->base = 0;
  d->t0_us = NowUs();
  d->running = 0;
  return 0;
}

static int TdResume(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  if (Gone(d) || d->no_resume) return -ENODEV; /* stays suspended */
  /* Asleep, it played nothing: its clock goes on from where it stopped. */
  d->base = io->hw_ptr;
  d->t0_us = NowUs();
  return snd_pcm_ioplug_set_state(io, SND_PCM_STATE_RUNNING);
}

/* The drain of a sound server's plugin, which waits for its server. */
static int TdDrain(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  if (d->drain_fails) return -EPIPE;
  if (d->drain_ms < 0)
    for (;;) pause();
  usleep((useconds_t)d->drain_ms * 1000u);
  return 0;
}

static int TdPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                         unsigned short* revents) {
  TestDevice* d = io->private_data;
  if (nfds < 1) return -EINVAL;
  *revents = (pfd[0].revents & POLLIN) ? POLLOUT : 0;
  /* As the kernel's: a stream that cannot go on polls as an error. */
  if (io->state == SND_PCM_STATE_SUSPENDED) *revents |= POLLERR;
  if (d->realtime && d->running && !d->busy_poll) {
    /* Sleep until one more period (or what is queued, if less) is played. */
    const snd_pcm_uframes_t queued = io->appl_ptr - PlayedTo(d);
    const snd_pcm_uframes_t wait = queued < io->period_size ? queued : io->period_size;
    usleep((useconds_t)(wait * 1000000u / io->rate));
  }
  return 0;
}

static int TdClose(snd_pcm_ioplug_t* io) {
  TestDevice* d = io->private_data;
  close(d->fd);
  if (d->capture != NULL) fclose(d->capture);
  free(d);
  return 0;
}

static const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = TdStart,
    .stop = TdStop,
    .pointer = TdPointer,
    .transfer = TdTransfer,
    .close = TdClose,
    .hw_params = TdHwParams,
    .prepare = TdPrepare,
    .poll_revents = TdPollRevents,
    .resume = TdResume,
};

static int SetConstraints(TestDevice* d) {
  static const unsigned int access[] = {
      SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED,
      SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_MMAP_NONINTERLEAVED};
  const unsigned int* offered = access + (d->noninterleaved_only ? 1 : d->mmap_only ? 2 : 0);
  const unsigned int access_count = d->interleaved_only || d->noninterleaved_only ? 1
                                    : d->mmap_only                                ? 2
                                                                                  : 4;
  unsigned int format = (unsigned int)d->format;
  /* Periods are given in bytes: those of two channels, as the tests ask. */
  const unsigned int period_bytes = (unsigned int)(d->period * (d->channels ? d->channels : 2) *
                                                   (snd_pcm_format_physical_width(d->format) / 8));
  int err;
  if ((err = snd_pcm_ioplug_set_param_list(&d->io, SND_PCM_IOPLUG_HW_ACCESS, access_count,
                                           offered)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(&d->io, SND_PCM_IOPLUG_HW_FORMAT, 1, &format)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&d->io, SND_PCM_IOPLUG_HW_CHANNELS,
                                             d->channels ? d->channels : 1,
                                             d->channels ? d->channels : 2)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&d->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                             period_bytes ? period_bytes : 64,
                                             period_bytes ? period_bytes : 1 << 20)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&d->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0)
    return err;
  if (d->only_rate)
    return snd_pcm_ioplug_set_param_list(&d->io, SND_PCM_IOPLUG_HW_RATE, 1, &d->only_rate);
  return snd_pcm_ioplug_set_param_minmax(&d->io, SND_PCM_IOPLUG_HW_RATE, 1000, 768000);
}

SND_PCM_PLUGIN_DEFINE_FUNC(quemblet_test) {
  snd_config_iterator_t i, next;
  TestDevice* d;
  long only_rate = 0, period = 0, fail_hw = 0, xrun_at = 0, xrun_in_write = 0, realtime = 0,
       interleaved_only = 0, noninterleaved_only = 0, mmap_only = 0, stop_at = 0, stop_in_drain = 0,
       channels = 0, gone_at = -1, suspend_at = 0, busy_poll = 0, quiet_poll = 0, ahead = 0,
       drain_ms = 0, drain_fails = 0, open_blocks = 0, suspend_in_write = 0, no_resume = 0;
  snd_pcm_format_t format = SND_PCM_FORMAT_S24_3LE;
  int err;
  (void)root;

  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint")) continue;
    if (!strcmp(id, "rate") && snd_config_get_integer(n, &only_rate) == 0) continue;
    if (!strcmp(id, "period") && snd_config_get_integer(n, &period) == 0 && period >= 0) continue;
    if (!strcmp(id, "fail_hw") && snd_config_get_integer(n, &fail_hw) == 0) continue;
    if (!strcmp(id, "xrun_at") && snd_config_get_integer(n, &xrun_at) == 0) continue;
    if (!strcmp(id, "xrun_in_write") && snd_config_get_integer(n, &xrun_in_write) == 0) continue;
    if (!strcmp(id, "realtime") && snd_config_get_integer(n, &realtime) == 0) continue;
    if (!strcmp(id, "interleaved_only") && snd_config_get_integer(n, &interleaved_only) == 0)
      continue;
    if (!strcmp(id, "noninterleaved_only") && snd_config_get_integer(n, &noninterleaved_only) == 0)
      continue;
    if (!strcmp(id, "mmap_only") && snd_config_get_integer(n, &mmap_only) == 0) continue;
    if (!strcmp(id, "stop_at") && snd_config_get_integer(n, &stop_at) == 0) continue;
    if (!strcmp(id, "stop_in_drain") && snd_config_get_integer(n, &stop_in_drain) == 0) continue;
    if (!strcmp(id, "drain_ms") && snd_config_get_integer(n, &drain_ms) == 0) continue;
    if (!strcmp(id, "drain_fails") && snd_config_get_integer(n, &drain_fails) == 0) continue;
    if (!strcmp(id, "open_blocks") && snd_config_get_integer(n, &open_blocks) == 0) continue;
    if (!strcmp(id, "suspend_in_write") && snd_config_get_integer(n, &suspend_in_write) == 0)
      continue;
    if (!strcmp(id, "no_resume") && snd_config_get_integer(n, &no_resume) == 0) continue;
    if (!strcmp(id, "channels") && snd_config_get_integer(n, &channels) == 0 && channels > 0 &&
        channels <= 32)
      continue;
    if (!strcmp(id, "gone_at") && snd_config_get_integer(n, &gone_at) == 0) continue;
    if (!strcmp(id, "suspend_at") && snd_config_get_integer(n, &suspend_at) == 0) continue;
    if (!strcmp(id, "busy_poll") && snd_config_get_integer(n, &busy_poll) == 0) continue;
    if (!strcmp(id, "quiet_poll") && snd_config_get_integer(n, &quiet_poll) == 0) continue;
    if (!strcmp(id, "ahead") && snd_config_get_integer(n, &ahead) == 0 && ahead >= 0) continue;
    if (!strcmp(id, "format")) {
      const char* text;
      if (snd_config_get_string(n, &text) == 0 &&
          (format = snd_pcm_format_value(text)) != SND_PCM_FORMAT_UNKNOWN)
        continue;
    }
    SNDERR("quemblet_test: bad field %s", id);
    return -EINVAL;
  }
  if (stream != SND_PCM_STREAM_PLAYBACK) return -EINVAL;
  if (open_blocks)
    for (;;) pause();

  d = calloc(1, sizeof *d);
  if (d == NULL) return -ENOMEM;
  d->only_rate = (unsigned int)only_rate;
  d->period = period;
  d->format = format;
  d->fail_hw = (int)fail_hw;
  d->xrun_at = xrun_at;
  d->xrun_in_write = xrun_in_write;
  d->realtime = (int)realtime;
  d->interleaved_only = (int)interleaved_only;
  d->noninterleaved_only = (int)noninterleaved_only;
  d->mmap_only = (int)mmap_only;
  d->stop_at = stop_at;
  d->stop_in_drain = (int)stop_in_drain;
  d->drain_ms = drain_ms;
  d->drain_fails = (int)drain_fails;
  d->channels = (unsigned int)channels;
  d->gone_at = gone_at;
  d->suspend_at = suspend_at;
  d->suspend_in_write = suspend_in_write;
  d->no_resume = (int)no_resume;
  d->busy_poll = (int)busy_poll;
  d->ahead = (snd_pcm_uframes_t)ahead;
  d->fd = eventfd(quiet_poll ? 0 : 1, EFD_NONBLOCK | EFD_CLOEXEC);
  if (d->fd < 0) {
    err = -errno;
    free(d);
    return err;
  }
  d->io.version = SND_PCM_IOPLUG_VERSION;
  d->io.name = "quemblet test device";
  d->callbacks = kCallbacks;
  if (drain_ms || drain_fails) d->callbacks.drain = TdDrain;
  d->io.callback = &d->callbacks;
  d->io.private_data = d;
  d->io.poll_fd = d->fd;
  d->io.poll_events = POLLIN;
  d->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
  if ((err = snd_pcm_ioplug_create(&d->io, name, stream, mode)) < 0) {
    close(d->fd);
    free(d);
    return err;
  }
  if (getenv("QUEMBLET_TEST_CAPTURE") != NULL)
    d->capture = fopen(getenv("QUEMBLET_TEST_CAPTURE"), "ab");
  if ((err = SetConstraints(d)) < 0) {
    snd_pcm_ioplug_delete(&d->io);
    return err;
  }
  *pcmp = d->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(quemblet_test);
