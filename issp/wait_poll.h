// Waiting for the target to finish a supervisory call.
#pragma once

namespace issp {

// 0 done; -1 line, sample or wait failure (record filled); -2 line not low after release;
// -3 no busy signal; -4 busy never ended; -11/-12/-13 arming the CTS event failed.
int issp_wait_and_poll();

}  // namespace issp
