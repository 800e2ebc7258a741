#include "platform/net.h"

namespace pelldor::platform {

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
    case NetError::AddressNotAvailable:
        return "Cannot assign requested address";
    case NetError::PermissionDenied:
        return "Permission denied";
    case NetError::OutOfResources:
        return "Out of sockets, memory or threads";
    case NetError::Other:
        break;
    }
    return "Unexpected network error " + std::to_string(failure.systemCode);
}

}  // namespace pelldor::platform
