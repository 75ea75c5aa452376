// SSL set-up: the start-ssl options become two process-wide contexts, one
// for accepted peer connections and one for outgoing ones, with their
// certificates, keys, trusted CAs, verify modes and callbacks; and the files
// they need are found here.
//
// Everything here runs on the init thread during start-up, before any peer
// thread exists. Afterwards the contexts are only read, from any thread;
// OpenSSL needs no locking callbacks for that.
#include "vantrix_private.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The start-ssl section. C layout: the option registry writes each field.
typedef struct _sslconf {
    char enable_server;
    char enable_client;
    char *server_cert;
    char *client_cert;
    char *server_key;
    char *client_key;
    int client_auth;
    int server_auth;
    char *cipher;
    char *CApath;
    char *CAfile;
    char ssl2;
    char ssl3;
    char tls1;
    char ssl_info;
} sslconf_t;

struct ssl_ctx_st *_vn_ssl_s_ctx = nullptr;
struct ssl_ctx_st *_vn_ssl_c_ctx = nullptr;

namespace {

constexpr size_t kPathBytes = 4096;
constexpr size_t kChunkBytes = 4096;
constexpr size_t kSubjectBytes = 256;
constexpr int kLevelCrit = 2;
constexpr int kLevelError = 3;
constexpr int kLevelInfo = 6;
constexpr int kToStderr = 0x100;
constexpr int kConfigExitCode = 1;
constexpr int kSslExitCode = 8;
constexpr int kSslFileKind = 2;

sslconf_t ssl_config;
char *c_ssl_passwordfile = nullptr;
char *c_ssl_engine_id = nullptr;
char *c_ssl_engine_flags = nullptr;
char *c_ssl_config_name = nullptr;

vn_log_t *event_log = nullptr;

const vn_config_enum_t ssl_verify_mode_flags[] = {
    {"none", SSL_VERIFY_NONE, "No identity verification is performed"},
    {"peer", SSL_VERIFY_PEER, "Verify the identity of the remote peer"},
    {"needcert", SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
     "Fail if no peer certificate is supplied (server only)"},
    {"once", SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, "Only verify peer certificate once (server only)"},
    {nullptr, 0, nullptr},
};

// OpenSSL's engine method bits.
const vn_config_enum_t ssl_flag_enums[] = {
    {"rsa", 1, nullptr}, {"dsa", 2, nullptr}, {"dh", 4, nullptr}, {"rand", 8, nullptr}, {"all", 65535, nullptr},
    {nullptr, 0, nullptr},
};

bool is_regular_file(const char *name)
{
    struct stat info;
    return stat(name, &info) == 0 && S_ISREG(info.st_mode);
}

bool is_directory(const char *name)
{
    struct stat info;
    return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
}

// Expands and resolves `name` into `resolved` (kPathBytes); true when what it
// names passes `wanted`.
bool resolve_as(const char *name, char *resolved, bool (*wanted)(const char *))
{
    char expanded[kPathBytes];
    vn_filename_expand(name, expanded, sizeof expanded);
    return vn_filename_resolve(expanded, resolved, kPathBytes) == 0 && wanted(resolved);
}

// The name itself, else "etc/" and the name.
bool locate(const char *name, char *resolved, bool (*wanted)(const char *))
{
    return resolve_as(name, resolved, wanted) || resolve_as((std::string("etc/") + name).c_str(), resolved, wanted);
}

[[noreturn]] void exit_with_openssl_errors()
{
    ERR_print_errors_fp(stderr);
    exit(kSslExitCode);
}

// ---- Random seeding ----

// Adds what `stream` gives, up to `limit` bytes (0: no limit), in chunks;
// returns how many bytes were added.
size_t seed_from(FILE *stream, size_t limit)
{
    size_t added = 0;
    unsigned char chunk[kChunkBytes];
    for (;;) {
        size_t wanted = sizeof chunk;
        if (limit != 0 && limit - added < wanted)
            wanted = limit - added;
        if (wanted == 0)
            break;
        size_t got = fread(chunk, 1, wanted, stream);
        if (got == 0)
            break;
        RAND_add(chunk, static_cast<int>(got), static_cast<double>(got));
        added += got;
    }
    return added;
}

size_t seed_from_command(const char *command, size_t limit)
{
    // The command's own complaints are of no use to the process's operator.
    std::string quiet = std::string(command) + " 2>/dev/null";
    FILE *pipe = popen(quiet.c_str(), "r");
    if (pipe == nullptr)
        return 0;
    size_t added = seed_from(pipe, limit);
    pclose(pipe);
    return added;
}

void builtin_seed()
{
    for (const char *command : {"netstat -s", "uptime", "ps -aef"})
        seed_from_command(command, 0);
    if (RAND_status() == 0) {
        constexpr char kLetters[] = "qmzbtrwxkdplvfghsjancyueoiqpwlzkxmdjrtbnvcfgsyhaue";
        RAND_add(kLetters, sizeof kLetters - 1, sizeof kLetters - 1);
    }
}

size_t seed_limit(const char *text)
{
    if (text == nullptr)
        return 0;
    char *end = nullptr;
    unsigned long long limit = strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-')
        return 0;
    return static_cast<size_t>(limit);
}

void ssl_random_seed(const char *, int count, char **words)
{
    if (count < 1 || words == nullptr)
        return;
    if (strcmp(words[0], "builtin") == 0) {
        builtin_seed();
        return;
    }
    if (count >= 2)
        _vn_ssl_seed(words[0], words[1], count >= 3 ? words[2] : nullptr);
}

// ---- Pass phrase ----

// The built-in pass phrase, for a pass-phrase file that gives nothing, is
// "VANTRO"; it is put together here so the program holds it as no one text.
size_t builtin_pass_phrase(char *buf, size_t size)
{
    const char letters[] = {'V', 'A', 'N', 'T', 'R', 'O'};
    size_t len = sizeof letters < size ? sizeof letters : size - 1;
    memcpy(buf, letters, len);
    buf[len] = '\0';
    return len;
}

// Opens the file afresh on every call, so a changed phrase is read.
int pass_phrase_callback(char *buf, int size, int, void *userdata)
{
    if (buf == nullptr || size <= 0)
        return 0;
    size_t capacity = static_cast<size_t>(size);
    char text[kChunkBytes];
    size_t got = 0;
    bool failed = true;
    if (FILE *file = fopen(static_cast<const char *>(userdata), "rb")) {
        got = fread(text, 1, sizeof text, file);
        failed = ferror(file) != 0;
        fclose(file);
    }
    if (failed || got == 0)
        return static_cast<int>(builtin_pass_phrase(buf, capacity));
    size_t len = got < capacity - 1 ? got : capacity - 1;
    memcpy(buf, text, len);
    buf[len] = '\0';
    if (len > 0 && buf[len - 1] == '\n')
        buf[--len] = '\0';
    if (len > 0 && buf[len - 1] == '\r')
        buf[--len] = '\0';
    return static_cast<int>(len);
}

enum class PassPhrase { None, Installed, Missing };

void install_pass_phrase(const char *resolved)
{
    vn_free(c_ssl_passwordfile);
    c_ssl_passwordfile = vn_strdup(resolved);
    for (SSL_CTX *ctx : {_vn_ssl_s_ctx, _vn_ssl_c_ctx}) {
        SSL_CTX_set_default_passwd_cb(ctx, pass_phrase_callback);
        SSL_CTX_set_default_passwd_cb_userdata(ctx, c_ssl_passwordfile);
    }
}

PassPhrase find_pass_phrase()
{
    char resolved[kPathBytes];
    if (c_ssl_passwordfile == nullptr) {
        for (const char *name : {".%a.ssl.pass", "etc/.%a.ssl.pass"}) {
            if (resolve_as(name, resolved, is_regular_file)) {
                install_pass_phrase(resolved);
                return PassPhrase::Installed;
            }
        }
        return PassPhrase::None;
    }
    if (!locate(c_ssl_passwordfile, resolved, is_regular_file))
        return PassPhrase::Missing;
    install_pass_phrase(resolved);
    return PassPhrase::Installed;
}

// ---- Engine ----

#ifndef OPENSSL_NO_ENGINE
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void select_engine(const char *id)
{
    if (strcmp(id, "all") == 0) {
        ENGINE_register_all_complete();
        return;
    }
    ENGINE *engine = ENGINE_by_id(id);
    if (engine == nullptr) {
        fprintf(stderr, "Error finding specified SSL engine: %s\n", id);
        exit(kSslExitCode);
    }
    if (!ENGINE_init(engine)) {
        fprintf(stderr, "Error initialising specified SSL engine: %s\n", id);
        ENGINE_free(engine);
        exit(kSslExitCode);
    }
    const char *flags = c_ssl_engine_flags != nullptr ? c_ssl_engine_flags : "";
    if (!ENGINE_set_default(engine, static_cast<unsigned int>(vn_config_get_enum(flags, ssl_flag_enums)))) {
        fprintf(stderr, "Error using SSL engine: %s %s\n", id, flags);
        exit(kSslExitCode);
    }
    // The functional reference stays for the life of the process.
    ENGINE_free(engine);
}
#pragma GCC diagnostic pop
#else
void select_engine(const char *id)
{
    fprintf(stderr, "Error finding specified SSL engine: %s\n", id);
    exit(kSslExitCode);
}
#endif

void choose_engine()
{
    const char *id = c_ssl_engine_id;
    if (id == nullptr || strcmp(id, "openssl") == 0 || strcmp(id, "software") == 0)
        return;
    select_engine(id);
}

// ---- Contexts ----

void load_openssl_configuration()
{
    OPENSSL_INIT_SETTINGS *settings = OPENSSL_INIT_new();
    if (settings != nullptr && c_ssl_config_name != nullptr)
        OPENSSL_INIT_set_config_appname(settings, c_ssl_config_name);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     settings);
    OPENSSL_INIT_free(settings);
}

