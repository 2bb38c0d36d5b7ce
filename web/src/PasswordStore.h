// The admin password: a libsodium password hash (salted, memory-hard) in
// <state>/password. The file is read on every check, so a password set with
// `qva-web --set-password` counts at once, without a restart.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class PasswordStore {
public:
    explicit PasswordStore(std::string stateDir);

    static constexpr size_t kMinLength = 8;
    static constexpr size_t kMaxLength = 1024;

    // Why a new password cannot be taken, or nothing when it can.
    static std::optional<std::string> weakness(std::string_view password);

    bool hasPassword() const;
    bool set(std::string_view password);  // also removes a left initial-password file
    // Slow on purpose (a fraction of a second): run it off the I/O threads.
    bool verify(std::string_view password) const;

    // First start: a random password, its hash stored and its plain text in
    // <state>/initial-password (0600). Returns that file's path.
    std::optional<std::string> createInitial();

    const std::string& hashPath() const { return hashPath_; }
    const std::string& initialPath() const { return initialPath_; }

private:
    std::string hashPath_;
    std::string initialPath_;
};
