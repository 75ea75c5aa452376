#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

TEST(CompatLinux, ThreadNameIsSetAndCutByTheKernel)
{
    vn_thread_setname("peer-1");
    char name[16] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    EXPECT_STREQ(name, "peer-1");
    vn_thread_setname("a-thread-name-longer-than-fifteen");
    prctl(PR_GET_NAME, name, 0, 0, 0);
    EXPECT_STREQ(name, "a-thread-name-l");
}

TEST(CompatLinux, DumpableWithoutAStartupRecordAllowsOwnerDumps)
{
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    vn_set_dumpable(1);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
}

TEST(CompatLinux, ProcessSizeGrowsWithTouchedMemory)
{
    long before = _vn_get_process_size();
    ASSERT_GT(before, 0);
    std::vector<char> block(64 << 20, 1); // 64 MB, every page touched
    EXPECT_GE(_vn_get_process_size(), before + (32 << 10)) << block[12345];
}

TEST(CompatLinux, CpuCountIsTheOnlineCount)
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(vn_num_cpus(0), online);
    EXPECT_EQ(vn_num_cpus(1), online);
}

TEST(CompatLinux, AddressesListTheLoopback)
{
    int count = -1;
    char **addresses = vn_get_addresses(&count);
    ASSERT_NE(addresses, nullptr);
    ASSERT_GT(count, 0);
    EXPECT_LE(count, 10);
    std::vector<std::string> texts;
    for (int i = 0; i < count; i++) {
        texts.emplace_back(addresses[i]);
        vn_free(addresses[i]);
    }
    vn_free(addresses);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "127.0.0.1"), texts.end());
}