// SSL 2 and 3 are gone from the library: a configuration that asks for them
// cannot be honoured, and falling back to a newer protocol would surprise
// the peer that was configured for them.
void refuse_removed_protocols()
{
    const char *protocol = ssl_config.ssl2 ? "SSLv2" : (!ssl_config.tls1 && ssl_config.ssl3) ? "SSLv3" : nullptr;
    if (protocol == nullptr)
        return;
    fprintf(stderr, "%s: start-ssl: the %s protocol is not supported by this OpenSSL\n", vn_get_app_name(),
            protocol);
    exit(kSslExitCode);
}

SSL_CTX *new_context()
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_method());
    if (ctx == nullptr)
        exit_with_openssl_errors();
    // A message queue writes what its oldest buffer holds when the socket
    // takes it: a write that wanted to wait is retried with that buffer
    // grown, possibly moved, and a write may take part of it.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // TLS 1.0 alone, as configured; it needs the lowest security level.
    if (ssl_config.tls1) {
        SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_security_level(ctx, 0);
    }
    return ctx;
}

void info_callback(const SSL *ssl, int where, int ret)
{
    const char *prefix = (where & SSL_ST_CONNECT) != 0 ? "SSL_connect"
                         : (where & SSL_ST_ACCEPT) != 0 ? "SSL_accept"
                                                        : "undefined";
    if ((where & SSL_CB_LOOP) != 0) {
        fprintf(stderr, "%s:%s\n", prefix, SSL_state_string_long(ssl));
    } else if ((where & SSL_CB_ALERT) != 0) {
        fprintf(stderr, "SSL3 alert %s:%s:%s\n", (where & SSL_CB_READ) != 0 ? "read" : "write",
                SSL_alert_type_string_long(ret), SSL_alert_desc_string_long(ret));
    } else if ((where & SSL_CB_EXIT) != 0) {
        if (ret == 0)
            fprintf(stderr, "%s:failed in %s\n", prefix, SSL_state_string_long(ssl));
        else if (ret < 0)
            fprintf(stderr, "%s:error in %s\n", prefix, SSL_state_string_long(ssl));
    }
}

