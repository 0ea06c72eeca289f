#include <winsock.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (data == nullptr)
        return EFAULT;
    std::memset(data, 0, sizeof *data);
    const WORD supported = MAKEWORD(1, 1);
    const BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
    const BYTE minor = static_cast<BYTE>(versionRequested >> 8);
    data->wVersion = (major > 1 || (major == 1 && minor >= 1)) ? supported : versionRequested;
    data->wHighVersion = supported;
    std::strcpy(data->szDescription, "Brixle Winsock stand-in");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    return 0;
}

int WSACleanup() {
    return 0;
}

int WSAGetLastError() {
    return errno == EPERM ? EACCES : errno;
}

void WSASetLastError(int error) {
    errno = error;
}

int closesocket(SOCKET s) {
    return ::close(static_cast<int>(s)) == 0 ? 0 : SOCKET_ERROR;
}

int ioctlsocket(SOCKET s, long command, u_long* argument) {
    int value = argument != nullptr ? static_cast<int>(*argument) : 0;
    if (::ioctl(static_cast<int>(s), static_cast<unsigned long>(command), &value) != 0)
        return SOCKET_ERROR;
    if (argument != nullptr)
        *argument = static_cast<u_long>(value);
    return 0;
}

#undef select

int winsockSelect(int, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                  const timeval* timeout) {
    int highest = -1;
    for (fd_set* set : {readSet, writeSet, exceptSet}) {
        if (set == nullptr)
            continue;
        for (int fd = 0; fd < FD_SETSIZE; ++fd) {
            if (FD_ISSET(fd, set))
                highest = std::max(highest, fd);
        }
    }
    timeval remaining{};
    timeval* wait = nullptr;
    if (timeout != nullptr) {
        remaining = *timeout;
        wait = &remaining;
    }
    for (;;) {
        const int result = ::select(highest + 1, readSet, writeSet, exceptSet, wait);
        if (result >= 0)
            return result;
        if (errno != EINTR)
            return SOCKET_ERROR;
    }
}

int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength) {
    socklen_t addressLength = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : 0;
    void* bytes = buffer;
    const ssize_t received =
        ::recvfrom(static_cast<int>(s), bytes, static_cast<size_t>(length), flags, from,
                   fromLength != nullptr ? &addressLength : nullptr);
    if (received < 0)
        return SOCKET_ERROR;
    if (fromLength != nullptr)
        *fromLength = static_cast<int>(addressLength);
    return static_cast<int>(received);
}

int sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to, int toLength) {
    const void* bytes = buffer;
    const ssize_t sent = ::sendto(static_cast<int>(s), bytes, static_cast<size_t>(length),
                                  flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(toLength));
    return sent < 0 ? SOCKET_ERROR : static_cast<int>(sent);
}

int getsockname(SOCKET s, sockaddr* name, int* nameLength) {
    socklen_t length = static_cast<socklen_t>(*nameLength);
    if (::getsockname(static_cast<int>(s), name, &length) != 0)
        return SOCKET_ERROR;
    *nameLength = static_cast<int>(length);
    return 0;
}

int setsockopt(SOCKET s, int level, int name, const char* value, int length) {
    const void* bytes = value;
    if (::setsockopt(static_cast<int>(s), level, name, bytes, static_cast<socklen_t>(length)) != 0)
        return SOCKET_ERROR;
    return 0;
}

int getsockopt(SOCKET s, int level, int name, char* value, int* length) {
    socklen_t bytes = length != nullptr ? static_cast<socklen_t>(*length) : 0;
    void* target = value;
    if (::getsockopt(static_cast<int>(s), level, name, target, &bytes) != 0)
        return SOCKET_ERROR;
    if (length != nullptr)
        *length = static_cast<int>(bytes);
    return 0;
}
