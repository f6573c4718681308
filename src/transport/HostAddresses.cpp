#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mail/CSMTPEmail.h"
#include "transport/Connection.h"

namespace transport {

std::vector<platform::SocketAddress> HostAddresses(const std::string& host, std::uint16_t port)
{
    const char* name = host.c_str();
    if (!*name) {
        platform::NoteHostNotFound();
        return {};
    }
    // A dotted address never goes through name lookup; address 0 would reach
    // this machine, so it is never tried.
    const std::uint32_t dotted = platform::ParseDottedAddress(name);
    if (dotted != platform::kAddressNone || std::strcmp(name, "255.255.255.255") == 0) {
        if (dotted == 0) {
            platform::NoteHostNotFound();
            return {};
        }
        return {platform::IPv4Address(dotted, port)};
    }
    std::vector<platform::SocketAddress> found;
    platform::LookupHostAddresses(name, port, &found);
    return found;
}

}  // namespace transport

std::uint32_t CSMTPEmail::_ResolveHost(const char* name)
{
    // The first IPv4 address of the lookup a connection makes; 0 without one.
    for (const platform::SocketAddress& address : transport::HostAddresses(name ? name : "", 0))
        if (address.text.find(':') == std::string::npos)
            return platform::ParseDottedAddress(address.text.c_str());
    return 0;
}