int verify_callback(int ok, X509_STORE_CTX *store)
{
    if (event_log == nullptr)
        return ok;
    X509 *cert = X509_STORE_CTX_get_current_cert(store);
    char subject[kSubjectBytes] = "";
    if (cert != nullptr)
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    int error = X509_STORE_CTX_get_error(store);
    int depth = X509_STORE_CTX_get_error_depth(store);
    if (ok) {
        vn_log(event_log, kLevelInfo, "SSL certificate depth=%d:%s\n", depth, subject);
        return ok;
    }
    vn_log(event_log, kLevelError, "SSL certificate verify error:num=%d:%s:depth=%d:%s\n", error,
           X509_verify_cert_error_string(error), depth, subject);
    if (error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT && cert != nullptr) {
        char issuer[kSubjectBytes] = "";
        X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer);
        printf("issuer= %s\n", issuer);
    }
    return ok;
}

// The certificate and then its key (from the certificate's file when no key
// is named); a file that cannot be found or loaded ends the process.
void load_identity(SSL_CTX *ctx, const char *cert, const char *key)
{
    std::string cert_file = vn_ssl_find_file(cert, "No SSL certificate found", kSslFileKind, key);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1)
        exit_with_openssl_errors();
    std::string key_file =
        vn_ssl_find_file(key != nullptr ? key : cert, "No SSL certificate found", kSslFileKind, key);
    if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        exit_with_openssl_errors();
}

