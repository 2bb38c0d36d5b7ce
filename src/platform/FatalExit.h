// Ends the process after a failure it cannot go on from (card or encoder
// set-up), with status 1. Other threads (the panel, the writer, the card's)
// are still running then, so the process must not run the destructors of
// library statics under them: the output is flushed and the process leaves
// at once.
#pragma once

namespace qva {

[[noreturn]] void fatalExit(const char* message);

}  // namespace qva
