#include "PasswordStore.h"

#include "StateFile.h"

#include <sodium.h>
#include <unistd.h>

#include <stdexcept>

PasswordStore::PasswordStore(std::string stateDir)
    : hashPath_(stateDir + "/password"), initialPath_(stateDir + "/initial-password") {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

std::optional<std::string> PasswordStore::weakness(std::string_view password) {
    if (password.size() < kMinLength) return "the password needs at least 8 characters";
    if (password.size() > kMaxLength) return "the password is too long (at most 1024 characters)";
    return std::nullopt;
}

bool PasswordStore::hasPassword() const {
    const auto hash = qva_web::readSmallFile(hashPath_, crypto_pwhash_STRBYTES);
    return hash && !hash->empty();
}

bool PasswordStore::set(std::string_view password) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return false;
    if (!qva_web::writePrivateFile(hashPath_, hash)) return false;
    ::unlink(initialPath_.c_str());
    return true;
}

bool PasswordStore::verify(std::string_view password) const {
    const auto hash = qva_web::readSmallFile(hashPath_, crypto_pwhash_STRBYTES);
    if (!hash || hash->empty() || hash->size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash->c_str(), password.data(), password.size()) == 0;
}

std::optional<std::string> PasswordStore::createInitial() {
    // Letters and digits that cannot be mistaken for each other when read off a screen.
    static constexpr char kAlphabet[] = "abcdefghjkmnpqrstuvwxyzACDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string password(16, ' ');
    for (char& c : password) c = kAlphabet[randombytes_uniform(sizeof kAlphabet - 1)];
    if (!qva_web::writePrivateFile(initialPath_, password + "\n")) return std::nullopt;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0 ||
        !qva_web::writePrivateFile(hashPath_, hash)) {
        ::unlink(initialPath_.c_str());
        return std::nullopt;
    }
    return initialPath_;
}
