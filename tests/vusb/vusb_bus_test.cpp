// The virtual bus itself (libvusb, loaded into a child of the test): a full-speed bus carries
// at most 19 bulk packets of 64 bytes a frame, and a finished transfer reaches the host at the
// end of the 1 ms frame it finished in. Nothing attached to the cable, asynchronous bit-bang at
// 3 MBd: the chip empties its FIFO at 48 MB/s, so the bus alone sets the pace.
#include <dlfcn.h>
#include <libusb-1.0/libusb.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Measured {
  char failed[64];
  int64_t bulk_ns;              // 5 frames' worth of packets, submission to callback
  int64_t reported_ns[3];       // three one-packet transfers, each submitted after the last's callback
};

struct Lib {
  void* handle;
  template <typename F>
  F get(const char* name) {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
};

void LIBUSB_CALL mark_done(libusb_transfer* x) { *static_cast<int*>(x->user_data) = 1; }

// Runs in the child: every libusb call goes to libvusb, time is its virtual clock.
void measure(Measured* m) {
  setenv("VUSB_ATTACH", "nothing", 1);
  Lib lib{dlopen(VUSB_LIBRARY, RTLD_NOW | RTLD_LOCAL)};
  if (lib.handle == nullptr) {
    std::snprintf(m->failed, sizeof m->failed, "dlopen");
    return;
  }
  auto now_ns = [&lib]() {
    timespec t{};
    lib.get<int (*)(clockid_t, timespec*)>("clock_gettime")(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  libusb_context* ctx = nullptr;
  libusb_device** list = nullptr;
  libusb_device_handle* h = nullptr;
  auto control = lib.get<int (*)(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char*, uint16_t,
                                 unsigned int)>("libusb_control_transfer");
  if (lib.get<int (*)(libusb_context**)>("libusb_init")(&ctx) != 0 ||
      lib.get<ssize_t (*)(libusb_context*, libusb_device***)>("libusb_get_device_list")(ctx, &list) < 1 ||
      lib.get<int (*)(libusb_device*, libusb_device_handle**)>("libusb_open")(list[0], &h) != 0 ||
      lib.get<int (*)(libusb_device_handle*, int)>("libusb_set_auto_detach_kernel_driver")(h, 1) != 0 ||
      lib.get<int (*)(libusb_device_handle*, int)>("libusb_claim_interface")(h, 0) != 0 ||
      control(h, 0x40, 0x03, 0, 0, nullptr, 0, 1000) < 0 ||        // divisor 0: 3 MBd
      control(h, 0x40, 0x0B, 0x01FF, 1, nullptr, 0, 1000) < 0) {  // asynchronous bit-bang
    std::snprintf(m->failed, sizeof m->failed, "setup");
    return;
  }
  auto submit = lib.get<int (*)(libusb_transfer*)>("libusb_submit_transfer");
  auto events = lib.get<int (*)(libusb_context*, timeval*, int*)>("libusb_handle_events_timeout_completed");
  std::vector<unsigned char> bytes(5 * 19 * 64, 0xFF);
  // One OUT transfer; the virtual time from its submission to its callback.
  auto send = [&](int length) -> int64_t {
    libusb_transfer* x = lib.get<libusb_transfer* (*)(int)>("libusb_alloc_transfer")(0);
    int done = 0;
    x->dev_handle = h;
    x->endpoint = 0x02;
    x->type = LIBUSB_TRANSFER_TYPE_BULK;
    x->buffer = bytes.data();
    x->length = length;
    x->callback = mark_done;
    x->user_data = &done;
    const int64_t start = now_ns();
    if (submit(x) != 0) return -1;
    while (done == 0) {
      timeval wait{1, 0};
      events(ctx, &wait, &done);
    }
    const int64_t end = now_ns();
    const bool ok = x->status == LIBUSB_TRANSFER_COMPLETED && x->actual_length == length;
    lib.get<void (*)(libusb_transfer*)>("libusb_free_transfer")(x);
    return ok ? end - start : -1;
  };
  m->bulk_ns = send(static_cast<int>(bytes.size()));
  for (int64_t& t : m->reported_ns) {
    (void)send(64);
    t = now_ns();
  }
}

TEST(VirtualUsbBus, NineteenPacketsAFrameReportedAtTheFramesEnd) {
  auto* m = static_cast<Measured*>(mmap(nullptr, sizeof(Measured), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(m, MAP_FAILED);
  *m = Measured{};
  const pid_t child = fork();
  if (child == 0) {
    measure(m);
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  const Measured got = *m;
  munmap(m, sizeof(Measured));
  ASSERT_STREQ(got.failed, "");
  std::printf("[ bus ] 95 packets in %.3f ms; reported at +%.4f, +%.4f ms\n", got.bulk_ns / 1e6,
              (got.reported_ns[1] - got.reported_ns[0]) / 1e6, (got.reported_ns[2] - got.reported_ns[1]) / 1e6);
  // 95 packets at 19 a frame: five frames, reported at the end of the fifth (the clock reads
  // in between add a few microseconds).
  EXPECT_GE(got.bulk_ns, 5'000'000 - 60'000) << "more than 19 packets a frame";
  EXPECT_LE(got.bulk_ns, 6'000'000 + 10'000);
  // A one-packet transfer submitted just after a frame's end finishes at once and is reported
  // at the next: one frame apart, to the clock reads' few steps.
  for (int i = 1; i < 3; ++i) {
    EXPECT_NEAR(static_cast<double>(got.reported_ns[i] - got.reported_ns[i - 1]), 1e6, 2000) << i;
  }
}

}  // namespace
