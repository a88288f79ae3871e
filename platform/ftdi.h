// USB-serial bridges and the FT232R's synchronous bit-bang mode: the same passive adapter on a
// USB-RS232 cable, its modem lines driven from a byte stream instead of one call per switch.
// The calls mirror the vendor libraries (libftdi1 on Linux, FTDI's D2XX on Windows); which
// world answers them (a library, or the simulated cable) is chosen at link time, like the rest
// of the platform boundary. One device is open at a time.
//
// Failures leave a Windows system error number in last_error(), as every platform call does:
// dll_not_found when the vendor library is absent, device_not_connected when the device is
// gone (unplugged), open_failed when it is present but cannot be opened (busy, no permission).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

namespace err {
constexpr uint32_t dll_not_found = 1157;  // ERROR_DLL_NOT_FOUND
}  // namespace err

// What the system says about one USB-serial bridge.
struct UsbSerialDevice {
  char chip[16];     // "FT232R", "FT2232", "FT-X", "FT232B", "CH340", "PL2303", ... ("?" unknown)
  bool ft232r;       // an FT232R: the only chip whose modem-line pins this tool bit-bangs
  char serial[24];   // the device's serial number, "" when it has none
  int32_t com_port;  // COM number of its serial port while the system's driver holds it; 0 none
};
constexpr int max_usb_serial_devices = 16;

// Every USB-serial bridge present: FTDI chips of any type, and the other makes the system can
// name (so that a CH340 or PL2303 is refused with its name rather than "not found"). Fills up
// to capacity entries; returns how many there are (may exceed capacity), or -1 on failure.
// The order is stable while nothing is plugged in or out; ftdi_open takes an index into it.
int usb_serial_list(UsbSerialDevice* devices, int capacity);

// Opens entry index of the last list (an FT232R), taking it from the system's serial driver for
// as long as it is open. The device's pins keep their levels. An index outside the last list
// fails with invalid_parameter, an entry that is not an FT232R with not_supported.
bool ftdi_open(int index);
// The pins' levels while the bit-bang mode is off: the output latch. Written before entering
// the mode so that the outputs come up at these levels, never at the latch's power-on zeros.
bool ftdi_set_latch(uint8_t pins);
// Bit mode: 0 off (the UART again, its RTS and DTR switched off before it takes the pins), 4
// synchronous bit-bang with output_mask's pins driven.
constexpr uint8_t bitmode_reset = 0x00;
constexpr uint8_t bitmode_synchronous = 0x04;
bool ftdi_set_bitmode(uint8_t output_mask, uint8_t mode);
// The pins the UART drives itself (TXD, RTS#, DTR#): the output mask given when bit-bang mode
// is left, as OpenOCD's ft232r driver restores them, so the port works as a serial port again.
constexpr uint8_t uart_output_pins = 0x15;
// The divisor of the bit-bang clock, as the nominal baud rate it makes in UART mode (the same
// vendor request whichever library sends it); slowest_byte_rate is the fewest bytes a second
// it may clock, which every transfer's deadline allows for.
bool ftdi_set_baud(uint32_t baud, uint32_t slowest_byte_rate);
// The pins as they stand now (the chip's pin-read request), outputs included.
bool ftdi_read_pins(uint8_t* pins);
// USB latency timer: how long the chip holds back a partly filled packet towards the host.
bool ftdi_set_latency_ms(uint8_t ms);
// Synchronous bit-bang, with reads submitted ahead. The chip clocks a byte out only while it has
// a byte to write and room for the byte it samples, so a watch that must sample without a gap
// keeps several transfers in flight: each writes its count bytes, each setting the output pins
// at the bit-bang clock, and reads back the count bytes the chip sampled, each just before its
// byte's outputs took effect. Transfers reach the pins in the order submitted, one behind the
// other. out and in belong to the transfer until ftdi_done has returned for it.
constexpr int ftdi_max_in_flight = 16;
// Queues one transfer behind those in flight (at most ftdi_max_in_flight); false on failure.
bool ftdi_submit(const uint8_t* out, uint8_t* in, size_t count);
// Waits for the oldest transfer in flight: every byte clocked and its samples in `in`. False
// on failure; every transfer still in flight is then taken back, none of their samples usable.
bool ftdi_done();
// Takes back any transfer still in flight, leaves bit-bang mode (the UART takes the pins back
// with RTS and DTR off) and gives the device
// back to the system's serial driver. Safe to call when nothing is open; the last-error value
// stays as it was, so a failure being reported is not overwritten.
void ftdi_close();

// ---- an emergency stop while the cable is open ------------------------------------------------
// A signal (Ctrl+C, SIGTERM, SIGHUP) or a closing console while a cable is open cannot switch
// its pins from the handler (the USB libraries are not safe there): the handler notes it, and
// the cable's stream acts on it at its next transfer. The noted signal number, 0 when none.
int emergency_signal();
// After the stream's emergency power-off and close: ends the process as the signal would have
// (Linux: 128 + the signal number). Returns only in the simulated world.
void end_after_emergency(int signal_number);

}  // namespace platform
