// Socket settings the engine applies both to what it accepts and to what it
// connects.
#pragma once

#include <netinet/in.h>

namespace evsock {

bool setNonBlocking(int fd);
void setNoDelay(int fd);
sockaddr_in ipv4(in_addr_t ip, int port);

}  // namespace evsock
