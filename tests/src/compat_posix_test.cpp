#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/prctl.h>
#include <unistd.h>

TEST(CompatPosix, FilenameResolveCopiesAndChecksTheName)
{
    vntest::TempRoot root;
    std::string present = root.write("etc/app.conf", "x");
    std::string absent = root.file("etc/missing.conf");
    char buffer[4097];

    EXPECT_EQ(vn_filename_resolve(present.c_str(), buffer, sizeof buffer), 0);
    EXPECT_EQ(present, buffer);
    EXPECT_EQ(vn_filename_resolve(absent.c_str(), buffer, sizeof buffer), -1);
    EXPECT_EQ(absent, buffer);
}

TEST(CompatPosix, FilenameResolveNeverResolvesACutName)
{
    vntest::TempRoot root;
    root.write("ab", "x");
    std::string name = root.file("abc");
    std::string cut_target = root.file("ab");
    std::vector<char> buffer(cut_target.size() + 1);
    // The cut copy names the existing file "ab", but "abc" was asked for.
    EXPECT_EQ(vn_filename_resolve(name.c_str(), buffer.data(), buffer.size()), -1);
    EXPECT_EQ(cut_target, buffer.data());
    EXPECT_EQ(vn_filename_resolve(name.c_str(), buffer.data(), 0), -1);
}

TEST(CompatPosix, SuperuserSwitchComesBackAndKeepsDumpsPossible)
{
    uid_t before = geteuid();
    vn_set_superuser();
    EXPECT_EQ(geteuid(), before == 0 ? 0u : before); // refused for an ordinary user
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    vn_unset_superuser();
    EXPECT_EQ(geteuid(), before);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
}
