// Target power and the no-response record.
#pragma once

namespace issp {

// keep_going 0: stop at the first failed switch and return -1; otherwise carry on and
// return 1 if any switch failed. 0 when all three switches succeeded.
int target_power_off(int keep_going);
// The same sequence with the last-error record kept as it was before.
void target_power_off_keep_error();
// "Нет ответа от микросхемы ( стадия %d )." with code 10.
void report_no_response(int stage);

// A target that stopped answering: power it off (stopping at the first failed switch), then
// fill the no-response record, so that the record is not emptied by the power-off's own
// successful switches. 0 when powered off with the no-response record in place; -1 when the
// power-off failed (the record then holds that switch's port error).
int power_off_after_no_response(int stage);

}  // namespace issp
