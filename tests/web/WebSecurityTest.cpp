// Sessions, login limits and the stored password, on a clock the test moves.
#include "LoginLimiter.h"
#include "PasswordStore.h"
#include "SessionStore.h"
#include "WebSettings.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <sys/stat.h>

using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

struct FakeClock {
    std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
    std::function<std::chrono::steady_clock::time_point()> function() {
        return [this] { return now; };
    }
};

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

}  // namespace

TEST(SessionStore, SessionsExpireWhenIdleAndTheLeastRecentlyUsedMakesRoom) {
    FakeClock clock;
    SessionStore sessions(2, 12h, clock.function());
    const auto first = sessions.create();
    EXPECT_EQ(first.id.size(), 64u);
    EXPECT_NE(first.id, first.csrf);

    clock.now += 11h;
    EXPECT_TRUE(sessions.find(first.id));  // use restarts the idle time
    clock.now += 11h;
    EXPECT_TRUE(sessions.find(first.id));
    clock.now += 12h;
    EXPECT_FALSE(sessions.find(first.id));

    const auto a = sessions.create();
    clock.now += 1s;
    const auto b = sessions.create();
    clock.now += 1s;
    sessions.find(a.id);
    const auto c = sessions.create();  // full: b was used least recently
    EXPECT_TRUE(sessions.find(a.id));
    EXPECT_FALSE(sessions.find(b.id));
    EXPECT_TRUE(sessions.find(c.id));
    sessions.removeAllBut(c.id);
    EXPECT_FALSE(sessions.find(a.id));
    EXPECT_FALSE(sessions.find(""));
}

TEST(LoginLimiter, WaitsGrowPerAddressAndASuccessClearsThem) {
    FakeClock clock;
    LoginLimiter limiter({}, clock.function());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(limiter.attempt("10.0.0.1"), 0) << i;
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 1);
    EXPECT_EQ(limiter.attempt("10.0.0.2"), 0);  // another address is not held up
    clock.now += 1s;
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 0);
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 2);
    clock.now += 2s;
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 0);
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 4);
    clock.now += 4s;
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 0);
    limiter.succeeded("10.0.0.1");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(limiter.attempt("10.0.0.1"), 0) << i;
}

TEST(LoginLimiter, ManyAddressesTogetherAreHeldUpToo) {
    FakeClock clock;
    LoginLimiter limiter({}, clock.function());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(limiter.attempt("10.0.1." + std::to_string(i)), 0) << i;
    EXPECT_GT(limiter.attempt("10.0.2.1"), 0);
    clock.now += 2h;  // quiet long enough: forgotten
    EXPECT_EQ(limiter.attempt("10.0.2.1"), 0);
}

TEST(PasswordStore, HashedThroughTheLibraryAndStoredForTheOwnerOnly) {
    TempDir state;
    PasswordStore store(state.path().string());
    EXPECT_FALSE(store.hasPassword());
    EXPECT_FALSE(store.verify(""));
    ASSERT_TRUE(store.set("correct horse"));
    EXPECT_TRUE(store.verify("correct horse"));
    EXPECT_FALSE(store.verify("correct hors"));
    const std::string hash = testing_support::readFile(store.hashPath());
    EXPECT_EQ(hash.find("correct"), std::string::npos);
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;  // the library's own format, salt included
    EXPECT_EQ(modeOf(store.hashPath()), 0600u);
    EXPECT_TRUE(PasswordStore::weakness("short"));
    EXPECT_FALSE(PasswordStore::weakness("long enough"));
}

TEST(PasswordStore, FirstStartWritesARandomPasswordThatWorks) {
    TempDir state;
    PasswordStore store(state.path().string());
    const auto file = store.createInitial();
    ASSERT_TRUE(file);
    EXPECT_EQ(modeOf(*file), 0600u);
    std::string password = testing_support::readFile(*file);
    ASSERT_FALSE(password.empty());
    password.pop_back();  // its line feed
    EXPECT_GE(password.size(), 16u);
    EXPECT_TRUE(store.verify(password));
    ASSERT_TRUE(store.set("a new password"));
    EXPECT_FALSE(std::filesystem::exists(*file));
}

TEST(WebSettings, ReadsOpenIsKeptAcrossRestarts) {
    TempDir state;
    EXPECT_FALSE(WebSettings(state.path().string()).readsOpen());
    ASSERT_TRUE(WebSettings(state.path().string()).setReadsOpen(true));
    EXPECT_TRUE(WebSettings(state.path().string()).readsOpen());
    testing_support::writeFile(state / "settings", "{damaged");
    EXPECT_FALSE(WebSettings(state.path().string()).readsOpen());
}
