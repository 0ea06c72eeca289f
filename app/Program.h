#pragma once

#include <windows.h>

#include <string>

#include "engine/Louncher.h"
#include "net/IpAddress.h"

// The program-wide objects, defined in main.cpp in the order they must be built.
extern Louncher louncher;
extern IpAddress rangeFrom;
extern IpAddress rangeTo;
extern ResultList resultList;
extern ResultList::iterator resultCursor;
extern std::wstring lastFolder;
extern HINSTANCE instance;
