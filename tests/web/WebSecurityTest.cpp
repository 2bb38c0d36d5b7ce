// Sessions, login limits and the stored password; the first two on a clock the test moves.
#include "LoginLimiter.h"
#include "PasswordStore.h"
#include "SessionStore.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <sys/stat.h>

using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

}  // namespace

TEST(SessionStore, SessionsEndWhenIdleOrWhenThePasswordChangesElsewhere) {
    std::chrono::steady_clock::time_point now{1000h};
    SessionStore sessions(4, 12h, [&] { return now; });
    const auto first = sessions.create();
    const auto second = sessions.create();
    EXPECT_NE(first.id, first.csrf);
    now += 11h;
    EXPECT_TRUE(sessions.find(first.id));  // use restarts the idle time
    now += 11h;
    EXPECT_TRUE(sessions.find(first.id));
    EXPECT_FALSE(sessions.find(second.id));
    const auto third = sessions.create();
    sessions.removeAllBut(third.id);
    EXPECT_FALSE(sessions.find(first.id));
    EXPECT_TRUE(sessions.find(third.id));
    EXPECT_FALSE(sessions.find(""));
}

TEST(LoginLimiter, WaitsGrowPerAddressAndForManyAddressesTogether) {
    std::chrono::steady_clock::time_point now{1000h};
    LoginLimiter limiter({}, [&] { return now; });
    for (int i = 0; i < 5; ++i) EXPECT_EQ(limiter.attempt("10.0.0.1"), 0) << i;
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 1);
    EXPECT_EQ(limiter.attempt("10.0.0.2"), 0);  // another address is not held up
    now += 1s;
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 0);
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 2);  // twice as long after each further failure
    limiter.succeeded("10.0.0.1");
    EXPECT_EQ(limiter.attempt("10.0.0.1"), 0);

    now += 2h;  // quiet long enough: forgotten
    for (int i = 0; i < 20; ++i) EXPECT_EQ(limiter.attempt("10.0.1." + std::to_string(i)), 0) << i;
    EXPECT_GT(limiter.attempt("10.0.2.1"), 0);
}

TEST(PasswordStore, FirstARandomOneThenAHashOnlyTheOwnerReads) {
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

    ASSERT_TRUE(store.set("correct horse"));
    EXPECT_FALSE(std::filesystem::exists(*file));
    EXPECT_FALSE(store.verify(password));
    EXPECT_TRUE(store.verify("correct horse"));
    EXPECT_FALSE(store.verify("correct hors"));
    const std::string hash = testing_support::readFile(store.hashPath());
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;  // the library's own format, salt included
    EXPECT_EQ(modeOf(store.hashPath()), 0600u);
}
