// NetHost: the host and address look-ups of the server classes, which derive
// from it (the report server, the worker thread): the machine's host name,
// the host name of a socket address, the addresses of a host name, the local
// address of a socket, the IPv4 and hardware addresses of a network
// interface, and a log line with an IPv4 address in dotted form.
//
// Buffers: host_name() and name_info() both write name_buffer and return a
// pointer into it; resolve() owns resolve_buffer and host_entry, and the
// list it returns points into them. A returned pointer stays valid until the
// next call that uses the same buffer on the same object. The interface
// look-ups use a socket of their own per call and close it on every path.
//
// Threads: no operation takes a lock. Calls that share a buffer must come
// from one thread at a time per object; the other calls may run at once.
//
// Failed system calls are written to the log as errno reports; results are
// 1/0 or a pointer that is null on failure, except host_name(), which falls
// back to "127.0.0.1", and socket_address(), which gives INADDR_ANY.
// Construction and destruction do no work; each operation clears the buffer
// it uses before its system call.
#ifndef NETWORK_SYSTEM_NET_FUNCTION_H_
#define NETWORK_SYSTEM_NET_FUNCTION_H_

#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>

class NetHost {
  public:
    NetHost() = default;
    virtual ~NetHost() = default;

    // The machine's host name (gethostname); "127.0.0.1" when it cannot be
    // read. Never null. Uses name_buffer.
    char* host_name();

    // The host name of an IPv4 socket address (getnameinfo, numeric when no
    // name is known), or null. Uses name_buffer.
    char* name_info(const sockaddr_in* address);

    // The null-terminated list of the IPv4 addresses of `name`, each entry
    // pointing at 4 bytes in network order, or null when the resolver has
    // no entry. The resolver works in the 1024 bytes of resolve_buffer and
    // is asked once: an entry that does not fit them (a host with many
    // aliases; gethostbyname_r answers ERANGE) gives null as well, and so
    // does a resolver failure. A caller that must tell these apart asks the
    // resolver itself with a buffer that grows, as report_send does. Writes
    // no log line. Uses resolve_buffer and host_entry.
    char** resolve(const char* name);

    // The local IPv4 address of a socket, in network byte order. When
    // getsockname fails or the socket is not IPv4 the result is 0
    // (INADDR_ANY): no address to show. Writes no log line.
    uint32_t socket_address(int descriptor);

    // Copies the IPv4 address of interface `name` (4 bytes, network order)
    // to `address`. Only the first 15 characters of the name are used.
    // Returns 1, or 0 after an errno report.
    int interface_address(const char* name, uint8_t* address);

    // Copies the hardware address of interface `name` (6 bytes) to
    // `hw_address`. Only the first 15 characters of the name are used.
    // Returns 1, or 0 after an errno report.
    int interface_hw_address(const char* name, uint8_t* hw_address);

    // Writes the log line "a.b.c.d" for an IPv4 address in network byte order.
    void log_address(uint32_t address) const;

  protected:
    char name_buffer[256];
    char resolve_buffer[1024];
    struct hostent host_entry;
};

#endif  // NETWORK_SYSTEM_NET_FUNCTION_H_
