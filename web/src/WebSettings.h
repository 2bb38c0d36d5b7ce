// The front end's own settings, kept in <state>/settings as JSON. Today one:
// whether reads (status, drives, levels, ...) are open without a login.
#pragma once

#include <atomic>
#include <string>

class WebSettings {
public:
    explicit WebSettings(std::string stateDir);  // loads the file; missing or damaged means the defaults

    bool readsOpen() const { return readsOpen_.load(); }
    bool setReadsOpen(bool open);  // false when it could not be stored (nothing changed)

private:
    const std::string path_;
    std::atomic<bool> readsOpen_{false};
};
