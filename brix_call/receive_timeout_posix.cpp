#include "brix_call/receive_timeout.h"

#include <cerrno>

namespace brix_call {

// SO_RCVTIMEO expiry fails the receive with EAGAIN (EWOULDBLOCK on some systems).
bool is_receive_timeout(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

}  // namespace brix_call
