#include "platform/net.h"

namespace pelldor::platform {

std::string AddressText(const NetAddress& address) {
    if (address.family == NetAddress::Family::V4) {
        std::string text;
        for (std::size_t i = 0; i < 4; ++i) {
            if (i != 0) text += '.';
            text += std::to_string(address.bytes[i]);
        }
        text += ':';
        text += std::to_string(address.port);
        return text;
    }
    unsigned groups[8];
    for (std::size_t i = 0; i < 8; ++i) groups[i] = address.bytes[2 * i] << 8 | address.bytes[2 * i + 1];
    // The longest run of two or more zero groups, the first of equals, becomes "::".
    std::size_t runStart = 8, runLength = 0;
    for (std::size_t i = 0; i < 8;) {
        std::size_t j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > runLength && j - i >= 2) runStart = i, runLength = j - i;
        i = j == i ? i + 1 : j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(1, '[');
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == runStart) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (i != 0 && i != runStart + runLength) text += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (groups[i] >> shift) & 15;
            if (digit != 0 || started || shift == 0) text += kHex[digit], started = true;
        }
    }
    if (address.scopeId != 0) {
        text += '%';
        text += std::to_string(address.scopeId);
    }
    text += "]:";
    text += std::to_string(address.port);
    return text;
}

std::string Describe(const NetFailure& failure) {
    // The common texts are glibc's, so that logs read as they always have on Linux.
    switch (failure.kind) {
    case NetError::None:
        return "No error";
    case NetError::NameNotFound:
        return "Name or service not known";
    case NetError::NameTemporary:
        return "Temporary failure in name resolution";
    case NetError::NameFailed:
        return "Non-recoverable failure in name resolution";
    case NetError::Refused:
        return "Connection refused";
    case NetError::HostUnreachable:
        return "No route to host";
    case NetError::NetworkUnreachable:
        return "Network is unreachable";
    case NetError::HostDown:
        return "Host is down";
    case NetError::NetworkDown:
        return "Network is down";
    case NetError::AddressFamily:
        return "Address family not supported by protocol";
    case NetError::NoAddressOfFamily:
        return "No address of the family asked for";
    case NetError::AddressNotAvailable:
        return "Cannot assign requested address";
    case NetError::PermissionDenied:
        return "Permission denied";
    case NetError::OutOfResources:
        return "Out of sockets, memory or threads";
    case NetError::Other:
        break;
    }
    std::string text = "Unexpected network error ";
    text += std::to_string(failure.systemCode);
    return text;
}

}  // namespace pelldor::platform
