#pragma once

#include <string>

// The engine's exception: created with new, thrown as a pointer, deleted by whoever catches it.
class Error {
  public:
    // "Error : " followed by the text.
    explicit Error(const char* text);
    // A message that is already whole, used as it stands.
    explicit Error(const std::string& wholeMessage);

    const std::string& message() const { return text; }

  private:
    std::string text;
};
