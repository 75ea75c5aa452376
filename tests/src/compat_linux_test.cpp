#include "test_support.h"
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

TEST(CompatLinux, DumpableEndsInAModeTheKernelAccepted)
{
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    vn_set_dumpable(1); // no start-up record kept yet
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);

    // Whatever the root, the mode never stays at 0: a refused root-only mode
    // falls back to owner dumps.
    vntest::TempRoot root;
    std::string missing = root.file("missing");
    for (const char *application_root : {root.path().c_str(), missing.c_str(), static_cast<const char *>(nullptr)}) {
        vn_init_t init{};
        init.application_root = const_cast<char *>(application_root);
        _vn_compat_init(&init);
        prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
        vn_set_dumpable(0);
        int mode = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        EXPECT_TRUE(mode == 1 || mode == 2) << (application_root ? application_root : "(null)");
    }
    _vn_compat_init(nullptr);
}

TEST(CompatLinux, ProcessSizeGrowsWithTouchedMemory)
{
    long before = _vn_get_process_size();
    ASSERT_GT(before, 0);
    std::vector<char> block(64 << 20, 1); // 64 MB, every page touched
    // Lets the block escape: an optimising clang drops an allocation whose
    // contents nothing can read.
    asm volatile("" : : "r"(block.data()) : "memory");
    EXPECT_GE(_vn_get_process_size(), before + (32 << 10));
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
