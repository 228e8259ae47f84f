#pragma once
// What every loopback test server needs of its sockets.
#include <cstdint>
#include <string_view>

namespace castora::test {

// A listening socket on 127.0.0.1 at a free port, which is stored in `port`; throws when it can't.
int ListenLoopback(uint16_t& port);

// Sends all of `bytes`, retrying short writes; false once the peer has gone.
bool SendAll(int fd, std::string_view bytes);

}  // namespace castora::test
