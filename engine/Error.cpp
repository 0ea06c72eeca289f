#include "engine/Error.h"

Error::Error(const char* text) : text(std::string("Error : ") + text) {}

Error::Error(const std::string& wholeMessage) : text(wholeMessage) {}
