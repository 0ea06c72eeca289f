#include "net/HitList.h"
#include "net/IpAddress.h"

#include <cstdint>
#include <cstdlib>
#include <string>

// Whatever a user can type into a range field: the parser either refuses it and leaves the
// target alone, or yields an address whose own text reads back as the same address.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    IpAddress target(1, 2, 3, 4);
    if (!target.parse(text.c_str())) {
        if (target.text() != "1.2.3.4" || target.octet(0) != 1 || target.octet(3) != 4)
            std::abort();
        return 0;
    }
    for (int i = 0; i < 4; ++i) {
        if (target.octet(i) < 0 || target.octet(i) > 255)
            std::abort();
    }
    if (target.text().size() < 7 || target.text().size() > 15)
        std::abort();
    const IpAddress again(target.text().c_str());
    if (!HitList::equal(again, target) || again.text() != target.text())
        std::abort();
    return 0;
}
