#include "core/FilePrefix.h"

#include <algorithm>
#include <cstring>

void FilePrefix::set(std::string_view name) {
    const size_t length = std::min(name.size(), kCapacity - 1);
    std::lock_guard guard(lock_);
    std::memcpy(name_, name.data(), length);
    name_[length] = '\0';
}

std::string FilePrefix::get() const {
    std::lock_guard guard(lock_);
    return std::string(name_);
}
