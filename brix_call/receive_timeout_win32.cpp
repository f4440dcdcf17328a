#include "brix_call/receive_timeout.h"

#include <winsock2.h>

namespace brix_call {

// SO_RCVTIMEO expiry fails the receive with WSAETIMEDOUT.
bool is_receive_timeout(int code) { return code == WSAETIMEDOUT; }

}  // namespace brix_call
