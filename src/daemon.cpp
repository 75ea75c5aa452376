// Daemon mode (a double fork into a new session) and the pid file.
#include "vantrix_private.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kPathBytes = 4097;

// Option variables.
char daemon_enable = 0;
char *pid_filename = nullptr;

vn_init_t *daemon_init = nullptr;
std::mutex pid_lock;
char pid_path[kPathBytes];
bool pid_written = false;
pid_t pid_writer = 0;

// A forked child inherits the hook, but the file names its parent.
void remove_pid_file()
{
    if (getpid() == pid_writer)
        unlink(pid_path);
}

// Forks and lets only the child go on; the parent leaves without running exit
// hooks, so the pid file and other exit work stay with the child.
bool fork_and_leave_parent()
{
    pid_t child = fork();
    if (child < 0) {
        _vn_exit_log(4, "Cannot fork into the background: %s\n", std::strerror(errno));
        return false;
    }
    if (child > 0)
        _exit(0);
    return true;
}

void reopen_on_null(int fd, int flags)
{
    close(fd);
    int opened = open("/dev/null", flags);
    if (opened >= 0 && opened != fd) {
        dup2(opened, fd);
        close(opened);
    }
}

} // namespace

void _vn_daemon_config_init(void)
{
    vn_free(pid_filename);
    pid_filename = vn_strdup("%r/var/%a.pid");
    vn_config_add_option('d', "daemon-enable", "Daemon mode enable", VN_CONFIG_BOOL, &daemon_enable);
    vn_config_add_option(0, "pid-filename", "Filename for the pid file", VN_CONFIG_STRING, &pid_filename);
}

int vn_daemon_disabled(void)
{
    return daemon_enable ? 0 : 1;
}

void vn_daemon_redirect(void)
{
    if (!daemon_enable)
        return;
    reopen_on_null(0, O_RDONLY);
    reopen_on_null(1, O_WRONLY);
    reopen_on_null(2, O_WRONLY);
}

void _vn_daemon_init(vn_init_t *init)
{
    daemon_init = init;
    if (!daemon_enable)
        return;
    const char *root = init->application_root ? init->application_root : "";
    if (chdir(root) != 0) {
        _vn_exit_log(4, "Cannot change to application root %s: %s\n", root, std::strerror(errno));
        return;
    }
    if (!fork_and_leave_parent())
        return;
    setsid();
    if (!fork_and_leave_parent())
        return;
    // The thread that ends the process on a signal stayed with the first parent.
    _vn_exit_signals_start();
}

void _vn_write_pid_file(void)
{
    std::lock_guard<std::mutex> hold(pid_lock);
    if (pid_written)
        return;
    pid_written = true;
    char expanded[kPathBytes];
    vn_filename_expand(pid_filename ? pid_filename : "", expanded, sizeof expanded);
    vn_filename_resolve(expanded, pid_path, sizeof pid_path);
    int fd = open(pid_path, O_WRONLY | O_CREAT | O_APPEND, 0664);
    if (fd < 0)
        return;
    // Only a file this process wrote is its to remove.
    pid_writer = getpid();
    std::atexit(remove_pid_file);
    char line[32];
    int len = std::snprintf(line, sizeof line, "%d\n", static_cast<int>(getpid()));
    ssize_t written = write(fd, line, static_cast<size_t>(len));
    (void)written;
    close(fd);
}
