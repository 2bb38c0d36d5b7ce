// The name part of the recording files. Written whole by the menu system and
// copied whole by the writer when a recording starts; the lock makes sure no
// reader ever sees half a name.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

class FilePrefix {
public:
    static constexpr size_t kCapacity = 64;  // bytes, with the terminating NUL

    FilePrefix() = default;
    explicit FilePrefix(std::string_view name) { set(name); }

    // Stores name, cut to the 63 characters that fit.
    void set(std::string_view name);
    std::string get() const;

private:
    mutable std::mutex lock_;
    char name_[kCapacity] = {};
};
