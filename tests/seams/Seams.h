#pragma once

#include "engine/SystemCalls.h"

// What the tests put in place of the engine's system calls (engine/SystemCalls.h). Each starts
// as the real call; a test that replaces one puts the real one back when it is done.
namespace seams {

typedef bool (*ThreadStarter)(void (*body)(Louncher*), Louncher* louncher);
typedef int (*DatagramSender)(SOCKET s, const char* bytes, int length,
                              const sockaddr_in* destination);
typedef void (*Pause)(DWORD milliseconds);

extern ThreadStarter startThread;
extern DatagramSender sendDatagram;
extern Pause soundScriptPause;

bool realStartThread(void (*body)(Louncher*), Louncher* louncher);
int realSendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination);
void realPause(DWORD milliseconds);

} // namespace seams
