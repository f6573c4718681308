// The address lookup, the same on every system but for its error codes.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Sockets.h"

namespace platform {
namespace {

#ifdef _WIN32
constexpr int kNoSuchHost = WSAHOST_NOT_FOUND;
constexpr int kLookupFlags = 0;

int LookupError(int result)
{
    return result;
}

std::string NumericText(const sockaddr* record, int length)
{
    char text[NI_MAXHOST] = "";
    getnameinfo(record, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    return text;
}
#else
constexpr int kNoSuchHost = EAI_NONAME;
constexpr int kLookupFlags = AI_NUMERICSERV;

int LookupError(int result)
{
    return result == EAI_SYSTEM ? errno : result;
}

std::string NumericText(const sockaddr* record, int)
{
    char text[INET6_ADDRSTRLEN] = "";
    const void* raw =
        record->sa_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(record)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(record)->sin_addr);
    inet_ntop(record->sa_family, raw, text, sizeof text);
    return text;
}
#endif

SocketAddress FromRecord(const sockaddr* record, std::size_t length)
{
    SocketAddress address;
    address.family = record->sa_family;
    address.length = static_cast<int>(std::min(length, address.bytes.size()));
    std::memcpy(address.bytes.data(), record, static_cast<std::size_t>(address.length));
    address.text = NumericText(record, address.length);
    return address;
}

}  // namespace

SocketAddress IPv4Address(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return FromRecord(reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

bool LookupHostAddresses(const char* name, std::uint16_t port, std::vector<SocketAddress>* found)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = kLookupFlags;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    const int result = getaddrinfo(name, service.c_str(), &hints, &list);
    if (result != 0) {
        SetLastSocketError(LookupError(result));
        return false;
    }
    for (const addrinfo* entry = list; entry; entry = entry->ai_next)
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6)
            found->push_back(FromRecord(entry->ai_addr, entry->ai_addrlen));
    freeaddrinfo(list);
    if (found->empty()) SetLastSocketError(kNoSuchHost);
    return !found->empty();
}

void NoteHostNotFound()
{
    SetLastSocketError(kNoSuchHost);
}

}  // namespace platform
