// The one place that knows where the box's fixed paths live.
//
// On the box every fixed path ("/QVA/startup.cfg", "/media/", ...) is used as
// it stands. With QVA_ROOT=/some/dir the process runs in a sandbox and each
// path becomes "/some/dir" + path.
#pragma once

#include <string>
#include <string_view>

namespace qva {

// The sandbox root from QVA_ROOT, or empty on the box.
std::string sandboxRoot();

// A fixed absolute path of the box, resolved through the sandbox root.
std::string resolvePath(std::string_view boxPath);

}  // namespace qva
