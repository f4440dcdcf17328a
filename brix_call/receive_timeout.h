// brix-call's one platform seam (receive_timeout_posix.cpp, receive_timeout_win32.cpp): telling a
// receive that timed out from one that failed otherwise.
#pragma once

namespace brix_call {

// True when `code` (net_tools::socket_ops::last_error() after a failed receive) means that the
// receive timeout set on the socket expired. Pure and thread safe.
bool is_receive_timeout(int code);

}  // namespace brix_call
