// Shared fixtures for the tests: temporary application roots and runs of real
// programs with their output captured.
#ifndef VANTRIX_TEST_SUPPORT_H
#define VANTRIX_TEST_SUPPORT_H

#include "vantrix.h"

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

// Starts the whole runtime in this process from `config`, with `root` as the
// application root and `app_name` as argv[0]; vn_init's result. The start-up
// record lives for the life of the process, so call it once per process.
int start_runtime(const std::string &app_name, const std::string &config, const std::string &root);

// Installs libxml2's tree operations as the library's XML table, as morvask does.
void install_libxml();

// For in-process tests of one module: writes the event log "event.log" into
// root's var/ and makes the calling thread's loop, as start-up would for
// `record` (whose application name must be set). Options registered before
// keep their values.
void start_log_and_loop(const TempRoot &root, vn_init_t *record);

// The openssl command line, for keys, certificates and signatures.
extern const char *const kOpenssl;

// The GMT time `offset_seconds` from now as YYYYMMDDhhmmss.
std::string gmt_stamp(long offset_seconds = 0);

// Makes a 1024-bit RSA key in `root`: the PEM private key and the DER public key.
void make_rsa_key(const TempRoot &root, const std::string &private_pem, const std::string &public_der);

// Makes "<name>.pem" and its unencrypted key "<name>.key" in root, subject
// CN=<name>: a self-signed CA certificate when `ca` is empty, else one signed
// by the CA "<ca>.pem" / "<ca>.key" made before.
void make_certificate(const TempRoot &root, const std::string &name, const std::string &ca = "");

// The standard base64 signature of `text` by the PEM key `private_pem` of
// `root`, made with openssl dgst and `digest`.
std::string openssl_sign(const TempRoot &root, const std::string &text, const std::string &digest,
                         const std::string &private_pem);

} // namespace vntest

#endif
