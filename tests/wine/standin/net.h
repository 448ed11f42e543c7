// The few Winsock declarations the stand-in uses. <winsock2.h> pulls in <windows.h>, which
// cannot be mixed with the DDK headers, so they are declared here against ws2_32.def.
#pragma once

#include <ntddk.h>

namespace standin {

using SOCKET = ULONG_PTR;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int kAfInet = 2;
constexpr int kSockStream = 1;
constexpr int kIpProtoTcp = 6;
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoReuseAddr = 4;
constexpr int kTcpNoDelay = 1;
constexpr int kSdBoth = 2;

struct SockAddrIn {
    USHORT family;
    USHORT port;   // network order
    ULONG address; // network order
    UCHAR zero[8];
};
static_assert(sizeof(SockAddrIn) == 16);

struct FdSet {
    ULONG count;
    SOCKET sockets[64];
};
struct TimeVal {
    LONG seconds;
    LONG microseconds;
};

}  // namespace standin

extern "C" {
__declspec(dllimport) int WSAStartup(USHORT version, void* data);
__declspec(dllimport) standin::SOCKET socket(int family, int type, int protocol);
__declspec(dllimport) int bind(standin::SOCKET s, const void* address, int length);
__declspec(dllimport) int listen(standin::SOCKET s, int backlog);
__declspec(dllimport) standin::SOCKET accept(standin::SOCKET s, void* address, int* length);
__declspec(dllimport) int connect(standin::SOCKET s, const void* address, int length);
__declspec(dllimport) int send(standin::SOCKET s, const char* data, int length, int flags);
__declspec(dllimport) int recv(standin::SOCKET s, char* data, int length, int flags);
__declspec(dllimport) int select(int ignored, standin::FdSet* readable, standin::FdSet* writable,
                                 standin::FdSet* failed, const standin::TimeVal* timeout);
__declspec(dllimport) int setsockopt(standin::SOCKET s, int level, int name, const char* value, int length);
__declspec(dllimport) int shutdown(standin::SOCKET s, int how);
__declspec(dllimport) int closesocket(standin::SOCKET s);
}

namespace standin {

inline SockAddrIn Loopback(USHORT port)
{
    SockAddrIn a{};
    a.family = kAfInet;
    a.port = static_cast<USHORT>((port >> 8) | (port << 8));
    a.address = 0x0100007F;  // 127.0.0.1
    return a;
}

// Sends every byte (blocking); false when the connection failed.
inline bool SendAll(SOCKET s, const UCHAR* data, ULONG length)
{
    while (length > 0) {
        const int piece = length > 0x100000 ? 0x100000 : static_cast<int>(length);
        const int n = send(s, reinterpret_cast<const char*>(data), piece, 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<ULONG>(n);
    }
    return true;
}

}  // namespace standin
