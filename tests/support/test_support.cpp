#include "test_support.h"
#include "vantrix_private.h"

#include <libxml/tree.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vntest {

TempRoot::TempRoot()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vantrix-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = buffer.data();
    std::filesystem::create_directory(path_ + "/var");
}

TempRoot::~TempRoot()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempRoot::write(const std::string &relative, const std::string &text) const
{
    std::string full = file(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << text;
    return full;
}

std::string TempRoot::read(const std::string &relative) const
{
    return read_file(file(relative));
}

bool TempRoot::exists(const std::string &relative) const
{
    return std::filesystem::exists(file(relative));
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string numbered(const char *prefix, long number, const char *suffix)
{
    std::string text = prefix;
    text += std::to_string(number);
    text += suffix;
    return text;
}

namespace {

// Reads both pipes until the child closes them, so neither can fill and block it.
void drain(int out_fd, int err_fd, std::string &out, std::string &err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char buffer[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (auto &entry : fds) {
            if (entry.fd < 0 || entry.revents == 0)
                continue;
            ssize_t got = read(entry.fd, buffer, sizeof buffer);
            if (got > 0) {
                (entry.fd == out_fd ? out : err).append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(entry.fd);
                entry.fd = -1;
                open_count--;
            }
        }
    }
}

} // namespace

RunResult run(const std::vector<std::string> &argv, const std::string &cwd,
              const std::map<std::string, std::string> &env)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0)
            dup2(null_fd, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const auto &[name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char *> args;
        for (const auto &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult result;
    drain(out_pipe[0], err_pipe[0], result.out, result.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult run_morvask(const std::vector<std::string> &args, const std::string &cwd,
                      const std::map<std::string, std::string> &env)
{
    std::vector<std::string> argv{MORVASK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, cwd, env);
}

namespace {

void *new_doc(const char *version)
{
    return xmlNewDoc(BAD_CAST version);
}
void free_doc(void *doc)
{
    xmlFreeDoc(static_cast<xmlDocPtr>(doc));
}
void *set_root(void *doc, void *root)
{
    return xmlDocSetRootElement(static_cast<xmlDocPtr>(doc), static_cast<xmlNodePtr>(root));
}
int save(const char *name, void *doc)
{
    return xmlSaveFile(name, static_cast<xmlDocPtr>(doc));
}
void *add_child(void *parent, void *child)
{
    return xmlAddChild(static_cast<xmlNodePtr>(parent), static_cast<xmlNodePtr>(child));
}
void *new_prop(void *node, const char *name, const char *value)
{
    return xmlNewProp(static_cast<xmlNodePtr>(node), BAD_CAST name, BAD_CAST value);
}
void *new_node(void *, const char *name)
{
    return xmlNewNode(nullptr, BAD_CAST name);
}
vn_xml_implementation_t libxml_table = {new_doc, free_doc, set_root, save, add_child, new_prop, new_node};

} // namespace

int start_runtime(const std::string &app_name, const std::string &config, const std::string &root)
{
    static std::vector<std::string> words;
    static std::vector<char *> argv;
    static vn_init_t record{};
    words = {app_name, "--application-root", root};
    argv.clear();
    for (std::string &word : words)
        argv.push_back(word.data());
    vn_config_init(config.c_str(), static_cast<int>(argv.size()), argv.data());
    return vn_init(&record, static_cast<int>(argv.size()), argv.data());
}

void install_libxml()
{
    vn_xml_set_implementation(&libxml_table);
}

void start_log_and_loop(const TempRoot &root, vn_init_t *record)
{
    vn_config_set_option("log-dir", root.file("var").c_str());
    _vn_log_init(record);
    record->log = vn_new_level_log("event_log", "event.log", nullptr);
    _vn_event_init(record);
    if (_vn_event_thread_init(record, 0, 0) != 1)
        throw std::runtime_error("no event loop");
}

const char *const kOpenssl = "/usr/bin/openssl";

std::string gmt_stamp(long offset_seconds)
{
    time_t when = time(nullptr) + offset_seconds;
    struct tm fields;
    gmtime_r(&when, &fields);
    char text[32];
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &fields);
    return text;
}

void make_rsa_key(const TempRoot &root, const std::string &private_pem, const std::string &public_der)
{
    RunResult made = run({kOpenssl, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out",
                          root.file(private_pem)});
    if (made.exit_code != 0)
        throw std::runtime_error("openssl genpkey: " + made.err);
    RunResult exported = run({kOpenssl, "pkey", "-in", root.file(private_pem), "-pubout", "-outform", "DER", "-out",
                              root.file(public_der)});
    if (exported.exit_code != 0)
        throw std::runtime_error("openssl pkey: " + exported.err);
}

namespace {

void run_openssl(const TempRoot &root, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{kOpenssl};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = run(argv, root.path());
    if (result.exit_code != 0)
        throw std::runtime_error("openssl " + args[0] + ": " + result.err);
}

} // namespace

void make_certificate(const TempRoot &root, const std::string &name, const std::string &ca)
{
    // Elliptic-curve keys: made at once, and usable with every protocol version.
    std::vector<std::string> key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                 "-keyout", name + ".key", "-subj", "/CN=" + name};
    if (ca.empty()) {
        std::vector<std::string> args{"req", "-x509", "-days", "2", "-out", name + ".pem"};
        args.insert(args.end(), key.begin(), key.end());
        run_openssl(root, args);
        return;
    }
    std::vector<std::string> request{"req", "-new", "-out", name + ".csr"};
    request.insert(request.end(), key.begin(), key.end());
    run_openssl(root, request);
    run_openssl(root, {"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                       "-CAcreateserial", "-days", "2", "-out", name + ".pem"});
}

std::string openssl_sign(const TempRoot &root, const std::string &text, const std::string &digest,
                         const std::string &private_pem)
{
    root.write("signed-text", text);
    RunResult signed_run = run({kOpenssl, "dgst", "-" + digest, "-sign", root.file(private_pem), "-out",
                                root.file("signature.bin"), root.file("signed-text")});
    if (signed_run.exit_code != 0)
        throw std::runtime_error("openssl dgst: " + signed_run.err);
    return run({kOpenssl, "base64", "-A", "-in", root.file("signature.bin")}).out;
}

} // namespace vntest
