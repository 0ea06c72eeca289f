#pragma once

#include "engine/SystemCalls.h"

// What the tests put in place of the engine's system calls (engine/SystemCalls.h). Each starts
// as the real call; a test that replaces one puts the real one back when it is done.
namespace seams {

typedef bool (*ThreadStarter)(void (*body)(Louncher*), Louncher* louncher, std::thread& thread);
typedef int (*DatagramSender)(SOCKET s, const char* bytes, int length,
                              const sockaddr_in* destination);
typedef int (*DatagramReceiver)(SOCKET s, char* buffer, int length, sockaddr_in* source);
typedef IpAddress* (*HitAllocator)(std::uint32_t address);
typedef void (*Pause)(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone);

extern ThreadStarter startThread;
extern DatagramSender sendDatagram;
extern DatagramReceiver receiveDatagram;
extern HitAllocator newHitAddress;
extern Pause soundScriptPause;

bool realStartThread(void (*body)(Louncher*), Louncher* louncher, std::thread& thread);
int realSendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination);
int realReceiveDatagram(SOCKET s, char* buffer, int length, sockaddr_in* source);
IpAddress* realNewHitAddress(std::uint32_t address);
void realPause(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone);

} // namespace seams
