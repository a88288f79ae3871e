// Which thread is wine's comm-event wait thread, as the device's own calls show it.
#pragma once

namespace vserial {

// True, while the device is open, in a thread that has never switched one of its lines: wine's
// WaitCommEvent threads (from their first sleep on), never the thread that runs the tool.
bool comm_wait_thread();
// A wait thread's first sleep or look at the port: from here until the thread ends, the tool's
// thread waits for it before it releases the data line again.
void note_wait_thread();
void count_wait_poll();

}  // namespace vserial