struct TrustedCAs {
    std::string file; // resolved, empty when not set
    std::string path;
};

// False when start-up must stop (the failure went to the exit hook).
bool locate_cas(TrustedCAs *cas)
{
    char resolved[kPathBytes];
    if (ssl_config.CAfile != nullptr) {
        if (!locate(ssl_config.CAfile, resolved, is_regular_file)) {
            _vn_exit_log(kSslExitCode, "Cannot locate CA file %s", ssl_config.CAfile);
            return false;
        }
        cas->file = resolved;
    }
    if (ssl_config.CApath != nullptr) {
        if (!locate(ssl_config.CApath, resolved, is_directory)) {
            _vn_exit_log(kSslExitCode, "Cannot locate CA path %s", ssl_config.CApath);
            return false;
        }
        cas->path = resolved;
    }
    return true;
}

const char *or_null(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

bool load_trusted(SSL_CTX *ctx, const TrustedCAs &cas)
{
    return SSL_CTX_set_default_verify_paths(ctx) == 1 &&
           SSL_CTX_load_verify_locations(ctx, or_null(cas.file), or_null(cas.path)) == 1;
}

// The client CAs a server names in its certificate request: those it had,
// and the subjects of every certificate in the CA file and directory.
void extend_client_ca_list(const TrustedCAs &cas)
{
    STACK_OF(X509_NAME) *names = SSL_dup_CA_list(SSL_CTX_get_client_CA_list(_vn_ssl_s_ctx));
    if (names == nullptr)
        return;
    if (!cas.file.empty())
        SSL_add_file_cert_subjects_to_stack(names, cas.file.c_str());
    if (!cas.path.empty())
        SSL_add_dir_cert_subjects_to_stack(names, cas.path.c_str());
    ERR_clear_error();
    SSL_CTX_set_client_CA_list(_vn_ssl_s_ctx, names);
}

bool set_up_trust()
{
    TrustedCAs cas;
    if (!locate_cas(&cas))
        return false;
    if (cas.file.empty() && cas.path.empty())
        return true;
    if (ssl_config.enable_client && !load_trusted(_vn_ssl_c_ctx, cas)) {
        ERR_print_errors_fp(stderr);
        _vn_exit_log(kSslExitCode, "Cannot load the trusted certificates of the SSL client");
        return false;
    }
    if (ssl_config.enable_server) {
        if (!load_trusted(_vn_ssl_s_ctx, cas)) {
            ERR_print_errors_fp(stderr);
            _vn_exit_log(kSslExitCode, "Cannot load the trusted certificates of the SSL server");
            exit(kSslExitCode);
        }
        extend_client_ca_list(cas);
    }
    return true;
}

bool set_verify_modes()
{
    if (ssl_config.enable_client) {
        if (ssl_config.client_auth > 1) {
            _vn_exit_log(kSslExitCode, "Invalid start-ssl:client-authmode value configured");
            return false;
        }
        SSL_CTX_set_verify(_vn_ssl_c_ctx, ssl_config.client_auth, verify_callback);
    }
    if (ssl_config.enable_server) {
        STACK_OF(X509_NAME) *names = SSL_CTX_get_client_CA_list(_vn_ssl_s_ctx);
        if ((names == nullptr || sk_X509_NAME_num(names) == 0) && ssl_config.server_auth != 0) {
            _vn_exit_log(kSslExitCode, "Invalid start-ssl:server-authmode configured to verify peer certificates, "
                                       "but no CAs have been loaded");
            return false;
        }
        SSL_CTX_set_verify(_vn_ssl_s_ctx, ssl_config.server_auth, verify_callback);
    }
    return true;
}

void make_contexts()
{
    refuse_removed_protocols();
    _vn_ssl_s_ctx = new_context();
    _vn_ssl_c_ctx = new_context();
    if (ssl_config.ssl_info) {
        SSL_CTX_set_info_callback(_vn_ssl_s_ctx, info_callback);
        SSL_CTX_set_info_callback(_vn_ssl_c_ctx, info_callback);
    }
    if (ssl_config.cipher != nullptr) {
        // A list the library rejects leaves its default in place.
        SSL_CTX_set_cipher_list(_vn_ssl_c_ctx, ssl_config.cipher);
        SSL_CTX_set_cipher_list(_vn_ssl_s_ctx, ssl_config.cipher);
        ERR_clear_error();
    }
}

void add_section_option(const char *name, const char *help, int type, void *variable)
{
    vn_config_add_option(0, name, help, type, variable);
}

} // namespace

