#include "platform/FatalExit.h"

#include <cstdio>
#include <cstdlib>

namespace qva {

void fatalExit(const char* message) {
    std::fputs(message, stderr);
    std::fflush(nullptr);
    std::_Exit(1);
}

}  // namespace qva
