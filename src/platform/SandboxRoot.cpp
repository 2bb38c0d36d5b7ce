#include "platform/SandboxRoot.h"

#include <cstdlib>

namespace qva {

std::string sandboxRoot() {
    const char* root = std::getenv("QVA_ROOT");
    if (root == nullptr) return {};
    std::string result(root);
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    if (result == "/") result.clear();
    return result;
}

std::string resolvePath(std::string_view boxPath) {
    std::string path = sandboxRoot();
    path += boxPath;
    return path;
}

}  // namespace qva
