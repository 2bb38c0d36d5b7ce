// The recorder's Ethernet settings as last read: written by the network
// watcher and the settings writers, read by the information screen and the
// web reports, so every access copies the whole record under its lock.
#pragma once

#include <mutex>
#include <string>

struct NetworkSettings {
    std::string ip = "dhcp";   // dotted IPv4, or "dhcp" when no address is known
    std::string netmask;
    std::string gateway;
    bool dhcp = false;
};

class networkValue {
public:
    NetworkSettings get() const {
        std::lock_guard guard(lock_);
        return settings_;
    }
    void set(NetworkSettings settings) {
        std::lock_guard guard(lock_);
        settings_ = std::move(settings);
    }
    // A read-modify-write of the whole record; change must not block.
    template <typename Change>
    void update(Change change) {
        std::lock_guard guard(lock_);
        change(settings_);
    }

private:
    mutable std::mutex lock_;
    NetworkSettings settings_;
};
