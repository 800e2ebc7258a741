#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/background_lookup.h"
#include "platform/native.h"
#include "platform/socket_address.h"
#include "platform/windows/roles.h"
#include "platform/windows/windows_text.h"

namespace pelldor::platform::windows {
namespace {

// Larger than any UDP payload, so a datagram's true size is always known: Winsock has no
// way to report the size of a datagram cut short by a small buffer.
constexpr std::size_t kLargestDatagram = 65536;

// The one place where Winsock's error numbers get their meaning.
NetFailure FromWsaError(int error) {
    switch (error) {
    // ICMP port unreachable for an earlier send: Windows reports it on the next receive
    // of the UDP socket as a reset connection, where Linux says ECONNREFUSED.
    case WSAECONNRESET:
    case WSAECONNREFUSED:
        return {NetError::Refused, error};
    case WSAEHOSTUNREACH:
        return {NetError::HostUnreachable, error};
    // On a UDP socket: ICMP time exceeded, the datagram died on the way.
    case WSAENETRESET:
    case WSAENETUNREACH:
        return {NetError::NetworkUnreachable, error};
    case WSAEHOSTDOWN:
        return {NetError::HostDown, error};
    // WSAStartup's answer when the network subsystem is not ready.
    case WSASYSNOTREADY:
    case WSAENETDOWN:
        return {NetError::NetworkDown, error};
    // An IPv6 address on a machine without IPv6, or the reverse.
    case WSAEAFNOSUPPORT:
    case WSAEPFNOSUPPORT:
        return {NetError::AddressFamily, error};
    case WSAEADDRNOTAVAIL:
        return {NetError::AddressNotAvailable, error};
    // A firewall rule that rejects the datagram shows as a refused send.
    case WSAEACCES:
        return {NetError::PermissionDenied, error};
    case WSAEMFILE:
    case WSAENOBUFS:
    case WSA_NOT_ENOUGH_MEMORY:
    case WSAEPROCLIM:
        return {NetError::OutOfResources, error};
    default:
        return {NetError::Other, error};
    }
}

// GetAddrInfoW reports through the same numbers, with a few of its own.
NetFailure FromLookupError(int error) {
    switch (error) {
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
    case WSATYPE_NOT_FOUND:
    case WSAEINVAL:  // a name the resolver cannot even parse
        return {NetError::NameNotFound, error};
    case WSATRY_AGAIN:
        return {NetError::NameTemporary, error};
    case WSANO_RECOVERY:
        return {NetError::NameFailed, error};
    default:
        return FromWsaError(error);
    }
}

LookupOutcome Resolve(const std::string& host, std::uint16_t port, bool numericOnly) {
    const std::u16string name = ToUtf16(host);
    const std::wstring wide(name.begin(), name.end());
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    ADDRINFOW* list = nullptr;
    const int status = ::GetAddrInfoW(wide.c_str(), nullptr, &hints, &list);
    if (status != 0) return {{}, FromLookupError(status)};
    LookupOutcome outcome = AddressesOf(list, port, {NetError::NameNotFound, WSAHOST_NOT_FOUND});
    ::FreeAddrInfoW(list);
    return outcome;
}

// A socket with an event that Winsock sets when a datagram (or an error) can be received,
// for the clock's wait. The event is cleared before each read: a datagram that arrives
// after that read sets it again, so none is missed, and none sets it for nothing twice.
class WindowsUdpChannel final : public UdpChannel {
public:
    WindowsUdpChannel(SOCKET socket, WSAEVENT readable) : socket_(socket), readable_(readable) {}
    ~WindowsUdpChannel() override {
        ::closesocket(socket_);
        ::WSACloseEvent(readable_);
    }
    WindowsUdpChannel(const WindowsUdpChannel&) = delete;
    WindowsUdpChannel& operator=(const WindowsUdpChannel&) = delete;

    NetFailure Send(std::span<const std::uint8_t> bytes) override {
        const int sent = ::send(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
        if (sent == SOCKET_ERROR) return FromWsaError(::WSAGetLastError());
        return {};
    }

    ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        ReceiveResult result;
        const bool direct = buffer.size() >= kLargestDatagram;
        if (!direct && scratch_.empty()) scratch_.resize(kLargestDatagram);
        const std::span<std::uint8_t> target = direct ? buffer : std::span(scratch_);
        sockaddr_storage from{};
        int fromLength = sizeof from;
        ::WSAResetEvent(readable_);
        const int size = ::recvfrom(socket_, reinterpret_cast<char*>(target.data()), static_cast<int>(target.size()), 0,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size == SOCKET_ERROR) {
            const int error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                result.status = ReceiveStatus::Nothing;
                return result;
            }
            // Whatever else a connected datagram socket reports, it cannot bring an answer
            // any more, and waiting on would only end in a timeout.
            result.status = ReceiveStatus::NetworkError;
            result.failure = FromWsaError(error);
            return result;
        }
        result.status = ReceiveStatus::Datagram;
        result.size = static_cast<std::size_t>(size);
        if (!direct) std::memcpy(buffer.data(), scratch_.data(), std::min(result.size, buffer.size()));
        if (auto address = FromSockaddr(reinterpret_cast<const sockaddr*>(&from))) result.from = *address;
        return result;
    }

