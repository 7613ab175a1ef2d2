#include "network/system/net_function.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "network/system/net_logging.h"

namespace {

constexpr char kFallbackHostName[] = "127.0.0.1";

// Asks the kernel about interface `name` with `request` (SIOCGIFADDR or
// SIOCGIFHWADDR) and leaves the answer in `record`. The record is the
// system's whole struct ifreq, zeroed: the kernel copies all of it in and
// out (40 bytes on 64-bit targets). Its name field takes at most the first
// IFNAMSIZ - 1 = 15 characters of `name`, so it is always terminated.
// Returns 1, or 0 after an errno report; the socket is closed either way.
int ask_interface(const char* name, unsigned long request, ifreq* record) {
    const int descriptor = socket(AF_INET, SOCK_DGRAM, 0);
    if (descriptor < 0) {
        NET_LOG_ERRNO();
        return 0;
    }
    memset(record, 0, sizeof *record);
    memcpy(record->ifr_name, name, strnlen(name, IFNAMSIZ - 1));
    record->ifr_addr.sa_family = AF_INET;

    int result = 1;
    if (ioctl(descriptor, request, record) < 0) {
        NET_LOG_ERRNO();
        result = 0;
    }
    if (close(descriptor) < 0)
        NET_LOG_ERRNO();
    return result;
}

}  // namespace

char* NetHost::host_name() {
    memset(name_buffer, 0, sizeof name_buffer);
    if (gethostname(name_buffer, sizeof name_buffer) == 0)
        return name_buffer;
    NET_LOG_ERRNO();
    memcpy(name_buffer, kFallbackHostName, sizeof kFallbackHostName);
    return name_buffer;
}

char* NetHost::name_info(const sockaddr_in* address) {
    memset(name_buffer, 0, sizeof name_buffer);
    const int status = getnameinfo(reinterpret_cast<const sockaddr*>(address), sizeof *address,
                                   name_buffer, sizeof name_buffer, nullptr, 0, 0);
    if (status == 0)
        return name_buffer;
    // getnameinfo tells its failure by the EAI_ code it returns and leaves
    // errno as it was; the errno report is written all the same so that
    // every failed look-up leaves its line and place in the log.
    NET_LOG_ERRNO();
    return nullptr;
}

char** NetHost::resolve(const char* name) {
    memset(&host_entry, 0, sizeof host_entry);
    memset(resolve_buffer, 0, sizeof resolve_buffer);
    hostent* result = nullptr;
    int resolver_error = 0;
    // An unknown name is an answer, not a fault: nothing goes to the log.
    gethostbyname_r(name, &host_entry, resolve_buffer, sizeof resolve_buffer, &result,
                    &resolver_error);
    if (result == nullptr)
        return nullptr;
    return result->h_addr_list;
}

uint32_t NetHost::socket_address(int descriptor) {
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    socklen_t length = sizeof local;
    // A failed call or a socket of another family has no IPv4 address to
    // give; INADDR_ANY (0) says so without reading a half-filled record.
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    if (local.sin_family != AF_INET)
        return 0;
    return local.sin_addr.s_addr;
}

int NetHost::interface_address(const char* name, uint8_t* address) {
    ifreq record;
    if (!ask_interface(name, SIOCGIFADDR, &record))
        return 0;
    sockaddr_in answer;
    memcpy(&answer, &record.ifr_addr, sizeof answer);
    memcpy(address, &answer.sin_addr.s_addr, 4);
    return 1;
}

int NetHost::interface_hw_address(const char* name, uint8_t* hw_address) {
    ifreq record;
    if (!ask_interface(name, SIOCGIFHWADDR, &record))
        return 0;
    memcpy(hw_address, record.ifr_hwaddr.sa_data, 6);
    return 1;
}

void NetHost::log_address(uint32_t address) const {
    uint8_t octets[4];
    memcpy(octets, &address, sizeof octets);
    net_log("%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
}