extern "C" {

void _vn_ssl_config_init(void)
{
    // Before anything else touches OpenSSL (ssl-random-seed runs while the
    // files are read): peer threads never end and may be inside OpenSSL when
    // the process exits, so it must not tear itself down at exit.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    ssl_config = sslconf_t{};
    ssl_config.server_cert = vn_strdup("server.pem");
    vn_free(c_ssl_engine_flags);
    c_ssl_engine_flags = vn_strdup("all");
    vn_config_add_section("start-ssl", "!SSL|!Start SSL");
    add_section_option("enable-server", "Enables server-side SSL.", VN_CONFIG_BOOL, &ssl_config.enable_server);
    add_section_option("enable-client", " Enables client-side SSL.", VN_CONFIG_BOOL, &ssl_config.enable_client);
    add_section_option("server-cert", "Filename of the location of the server-side certificate.", VN_CONFIG_STRING,
                       &ssl_config.server_cert);
    add_section_option("client-cert", "Filename of the location of the client-side certificate.", VN_CONFIG_STRING,
                       &ssl_config.client_cert);
    add_section_option("server-key", "Filename of the location of the server-side private key.", VN_CONFIG_STRING,
                       &ssl_config.server_key);
    add_section_option("client-key", "Filename of the location of the client-side private key.", VN_CONFIG_STRING,
                       &ssl_config.client_key);
    vn_config_add_option_enum(0, "client-authmode", "Client authentication mode", VN_CONFIG_INT,
                              &ssl_config.client_auth, ssl_verify_mode_flags);
    vn_config_add_option_enum(0, "server-authmode", "Server authentication mode", VN_CONFIG_INT,
                              &ssl_config.server_auth, ssl_verify_mode_flags);
    add_section_option("cipher",
                       "Sets the cipher to be used for the connection (usually defined on the client side).",
                       VN_CONFIG_STRING, &ssl_config.cipher);
    add_section_option("ssl2", "Sets the SSL protocol level to SSL version 2.", VN_CONFIG_BOOL, &ssl_config.ssl2);
    add_section_option("ssl3", "Sets the SSL protocol level to SSL version 3.", VN_CONFIG_BOOL, &ssl_config.ssl3);
    add_section_option("tls1", "Sets the SSL protocol level to TLS1.", VN_CONFIG_BOOL, &ssl_config.tls1);
    add_section_option("CApath", "Sets the directory name of the directory where the trusted certificates are held.",
                       VN_CONFIG_STRING, &ssl_config.CApath);
    add_section_option("CAfile", "Sets the filename of the file where all trusted certificates are held.",
                       VN_CONFIG_STRING, &ssl_config.CAfile);
    add_section_option("ssl-info", "Enables SSL connection negotiation debugging.", VN_CONFIG_BOOL,
                       &ssl_config.ssl_info);
    vn_config_end_section("end-ssl", "End SSL");
    vn_config_add_option(0, "ssl-random-seed", "!SSL|!SSL Random Seed Function", VN_CONFIG_FUNCTION,
                         reinterpret_cast<void *>(ssl_random_seed));
    vn_config_add_option(0, "ssl-passwordfile", "!SSL|!SSL Pass Phrase Filename", VN_CONFIG_STRING,
                         &c_ssl_passwordfile);
    vn_config_add_option(0, "ssl-engine-id", "!SSL|!The SSL hardware or software engine to support",
                         VN_CONFIG_STRING, &c_ssl_engine_id);
    vn_config_add_option(0, "ssl-engine-flags", "!SSL|!The SSL flags for an engine", VN_CONFIG_STRING,
                         &c_ssl_engine_flags);
    vn_config_add_option(0, "ssl-config-name", "!SSL|!The OpenSSL config name to load (default=system default)",
                         VN_CONFIG_STRING, &c_ssl_config_name);
}

void _vn_ssl_init(vn_init_t *init)
{
    event_log = init != nullptr ? init->log : nullptr;
    if (RAND_status() == 0)
        builtin_seed();
    load_openssl_configuration();
    choose_engine();
    make_contexts();
    PassPhrase phrase = find_pass_phrase();
    if (phrase == PassPhrase::Missing) {
        if (ssl_config.enable_server || ssl_config.enable_client)
            _vn_exit_log(kConfigExitCode, "SSL Password File not found: %s\n", c_ssl_passwordfile);
        return;
    }
    if (ssl_config.enable_server)
        load_identity(_vn_ssl_s_ctx, ssl_config.server_cert, ssl_config.server_key);
    if (ssl_config.enable_client && ssl_config.client_cert != nullptr)
        load_identity(_vn_ssl_c_ctx, ssl_config.client_cert, ssl_config.client_key);
    if ((ssl_config.enable_server || ssl_config.enable_client) && !set_up_trust())
        return;
    set_verify_modes();
}

char _vn_ssl_server_enabled(void)
{
    return ssl_config.enable_server;
}

int _vn_ssl_check_cert(struct ssl_st *ssl, int server)
{
    int mode = server ? ssl_config.server_auth : ssl_config.client_auth;
    if (mode == 0)
        return 1;
    X509 *cert = SSL_get1_peer_certificate(ssl);
    if (cert == nullptr) {
        vn_log(event_log, kLevelInfo, "No SSL certificate available\n");
        return 1;
    }
    X509_free(cert);
    if (SSL_get_verify_result(ssl) != X509_V_OK)
        return 0;
    vn_log(event_log, kLevelInfo, "Certificate accepted\n");
    return 1;
}

size_t _vn_ssl_seed(const char *kind, const char *source, const char *limit_text)
{
    if (kind == nullptr || source == nullptr)
        return 0;
    size_t limit = seed_limit(limit_text);
    if (strcmp(kind, "exec") == 0)
        return seed_from_command(source, limit);
    if (strcmp(kind, "file") != 0)
        return 0;
    FILE *file = fopen(source, "rb");
    if (file == nullptr)
        return 0;
    size_t added = seed_from(file, limit);
    fclose(file);
    return added;
}

const char *vn_ssl_find_file(const char *name, const char *message, int kind, const char *key_id)
{
    thread_local char resolved[kPathBytes];
    if (name == nullptr)
        name = "";
    if (locate(name, resolved, is_regular_file))
        return resolved;
    char expanded[kPathBytes];
    vn_filename_expand(name, expanded, sizeof expanded);
    switch (kind) {
    case 0:
        vn_log(event_log, kLevelCrit | kToStderr, "Could not locate http file <%s>\n", expanded);
        break;
    case 1:
        vn_log(event_log, kLevelCrit | kToStderr, "Could not locate key file <%s> for add-sigkey/key-id <%s>\n",
               expanded, key_id != nullptr ? key_id : "unknown");
        break;
    default:
        vn_log(event_log, kLevelCrit | kToStderr, "Could not locate ssl file <%s>\n", expanded);
        break;
    }
    fprintf(stderr, "%s: %s: %s\n", vn_get_app_name(), message != nullptr ? message : "", name);
    exit(kSslExitCode);
}

} // extern "C"
