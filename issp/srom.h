// Supervisory calls into the target's ROM.
#pragma once

namespace issp {

namespace srom_function {
constexpr int read_block = 1;
constexpr int write_block = 2;
constexpr int protect = 4;
constexpr int erase_all = 5;
constexpr int table_read = 6;
constexpr int checksum = 7;
constexpr int calibrate = 9;
}  // namespace srom_function

// 0 finished, -1 a write or the wait failed (record filled), else the no-response code.
int srom_call(int function, int argument);
// Status byte 0..255; 10 - rc (>= 12) after no response; -127 on other failures.
int srom_read_block(int block);
// Checksum of the first (count & 0x7F) blocks (0 = all 128); rc - 10 after no response; -127.
int srom_checksum(int count);
// Sum of one block's 64 bytes, 0..16320; negative from srom_checksum, or -126.
int srom_block_checksum(int block);

}  // namespace issp
