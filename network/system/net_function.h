// NetHost: the host and address look-ups of the server classes, which derive
// from it (the report server, the worker thread).
//
// Buffers: host_name() and name_info() return a pointer into name_buffer,
// resolve() a list in resolve_buffer and host_entry; it stays valid until
// the next call on the same object that uses the same buffer. Such calls
// come from one thread at a time per object; no operation takes a lock.
//
// Failed system calls are logged as errno reports; results are 1/0 or a
// pointer that is null on failure, unless said otherwise below.
#ifndef NETWORK_SYSTEM_NET_FUNCTION_H_
#define NETWORK_SYSTEM_NET_FUNCTION_H_

#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>

class NetHost {
  public:
    NetHost() = default;
    virtual ~NetHost() = default;

    // The machine's host name, or "127.0.0.1" when it cannot be read.
    char* host_name();

    // The host name of an IPv4 socket address, numeric when none is known.
    char* name_info(const sockaddr_in* address);

    // The null-terminated list of the IPv4 addresses of `name` (4 bytes each,
    // network order); null, with no log line, when the resolver has no
    // entry, fails, or has one too large for resolve_buffer's 1024 bytes. A
    // caller that must tell these apart asks the resolver itself.
    char** resolve(const char* name);

    // The local IPv4 address of a socket, network order; 0 (INADDR_ANY),
    // with no log line, when there is none to give.
    uint32_t socket_address(int descriptor);

    // The IPv4 address (4 bytes, network order) and the hardware address (6
    // bytes) of interface `name`, of which the first 15 characters count.
    int interface_address(const char* name, uint8_t* address);
    int interface_hw_address(const char* name, uint8_t* hw_address);

    // Writes the log line "a.b.c.d" for an IPv4 address in network order.
    void log_address(uint32_t address) const;

  protected:
    char name_buffer[256];
    char resolve_buffer[1024];
    struct hostent host_entry;
};

#endif  // NETWORK_SYSTEM_NET_FUNCTION_H_
