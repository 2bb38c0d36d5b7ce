#include "encode/FFmpegResources.h"

#include "platform/FatalExit.h"

namespace av {

void fail(const char* message) { qva::fatalExit(message); }

}  // namespace av
