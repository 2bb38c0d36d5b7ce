#include "encode/FFmpegResources.h"

#include <cstdio>
#include <cstdlib>

namespace av {

void fail(const char* message) {
    std::fputs(message, stderr);
    std::exit(1);
}

}  // namespace av
