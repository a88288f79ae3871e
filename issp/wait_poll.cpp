#include "issp/wait_poll.h"

namespace issp {

int issp_wait_and_poll() { return -1; }

}  // namespace issp
