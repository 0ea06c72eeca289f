#pragma once

#include <windows.h>
#include <winsock.h>

#include <atomic>
#include <cstdint>
#include <thread>

class IpAddress;
class Louncher;

// The few calls of a sweep that tests stand in for. The program links SystemCalls.cpp beside
// them; the tests link their own (tests/seams/), which can take the paths a real system seldom
// takes.

// Starts a thread running body(louncher) into thread, which the engine joins; false when no
// thread could be made.
bool startSweepThread(void (*body)(Louncher*), Louncher* louncher, std::thread& thread);

// Sends one datagram as sendto does: SOCKET_ERROR, with the error in WSAGetLastError, on failure.
int sendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination);

// Receives one datagram as recvfrom does, its source into *source.
int receiveDatagram(SOCKET s, char* buffer, int length, sockaddr_in* source);

// The address of a new hit (a.b.c.d from the most significant byte down), made with new; throws
// std::bad_alloc as new does.
IpAddress* newHitAddress(std::uint32_t address);

// Every pause of the sound script; over early once the sweep is done.
void soundScriptPause(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone);
