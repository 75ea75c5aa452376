// POSIX shims: file-name resolution and the temporary switch of the
// effective user to root.
#include "vantrix_private.h"

#include <atomic>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long kNoSavedUser = -1;

std::atomic<long> saved_euid{kNoSavedUser};

} // namespace

extern "C" {

int vn_filename_resolve(const char *name, char *buffer, size_t size)
{
    if (size == 0)
        return -1;
    size_t length = std::strlen(name);
    size_t copied = length < size ? length : size - 1;
    std::memcpy(buffer, name, copied);
    buffer[copied] = '\0';
    // A cut name would point at another file: it never resolves.
    if (copied < length)
        return -1;
    struct stat info;
    return stat(buffer, &info) == 0 ? 0 : -1;
}

void vn_set_superuser(void)
{
    saved_euid.store(static_cast<long>(geteuid()));
    if (seteuid(0) != 0)
        saved_euid.store(kNoSavedUser);
}

void vn_unset_superuser(void)
{
    long saved = saved_euid.load();
    if (saved != kNoSavedUser) {
        int result = seteuid(static_cast<uid_t>(saved));
        (void)result; // a refused switch leaves the process as it was
    }
    vn_set_dumpable(0);
}

} // extern "C"