    [[nodiscard]] WSAEVENT Readable() const { return readable_; }

private:
    SOCKET socket_;
    WSAEVENT readable_;
    std::vector<std::uint8_t> scratch_;
};

OpenResult OpenConnectedUdp(const NetAddress& peer) {
    OpenResult result;
    sockaddr_storage address{};
    const int length = ToSockaddr(peer, address);
    const int family = peer.family == NetAddress::Family::V4 ? AF_INET : AF_INET6;
    const SOCKET socket = ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        result.failure = FromWsaError(::WSAGetLastError());
        return result;
    }
    // A burst of junk ahead of the reply must not push it out before it is read; best effort.
    constexpr int kReceiveBuffer = 1 << 20;
    (void)::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBuffer),
                       sizeof kReceiveBuffer);
    // The event makes the socket non-blocking too.
    const WSAEVENT readable = ::WSACreateEvent();
    if (readable == WSA_INVALID_EVENT || ::WSAEventSelect(socket, readable, FD_READ) == SOCKET_ERROR ||
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == SOCKET_ERROR) {
        result.failure = FromWsaError(::WSAGetLastError());
        if (readable != WSA_INVALID_EVENT) ::WSACloseEvent(readable);
        ::closesocket(socket);
        return result;
    }
    result.channel = std::make_unique<WindowsUdpChannel>(socket, readable);
    return result;
}

class WindowsNetwork final : public Network {
public:
    WindowsNetwork() {
        WSADATA data{};
        winsockError_ = ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WindowsNetwork() override {
        if (winsockError_ == 0) ::WSACleanup();
    }
    WindowsNetwork(const WindowsNetwork&) = delete;
    WindowsNetwork& operator=(const WindowsNetwork&) = delete;

    // Nothing works without Winsock: each door reports how its start-up went.
    std::unique_ptr<NameLookup> StartLookup(const std::string& host, std::uint16_t port) override {
        if (winsockError_ != 0) return FinishedLookup({{}, FromWsaError(winsockError_)});
        return StartNameLookup(host, port, Resolve, {NetError::NameNotFound, WSAHOST_NOT_FOUND});
    }

    // Authenticated time, the one user of streams, is not part of the Windows build.
    OpenStreamResult OpenTcp(const NetAddress& /*peer*/) override { return {nullptr, {NetError::Other, 0}}; }
    OpenResult OpenUdp(const NetAddress& peer) override {
        if (winsockError_ != 0) return {nullptr, FromWsaError(winsockError_)};
        return OpenConnectedUdp(peer);
    }

    std::uint64_t Random64() override {
        using GenRandom = LONG(WINAPI*)(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags);
        constexpr ULONG kSystemPreferredRng = 0x2;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG
        // advapi32's RtlGenRandom would need no loading, but it forwards to cryptbase.dll,
        // which is no KnownDLL either.
        static const auto generate = reinterpret_cast<GenRandom>(SystemFunction(L"bcrypt.dll", "BCryptGenRandom"));
        std::uint64_t value = 0;
        if (generate != nullptr &&
            generate(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value, kSystemPreferredRng) >= 0) {
            return value;
        }
        FILETIME now{};
        ::GetSystemTimePreciseAsFileTime(&now);
        LARGE_INTEGER count{};
        ::QueryPerformanceCounter(&count);
        return MixReadings(std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime,
                           static_cast<std::uint64_t>(count.QuadPart), ::GetCurrentProcessId());
    }

private:
    int winsockError_ = 0;
};

}  // namespace

void* ReadableEvent(const Channel& channel) {
    const auto* own = dynamic_cast<const WindowsUdpChannel*>(&channel);
    return own != nullptr ? own->Readable() : nullptr;
}

void* SystemFunction(const wchar_t* dll, const char* name) {
    const HMODULE module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(module, name));
}

std::unique_ptr<Network> MakeNetwork() { return std::make_unique<WindowsNetwork>(); }

}  // namespace pelldor::platform::windows
