#pragma once

#include <windows.h>
#include <winsock.h>

class Louncher;

// The few calls of a sweep that tests stand in for. The program links SystemCalls.cpp beside
// them; the tests link their own (tests/seams/), which can take the paths a real system seldom
// takes.

// Starts a detached thread running body(louncher); false when no thread could be made.
bool startSweepThread(void (*body)(Louncher*), Louncher* louncher);

// Sends one datagram as sendto does: SOCKET_ERROR, with the error in WSAGetLastError, on failure.
int sendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination);

// Every pause of the sound script.
void soundScriptPause(DWORD milliseconds);
