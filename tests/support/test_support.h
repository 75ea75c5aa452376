// Shared fixtures for the tests: temporary application roots and runs of real
// programs with their output captured.
#ifndef VANTRIX_TEST_SUPPORT_H
#define VANTRIX_TEST_SUPPORT_H

#include <map>
#include <string>
#include <vector>

namespace vntest {

// A fresh directory under $TMPDIR with a var/ directory, removed on destruction.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + "/" + relative; }
    // Writes `text` to `relative`, creating the directories on the way.
    std::string write(const std::string &relative, const std::string &text) const;
    std::string read(const std::string &relative) const;
    bool exists(const std::string &relative) const;

private:
    std::string path_;
};

struct RunResult {
    int exit_code = -1; // the exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs `argv` in `cwd` with `env` added to (or replacing in) the environment,
// and waits for it. No shell is involved.
RunResult run(const std::vector<std::string> &argv, const std::string &cwd = "",
              const std::map<std::string, std::string> &env = {});

// Runs the built morvask with `args`.
RunResult run_morvask(const std::vector<std::string> &args, const std::string &cwd = "",
                      const std::map<std::string, std::string> &env = {});

std::string read_file(const std::string &path);

// `prefix`, the number and `suffix`. Built by appending, since g++ 12 at -O2
// and above takes "literal" + std::string for an overlapping copy (a false
// -Wrestrict).
std::string numbered(const char *prefix, long number, const char *suffix = "");

// Installs libxml2's tree operations as the library's XML table, as morvask does.
void install_libxml();

} // namespace vntest

#endif
