// The FT232R cable for the native Linux program, through libftdi1. Listing needs no library
// (sysfs, host_usb_serial.cpp); opening takes the chip from the kernel's ftdi_sio for the run
// and gives it back on close. Only the real program links this file and the library: the
// simulated cable answers the same calls in the tests.
#include <ftdi.h>
#include <libusb.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdint>

#include "platform/ftdi.h"
#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_port.h"
#include "platform/posix/host_serial.h"
#include "platform/posix/host_usb_serial.h"

namespace platform {

namespace {

ftdi_context context;
bool context_ready = false;  // ftdi_init done, ftdi_deinit owed
bool device_open = false;
posix_host::UsbAddress opened_at{};  // where the open device sits on the bus
// A transfer failed midway: bytes of it may still be in the chip or on their way back, and
// would shift every later read by as many places. Purged before the next transfer.
bool stream_dirty = false;
// A transfer that could not be taken back (the device stopped answering even a cancel): the
// context must not be used for anything but closing.
bool context_broken = false;

// Control requests and each bulk transfer give up after this; the device is then gone.
constexpr int usb_timeout_ms = 1000;
// Bytes per IN transfer of the stream: eight packets.
constexpr int read_chunk = 128;
// How long one wait for USB events may block before the deadline is looked at again.
constexpr int event_wait_us = 10000;
// A transfer's deadline: twice its bytes at the slowest byte rate the divisor may give, plus
// this.
constexpr int64_t transfer_slack_ms = 1000;
// Until a divisor is set the chip runs at what the open left (9600 Bd): a quarter of it, as
// libftdi1 reads a divisor's bit-bang rate at its slowest.
constexpr uint32_t unknown_byte_rate = 2400;
// The latch byte is clocked out at the rate of the moment (at least a few thousand bytes a
// second) before the mode may change.
constexpr uint32_t latch_settle_ms = 2;
// How long a cancelled transfer may take to come back.
constexpr int64_t cancel_wait_ms = 500;
// libftdi1 programs the divisor for 4 times the requested rate while a bit mode is on
// (ftdi.c, ftdi_set_baudrate: "bitbang baudrates are automatically multiplied by 4").
constexpr uint32_t libftdi_bitbang_factor = 4;
constexpr uint32_t max_baud = 3000000;

uint32_t slowest_byte_rate = unknown_byte_rate;

bool fail(uint32_t code) {
  posix_host::set_last_error(code);
  return false;
}

// A device that stops answering mid-run has been pulled out, as far as the run is concerned.
bool device_failed() { return fail(err::device_not_connected); }

int64_t now_ms() {
  int64_t ns = 0;
  posix_host::query_counter(&ns);
  return ns / 1000000;
}

void wait_for_events() {
  timeval wait{0, event_wait_us};
  libusb_handle_events_timeout_completed(context.usb_ctx, &wait, nullptr);
}

// Takes a submitted transfer back; true when libusb has let go of it (it is then freed).
bool take_back(ftdi_transfer_control* tc) {
  const int64_t deadline = now_ms() + cancel_wait_ms;
  // libftdi 1.5's callbacks mark a cancelled transfer completed but resubmit one that ended
  // otherwise (timed out, a short read): cancel again until it stays cancelled.
  while (!tc->completed && tc->transfer != nullptr && now_ms() < deadline) {
    libusb_cancel_transfer(tc->transfer);
    wait_for_events();
  }
  if (!tc->completed) return false;
  ftdi_transfer_data_done(tc);
  return true;
}

bool present(const posix_host::UsbAddress& where) {
  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(context.usb_ctx, &devices);
  bool found = false;
  for (ssize_t i = 0; i < count; ++i) {
    found = found || (libusb_get_bus_number(devices[i]) == where.bus &&
                      libusb_get_device_address(devices[i]) == where.address);
  }
  if (count >= 0) libusb_free_device_list(devices, 1);
  return found;
}

bool tty_free(int32_t com) {
  char name[16];
  char device[600];
  if (com == 0 || !posix_host::com_device_name(com, name, sizeof name)) return true;
  std::snprintf(device, sizeof device, "%s/%s", posix_host::device_root(), name);
  struct stat info {};
  if (stat(device, &info) != 0) return true;  // no node: nobody can have it open
  return posix_host::port_free_before_open(name, device);
}

void forget_flights();

void release_context() {
  forget_flights();
  if (context_ready) ftdi_deinit(&context);
  context_ready = false;
  device_open = false;
  stream_dirty = false;
  context_broken = false;
  slowest_byte_rate = unknown_byte_rate;
}

bool usable() {
  if (!device_open) return fail(err::invalid_handle);
  return context_broken ? device_failed() : true;
}

}  // namespace

int usb_serial_list(UsbSerialDevice* devices, int capacity) {
  return posix_host::usb_serial_list(devices, capacity);
}

bool ftdi_open(int index) {
  ftdi_close();
  posix_host::UsbAddress where{};
  bool ft232r = false;
  int32_t com = 0;
  if (!posix_host::usb_serial_address(index, &where, &ft232r, &com)) return fail(err::invalid_parameter);
  if (!ft232r) return fail(err::not_supported);
  // Detaching ftdi_sio would hang up whoever has the ttyUSB open (a terminal, a serial
  // console): such a cable is refused like a port in use.
  if (!tty_free(com)) return fail(err::open_failed);
  if (ftdi_init(&context) < 0) return fail(err::open_failed);
  context_ready = true;
  // ftdi_sio lets go of the chip while it is open here and takes it back when it is released,
  // so the COM port comes back after the run.
  context.module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  context.usb_read_timeout = usb_timeout_ms;
  context.usb_write_timeout = usb_timeout_ms;
  if (ftdi_usb_open_bus_addr(&context, where.bus, where.address) < 0) {
    // Gone from the bus, or there but held by another program or not ours to open.
    const uint32_t code = present(where) ? err::open_failed : err::device_not_connected;
    release_context();
    return fail(code);
  }
  device_open = true;
  opened_at = where;
  // From here a signal leaves the pins to the stream (host_signals.cpp).
  posix_host::guard_cable_against_signals();
  return true;
}

// The FT232R has no call that sets the output latch on its own, and entering a bit mode
// drives the masked pins from the latch at once; its power-on zeros would be RTS# low (RTS
// asserted: the target powered) and DTR# low (the clock high). So the latch is written in
// asynchronous bit-bang mode with every pin an input: for those few milliseconds nothing is
// driven (the chip's weak pull-ups hold the pins high, which on the cable is every line idle),
// the byte lands in the latch, and the synchronous mode entered next drives its outputs from
// there.
bool ftdi_set_latch(uint8_t pins) {
  if (!usable()) return false;
  unsigned char byte = pins;
  if (::ftdi_set_bitmode(&context, 0x00, BITMODE_BITBANG) < 0) return device_failed();
  if (ftdi_write_data(&context, &byte, 1) != 1) return device_failed();
  posix_host::sleep_ms(latch_settle_ms);
  return true;
}

bool ftdi_set_bitmode(uint8_t output_mask, uint8_t mode) {
  if (!usable()) return false;
  if (mode != bitmode_reset && mode != bitmode_synchronous) return fail(err::invalid_parameter);
  // The UART takes the pins back with whatever RTS and DTR its last user left on: off first, or
  // the target is powered from the moment the bit mode is left.
  if (mode == bitmode_reset && ftdi_setdtr_rts(&context, 0, 0) < 0) return device_failed();
  if (::ftdi_set_bitmode(&context, output_mask, mode) < 0) return device_failed();
  if (mode == bitmode_synchronous) {
    // Whatever the chip sampled before (asynchronous mode samples on its own) must not be
    // taken for the first bytes of the stream.
    if (ftdi_tcioflush(&context) < 0) return device_failed();
    stream_dirty = false;
  }
  return true;
}

bool ftdi_set_baud(uint32_t baud, uint32_t slowest) {
  if (!usable()) return false;
  if (baud == 0 || baud > max_baud || slowest == 0) return fail(err::invalid_parameter);
  // The divisor for the baud rate itself, as D2XX's FT_SetBaudRate programs it: libftdi1
  // multiplies only while a bit mode is on, so it is asked for a quarter then.
  const uint32_t request = context.bitbang_enabled ? baud / libftdi_bitbang_factor : baud;
  if (request == 0 || request * (context.bitbang_enabled ? libftdi_bitbang_factor : 1) != baud) {
    return fail(err::invalid_parameter);
  }
  const int result = ftdi_set_baudrate(&context, static_cast<int>(request));
  if (result == -1) return fail(err::invalid_parameter);  // a rate the divisor cannot make
  if (result < 0) return device_failed();
  slowest_byte_rate = slowest;
  return true;
}

bool ftdi_read_pins(uint8_t* pins) {
  if (!usable()) return false;
  if (pins == nullptr) return fail(err::invalid_parameter);
  unsigned char level = 0;
  if (::ftdi_read_pins(&context, &level) < 0) return device_failed();
  *pins = level;
  return true;
}

bool ftdi_set_latency_ms(uint8_t ms) {
  if (!usable()) return false;
  const int result = ftdi_set_latency_timer(&context, ms);
  if (result == -1) return fail(err::invalid_parameter);  // 1..255 only
  return result < 0 ? device_failed() : true;
}

// Transfers in flight, oldest first. Each one's writes are queued at the USB at once, behind
// those of the transfers before it, so the chip always has bytes to clock while any are owed.
//
// The reads do not go through libftdi's ftdi_read_data_submit: it reads through the context's
// one read buffer (ftdi.c: the libusb transfer is filled into ftdi->readbuffer, its callback
// moves the bytes into the caller's buffer and keeps what lies beyond the caller's count in
// readbuffer_remaining for the next read), so only one read can be pending, and between its
// libusb transfer finishing and the host handling that, no IN transfer is queued at all. The
// chip's 256-byte receive FIFO then fills (256 us at the fastest reading) and its clock stops:
// a host controller that reports finished transfers once a frame (OHCI, UHCI) leaves it
// stopped until the frame's end (up to 254 us in a call on the virtual bus, where a one-block
// checksum's busy signal lasts 112 us), long enough to miss a busy signal whole. So, as libftdi's
// own ftdi_readstream does, several IN transfers of our own stay queued on the endpoint
// (ftdi->out_ep, 0x81: libftdi names endpoints from the chip's side) while samples are owed;
// one finishing leaves the next already receiving. Their callbacks strip the two status bytes
// of every 64-byte packet and hand the samples to the transfers in flight, in order.
//
// The risk that remains: a host that does not handle USB events for longer than the queued IN
// transfers take to fill (about 2 ms of a running stream at the fastest reading, see
// read_urbs) lets the chip's receive FIFO fill and its clock stop, unsampled, until it does.
// Events are handled only inside ftdi_done (and the cancels of a failure), and the stream
// keeps the host there for nearly all of a wait; a process descheduled for that long is the
// case left open.
namespace {

struct Flight {
  const uint8_t* out;
  uint8_t* in;
  size_t count;
  size_t received;  // samples in `in` so far
  int pieces;       // write transfers submitted for it
  int pieces_done;  // of them, those collected
};
// libftdi's write chunk (ftdi_init: 4096): a write of at most this many bytes is one libusb
// transfer that libftdi never has to resubmit with its rest, so the pieces reach the chip in
// the order submitted. The chip's own 128-byte FIFO takes them packet by packet as it clocks.
constexpr size_t write_piece = 4096;
constexpr int pieces_per_transfer = 8;
constexpr size_t max_count = write_piece * pieces_per_transfer;
// IN transfers kept queued: each completes at a short packet or when read_chunk bytes (two
// 64-byte packets, two bytes of each the chip's status) have come, so the host hears of a
// sample within 124 samples of it (and the frame's end), well within the watch's read-ahead.
// Together they take 1984 samples: about 2 ms of a running stream at the fastest reading, more
// than the frame a host controller may take to report one finished.
constexpr int read_urbs = 16;
constexpr int packet_size = 64;  // the FT232R's bulk packets at full speed
constexpr int status_bytes = 2;  // modem and line status at the head of every IN packet

Flight flights[ftdi_max_in_flight];
ftdi_transfer_control* pieces[ftdi_max_in_flight][pieces_per_transfer];
int oldest = 0;  // index of the oldest transfer in flight
int in_flight = 0;
int receiving = 0;  // the transfer in flight, counted from the oldest, that the next sample is for

libusb_transfer* urbs[read_urbs];
uint8_t urb_buffers[read_urbs][read_chunk];
bool urb_queued[read_urbs];
bool read_failed = false;  // an IN transfer ended otherwise than completed, or brought too much

int slot(int nth) { return (oldest + nth) % ftdi_max_in_flight; }

bool samples_owed() {
  for (int n = receiving; n < in_flight; ++n) {
    if (flights[slot(n)].received < flights[slot(n)].count) return true;
  }
  return false;
}

// The samples of one IN packet go to the transfers in flight, in order. A sample for which no
// transfer waits means the stream has slipped: the read fails.
void take_samples(const uint8_t* data, int length) {
  for (int i = 0; i < length; ++i) {
    while (receiving < in_flight && flights[slot(receiving)].received == flights[slot(receiving)].count) ++receiving;
    if (receiving == in_flight) {
      read_failed = true;
      return;
    }
    Flight& f = flights[slot(receiving)];
    f.in[f.received++] = data[i];
  }
}

bool queue_urb(int i);

void LIBUSB_CALL urb_done(libusb_transfer* urb) {
  const int i = static_cast<int>(reinterpret_cast<intptr_t>(urb->user_data));
  urb_queued[i] = false;
  if (urb->status != LIBUSB_TRANSFER_COMPLETED) {
    // Taken back (cancelled) on purpose, or failed (the device gone): either way nothing more
    // is read until the stream is purged.
    if (urb->status != LIBUSB_TRANSFER_CANCELLED) read_failed = true;
    return;
  }
  for (int at = 0; at < urb->actual_length; at += packet_size) {
    const int packet = urb->actual_length - at < packet_size ? urb->actual_length - at : packet_size;
    if (packet > status_bytes) take_samples(urb->buffer + at + status_bytes, packet - status_bytes);
  }
  // Still owed samples: straight back into the queue, behind the others.
  if (!read_failed && samples_owed() && !queue_urb(i)) read_failed = true;
}

// No libusb timeout: the transfer waits for as long as the stream takes; done's deadline
// judges it.
bool queue_urb(int i) {
  if (urbs[i] == nullptr) {
    urbs[i] = libusb_alloc_transfer(0);
    if (urbs[i] == nullptr) return false;
  }
  libusb_fill_bulk_transfer(urbs[i], context.usb_dev, static_cast<unsigned char>(context.out_ep), urb_buffers[i],
                            read_chunk, urb_done, reinterpret_cast<void*>(static_cast<intptr_t>(i)), 0);
  if (libusb_submit_transfer(urbs[i]) != 0) return false;
  urb_queued[i] = true;
  return true;
}

// Every IN transfer queued while samples are owed.
bool queue_reads() {
  if (!samples_owed()) return true;
  for (int i = 0; i < read_urbs; ++i) {
    if (!urb_queued[i] && !queue_urb(i)) return false;
  }
  return true;
}

// libftdi fills every write's timeout from the context: none on the queued ones, which wait
// behind each other for as long as the chip takes; done's deadline judges them. (A write that
// timed out would be resubmitted by libftdi's callback with its rest, behind pieces submitted
// later.)
ftdi_transfer_control* submit_piece(const uint8_t* out, size_t size) {
  context.usb_write_timeout = 0;
  // libftdi takes the buffer as writable but only reads it.
  ftdi_transfer_control* tc = ftdi_write_data_submit(&context, const_cast<uint8_t*>(out), static_cast<int>(size));
  context.usb_write_timeout = usb_timeout_ms;
  return tc;
}

// Writes that finished are collected, in order. False when a transfer failed.
bool collect() {
  if (read_failed) return false;
  for (int n = 0; n < in_flight; ++n) {
    Flight& f = flights[slot(n)];
    ftdi_transfer_control** mine = pieces[slot(n)];
    while (f.pieces_done < f.pieces && mine[f.pieces_done]->completed) {
      const int expected = mine[f.pieces_done]->size;
      const int written = ftdi_transfer_data_done(mine[f.pieces_done]);
      mine[f.pieces_done++] = nullptr;
      if (written != expected) return false;
    }
  }
  return true;
}

// An IN transfer taken back: cancelled, and its callback run.
bool take_back_urb(int i) {
  const int64_t deadline = now_ms() + cancel_wait_ms;
  if (urb_queued[i]) libusb_cancel_transfer(urbs[i]);
  while (urb_queued[i] && now_ms() < deadline) wait_for_events();
  return !urb_queued[i];
}

// A transfer failed or ran out of time: every one in flight is taken back. Bytes of them may
// still be in the chip or on their way back and would shift later reads: purged before the
// next transfer.
bool give_up() {
  bool taken_back = true;
  in_flight = 0;  // the callbacks of the reads taken back find no transfer waiting
  for (int i = 0; i < read_urbs; ++i) taken_back = take_back_urb(i) && taken_back;
  for (int n = 0; n < ftdi_max_in_flight; ++n) {
    Flight& f = flights[n];
    for (int i = f.pieces_done; i < f.pieces; ++i) {
      if (pieces[n][i] != nullptr) taken_back = take_back(pieces[n][i]) && taken_back;
      pieces[n][i] = nullptr;
    }
    f = Flight{};
  }
  oldest = 0;
  receiving = 0;
  read_failed = false;
  stream_dirty = true;
  context_broken = context_broken || !taken_back;
  // A cable still on the bus is reported as a failed transfer, not as pulled out: the stream
  // then switches the target off through it in the power-off order.
  return fail(!context_broken && present(opened_at) ? err::gen_failure : err::device_not_connected);
}

// After a close: nothing of the old device is in flight any more; the IN transfers are freed
// (a broken context's are left to libusb, which may still hold them).
void forget_flights() {
  for (int i = 0; i < read_urbs; ++i) {
    if (urbs[i] != nullptr && !urb_queued[i]) libusb_free_transfer(urbs[i]);
    urbs[i] = nullptr;
    urb_queued[i] = false;
  }
  for (auto& row : pieces) {
    for (ftdi_transfer_control*& tc : row) tc = nullptr;
  }
  for (Flight& f : flights) f = Flight{};
  oldest = 0;
  in_flight = 0;
  receiving = 0;
  read_failed = false;
}

}  // namespace

bool ftdi_submit(const uint8_t* out, uint8_t* in, size_t count) {
  if (!usable()) return false;
  if (in_flight == ftdi_max_in_flight) return fail(err::invalid_parameter);
  if (count > 0 && (out == nullptr || in == nullptr)) return fail(err::invalid_parameter);
  if (count > max_count) return fail(err::invalid_parameter);
  if (stream_dirty && in_flight == 0) {
    if (ftdi_tcioflush(&context) < 0) return device_failed();
    stream_dirty = false;
  }
  const int at = slot(in_flight);
  Flight& f = flights[at];
  f = Flight{out, in, count, 0, 0, 0};
  ++in_flight;
  // The reads first: the chip clocks a byte only while it has room for the sample.
  if (!queue_reads()) return give_up();
  for (size_t offset = 0; offset < count; offset += write_piece) {
    const size_t size = count - offset < write_piece ? count - offset : write_piece;
    ftdi_transfer_control* tc = submit_piece(out + offset, size);
    if (tc == nullptr) return give_up();
    pieces[at][f.pieces++] = tc;
  }
  return true;
}

// Waits for the oldest transfer: its writes collected and its samples in. The deadline allows
// twice its bytes at the slowest byte rate the divisor may give, plus the slack; nothing
// before it is owed any more, so no working device comes near it (an unplugged one usually
// fails at once).
bool ftdi_done() {
  if (!usable()) return false;
  if (in_flight == 0) return fail(err::invalid_parameter);
  const Flight& f = flights[oldest];
  const int64_t deadline = now_ms() + transfer_slack_ms +
                           static_cast<int64_t>(f.count) * 2000 / static_cast<int64_t>(slowest_byte_rate);
  for (;;) {
    if (!collect()) return give_up();
    if (f.received == f.count && f.pieces_done == f.pieces) break;
    if (now_ms() > deadline) return give_up();
    wait_for_events();
  }
  flights[oldest] = Flight{};
  oldest = slot(1);
  --in_flight;
  if (receiving > 0) --receiving;
  return true;
}

int emergency_signal() { return posix_host::emergency_signal(); }
void end_after_emergency(int signal_number) { posix_host::end_after_emergency(signal_number); }

void ftdi_close() {
  const uint32_t error = posix_host::last_error();  // a failure being reported stays reported
  // Transfers still in flight are taken back before the pins change hands.
  bool reading = false;
  for (const bool queued : urb_queued) reading = reading || queued;
  if (device_open && (in_flight > 0 || reading)) (void)give_up();
  if (device_open && !context_broken) {
    // The UART takes the pins back with RTS and DTR off: the target stays unpowered.
    ftdi_setdtr_rts(&context, 0, 0);
    ::ftdi_set_bitmode(&context, uart_output_pins, BITMODE_RESET);
  }
  // Releasing the interface hands the chip back to ftdi_sio.
  if (device_open) ftdi_usb_close(&context);
  release_context();
  posix_host::cable_released_from_signals();
  posix_host::set_last_error(error);
}

}  // namespace platform
