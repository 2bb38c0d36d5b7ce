// The command socket's place in the file system: clearing the path before
// binding, and who may connect afterwards.
#pragma once

#include <string>

namespace qva {

// Makes way for a new socket at path. An old socket (left by a killed
// recorder) is removed without a word. Anything else squatting the path is
// taken over without following links: a file, link or empty folder is removed,
// a folder with contents is moved aside so nothing in it is lost. Returns what
// was done, or why the path could not be taken over, for the log; empty when
// there was nothing to tell.
std::string clearSocketPath(const std::string& path);

// Limits the bound socket at path to root and the members of group (0660), or,
// in a sandbox or where the group does not exist, opens it to every local user
// as before (0707). Returns a line for the log when the socket is not limited.
std::string restrictSocket(const std::string& path, const std::string& group, bool sandboxed);

}  // namespace qva
