#pragma once
// Linux stand-in for Winsock 1.1 (<winsock.h>), over BSD sockets. Only what differs from BSD
// sockets is supplied here; sockaddr_in, inet_addr, inet_ntoa, gethostbyname, sendto and the
// FD_ macros are the system's own.

#include <windows.h>

#include <cerrno>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

typedef std::uintptr_t SOCKET;
#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)
// WSAGetLastError() reports errno here, so the error numbers are errno values.
#define WSAEMSGSIZE EMSGSIZE
#define WSAEWOULDBLOCK EWOULDBLOCK
#define WSAENOBUFS ENOBUFS
#define WSAEACCES EACCES
#define WSAENETUNREACH ENETUNREACH
#define WSAEHOSTUNREACH EHOSTUNREACH
#define WSAEHOSTDOWN EHOSTDOWN
#define WSAEADDRNOTAVAIL EADDRNOTAVAIL
#define WSAENETDOWN ENETDOWN
#define WSAENOTSOCK ENOTSOCK
#define WSAECONNRESET ECONNRESET
#define WSAENETRESET ENETRESET

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
typedef WSADATA* LPWSADATA;

#define MAKEWORD(low, high)                                                                        \
    (static_cast<WORD>((static_cast<BYTE>(low)) |                                                  \
                       (static_cast<WORD>(static_cast<BYTE>(high)) << 8)))

// Grants the version asked for up to 1.1, as Winsock 1.1 does.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
// EPERM (a firewall's refusal) reads as WSAEACCES, as Wine reports it.
int WSAGetLastError();
void WSASetLastError(int error);
int closesocket(SOCKET s);

typedef unsigned long u_long;
// FIONBIO comes from <sys/ioctl.h>.
int ioctlsocket(SOCKET s, long command, u_long* argument);

// socket() is the system's: its -1 converts to INVALID_SOCKET.

// Winsock ignores select's first argument; BSD needs the highest descriptor plus one.
int winsockSelect(int ignored, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                  const timeval* timeout);
#define select winsockSelect

// Winsock passes option values as char pointers and their lengths as ints.
int setsockopt(SOCKET s, int level, int name, const char* value, int length);
int getsockopt(SOCKET s, int level, int name, char* value, int* length);

// Winsock's address length is an int. A datagram longer than the buffer is cut to fit.
int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength);
int sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to, int toLength);
int getsockname(SOCKET s, sockaddr* name, int* nameLength);
