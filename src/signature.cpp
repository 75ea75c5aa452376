// Sign-on tokens: RSA signatures over a GMT-stamped text, checked against the
// public key of an add-sigkey group and accepted once within their valid time.
//
// Checks run on any thread. sigkey_mutex guards only the copy of one key's
// settings; signature_add_mutex makes the replay look-up and the insertion
// one step, and expiry holds it while it removes an entry (the replay table's
// bucket locks are taken inside it). Expiry timers belong to the init thread:
// an addition reaches it through the module's call channel.
#include "vantrix_private.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

// One add-sigkey group. C layout: the option registry fills it by offset.
struct sigkey_t {
    char *key_id;
    double timeout; // valid time in seconds; 0 takes signature-validtime
    char *keyfile;
    int hashing_algorithm;
};

// The data of one expiry timer.
struct sig_remove_t {
    signature_t *sig;
    vn_signature_cb_t del_cb;
};

constexpr int kLevelConfig = 0;
constexpr int kLevelError = 3;
constexpr int kLevelNotify = 4;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;
constexpr int kToStderr = 0x100;
constexpr int kConfigExitCode = 1;
constexpr int kKeyFileKind = 1;
constexpr size_t kStampDigits = 14;
// What a log line shows in place of a token whose signature has not verified:
// it may be a password given where a token was expected.
constexpr const char *kHiddenToken = "********";
// Timers fire a little after the second they wait for, so that the clock has
// surely reached it.
constexpr double kExpirySlack = 0.05;
// A timer waits at most a day; one that fires early is armed again.
constexpr double kMaxTimerSeconds = 86400;
// Keeps stamp + valid time far inside time_t.
constexpr double kMaxValidSeconds = 1e11;

// Option variables.
double c_signature_validtime = 600.0;
int c_signature_hashsize = 8192;
sigkey_t *sigkey_add = nullptr;
int sigkey_num = 0;
sigkey_t sigkey_template{};

const int kMinHashSize = 1024;

const vn_config_enum_t hashing_enums[] = {
    {"md5", 0, "Use MD5 as the hashing algorithm"},
    {"sha1", 4, "Use SHA1 as the hashing algorithm "},
    {"sha256", 1, "Use SHA256 as the hashing algorithm "},
    {"sha384", 2, "Use SHA384 as the hashing algorithm "},
    {"sha512", 3, "Use SHA512 as the hashing algorithm "},
    {"ripemd160", 5, "Use RIPEMD160 as the hashing algorithm "},
    {nullptr, 0, nullptr},
};

std::mutex sigkey_mutex;
std::mutex signature_add_mutex;
tarvelutil_hashtable_t *signature_hash = nullptr;
tarvelutil_signalany_t *request_handler = nullptr;
vn_log_t *event_log = nullptr;

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

const EVP_MD *digest_for(int algorithm)
{
    switch (algorithm) {
    case 4: return EVP_sha1();
    case 1: return EVP_sha256();
    case 2: return EVP_sha384();
    case 3: return EVP_sha512();
    case 5: return EVP_ripemd160();
    default: return EVP_md5();
    }
}

// ---- Replay table ----

int signature_hash_code(const void *key)
{
    return vn_hash_code(static_cast<const signature_t *>(key)->token);
}

int signature_compare(const void *key1, const void *key2)
{
    const signature_t *one = static_cast<const signature_t *>(key1);
    const signature_t *two = static_cast<const signature_t *>(key2);
    int by_token = strcmp(one->token, two->token);
    return by_token != 0 ? by_token : strcmp(one->key_id, two->key_id);
}

void free_signature(signature_t *sig)
{
    vn_free(sig->key_id);
    vn_free(sig->token);
    vn_free(sig);
}

int expire_signature(int id, int value, void *data);

// On the init thread: waits for the signature's expire time, at most a day
// at a time.
void arm_expiry(sig_remove_t *removal)
{
    double delay = difftime(removal->sig->expire_time, time(nullptr)) + kExpirySlack;
    if (delay < kExpirySlack)
        delay = kExpirySlack;
    if (delay > kMaxTimerSeconds)
        delay = kMaxTimerSeconds;
    removal->sig->tev = vn_add_timed_event(0, delay, expire_signature, 0, removal);
}

int start_expiry(int, void *data)
{
    arm_expiry(static_cast<sig_remove_t *>(data));
    return 0;
}

// The entry stays until the check itself would refuse the token as expired,
// so there is no moment at which a used token is new again.
int expire_signature(int, int, void *data)
{
    sig_remove_t *removal = static_cast<sig_remove_t *>(data);
    signature_t *sig = removal->sig;
    sig->tev = nullptr;
    if (time(nullptr) < sig->expire_time) {
        arm_expiry(removal);
        return 0;
    }
    std::lock_guard<std::mutex> lock(signature_add_mutex);
    if (tarvelutil_hashtable_remove(signature_hash, sig, 0) != nullptr) {
        if (removal->del_cb != nullptr)
            removal->del_cb(sig);
        free_signature(sig);
    }
    vn_free(removal);
    return 0;
}

// With signature_add_mutex held.
void add_locked(signature_t *sig, vn_signature_cb_t add_cb, vn_signature_cb_t del_cb)
{
    // Replacing an equal entry would leave its timer pointing at a freed record.
    if (signature_hash == nullptr || tarvelutil_hashtable_get(signature_hash, sig, 0) != nullptr) {
        free_signature(sig);
        return;
    }
    tarvelutil_hashtable_put_unique(signature_hash, sig, sig, 0);
    sig_remove_t *removal = static_cast<sig_remove_t *>(vn_calloc(1, sizeof(sig_remove_t)));
    removal->sig = sig;
    removal->del_cb = del_cb;
    tarvelutil_signalany_exec(request_handler, 0, start_expiry, removal, 1);
    if (add_cb != nullptr)
        add_cb(sig);
}

// ---- Keys ----

struct KeySettings {
    double valid = 0;
    int algorithm = 0;
    std::string keyfile;
};

// Keys are usable once start-up has resolved their files.
bool find_key(const char *key_id, KeySettings *settings)
{
    std::lock_guard<std::mutex> lock(sigkey_mutex);
    if (signature_hash == nullptr)
        return false;
    for (int i = 0; i < sigkey_num; i++) {
        const sigkey_t &key = sigkey_add[i];
        if (key.key_id == nullptr || strcmp(key.key_id, key_id) != 0)
            continue;
        if (key.keyfile == nullptr)
            return false;
        settings->valid = key.timeout != 0 ? key.timeout : c_signature_validtime;
        settings->algorithm = key.hashing_algorithm;
        settings->keyfile = key.keyfile;
        return true;
    }
    return false;
}

int log_error_line(const char *line, size_t, void *)
{
    vn_log(event_log, kLevelError, "%s", line);
    return 1;
}

// Every line of this thread's OpenSSL error queue, which is then empty.
void log_openssl_errors()
{
    ERR_print_errors_cb(log_error_line, nullptr);
}

KeyPtr load_key(const std::string &keyfile)
{
    std::unique_ptr<BIO, BioFree> file(BIO_new_file(keyfile.c_str(), "rb"));
    if (file == nullptr) {
        vn_log(event_log, kLevelError, "Cannot load keyfile <%s>\n", keyfile.c_str());
        log_openssl_errors();
        return nullptr;
    }
    KeyPtr key(d2i_PUBKEY_bio(file.get(), nullptr));
    if (key == nullptr)
        log_openssl_errors();
    return key;
}

// ---- Tokens ----

// Drops "====" groups counted back from the end and reads "_" as "/";
// returns the new length.
size_t clean_signature(char *part, size_t len)
{
    constexpr size_t kGroup = 4;
    size_t cut = len;
    // The first character never starts a group.
    for (size_t end = len; end > kGroup; end -= kGroup) {
        if (memcmp(part + end - kGroup, "====", kGroup) == 0)
            cut = end - kGroup;
    }
    for (size_t i = 0; i < cut; i++) {
        if (part[i] == '_')
            part[i] = '/';
    }
    return cut;
}

bool is_base64_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// A signature part as tokens carry it: base64 that may use "_" for "/" and
// end in "=" padding.
bool is_signature_text(std::string_view text)
{
    for (char c : text) {
        if (!is_base64_char(c) && c != '_' && c != '=')
            return false;
    }
    return !text.empty();
}

bool all_digits(std::string_view text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Strict standard base64: groups of four, "=" only as the last one or two
// characters. The decoded length must be the key's size, so a short
// signature never reaches the verifier.
bool decode_signature(std::string_view text, int key_size, std::vector<unsigned char> *signature)
{
    if (text.empty() || text.size() % 4 != 0 || key_size <= 0)
        return false;
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=')
        padding++;
    for (size_t i = 0; i < text.size() - padding; i++) {
        if (!is_base64_char(text[i]))
            return false;
    }
    size_t decoded_max = text.size() / 4 * 3;
    if (decoded_max - padding != static_cast<size_t>(key_size))
        return false;
    signature->assign(decoded_max, 0);
    std::string input(text);
    int decoded = EVP_DecodeBlock(signature->data(), reinterpret_cast<const unsigned char *>(input.c_str()),
                                  static_cast<int>(input.size()));
    if (decoded < 0 || static_cast<size_t>(decoded) != decoded_max)
        return false;
    signature->resize(decoded_max - padding);
    return true;
}

bool verify(EVP_PKEY *key, const EVP_MD *digest, const std::vector<unsigned char> &signature, std::string_view text)
{
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
    if (ctx == nullptr || EVP_DigestVerifyInit(ctx.get(), nullptr, digest, nullptr, key) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char *>(text.data()), text.size()) == 1;
}

// The whole signed text, or failing that the text up to its second "~", so
// that a user name may follow unsigned.
bool verify_signed_text(EVP_PKEY *key, const EVP_MD *digest, const std::vector<unsigned char> &signature,
                        std::string_view signed_text)
{
    if (verify(key, digest, signature, signed_text))
        return true;
    size_t first = signed_text.find('~');
    size_t second = first == std::string_view::npos ? first : signed_text.find('~', first + 1);
    return second != std::string_view::npos && verify(key, digest, signature, signed_text.substr(0, second));
}

int digit_value(std::string_view text, size_t at, size_t len)
{
    int value = 0;
    for (size_t i = at; i < at + len; i++)
        value = value * 10 + (text[i] - '0');
    return value;
}

// YYYYMMDDhhmmss in GMT.
bool parse_stamp(std::string_view text, time_t *stamp)
{
    if (text.size() != kStampDigits || !all_digits(text))
        return false;
    struct tm fields {};
    fields.tm_year = digit_value(text, 0, 4) - 1900;
    fields.tm_mon = digit_value(text, 4, 2) - 1;
    fields.tm_mday = digit_value(text, 6, 2);
    fields.tm_hour = digit_value(text, 8, 2);
    fields.tm_min = digit_value(text, 10, 2);
    fields.tm_sec = digit_value(text, 12, 2);
    if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_mday > 31 ||
        fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 60)
        return false;
    *stamp = timegm(&fields);
    return true;
}

std::string encode_base64(const std::vector<unsigned char> &bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()), bytes.data(),
                              static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(len));
    return text;
}

int verification_failed(const char *key_id)
{
    vn_log(event_log, kLevelError, "Token verification failed for key_id <%s> <%s>\n", key_id, kHiddenToken);
    return 1;
}

// The signature part is cleaned in place and the signed text moved up
// behind it, so the caller's token stays one whole token.
char *clean_token(char *token, char *tilde)
{
    size_t len = clean_signature(token, static_cast<size_t>(tilde - token));
    memmove(token + len, tilde, strlen(tilde) + 1);
    return token + len;
}

int check_token(const char *key_id, char *token, vn_signature_cb_t add_cb)
{
    ERR_clear_error();
    KeySettings key;
    if (!find_key(key_id, &key)) {
        vn_log(event_log, kLevelError, "Could not find key_id <%s>\n", key_id);
        return 2;
    }
    char *tilde = strchr(token, '~');
    if (tilde == nullptr) {
        vn_log(event_log, kLevelError, "Malformed token <%s> for key_id <%s>\n", kHiddenToken, key_id);
        return 2;
    }
    tilde = clean_token(token, tilde);
    std::string_view signature_part(token, static_cast<size_t>(tilde - token));
    const char *signed_text = tilde + 1;

    KeyPtr public_key = load_key(key.keyfile);
    if (public_key == nullptr)
        return verification_failed(key_id);
    std::vector<unsigned char> signature;
    if (!decode_signature(signature_part, EVP_PKEY_get_size(public_key.get()), &signature))
        return verification_failed(key_id);
    if (!verify_signed_text(public_key.get(), digest_for(key.algorithm), signature, signed_text)) {
        log_openssl_errors();
        return verification_failed(key_id);
    }

    const char *stamp_end = strchr(signed_text, '~');
    time_t stamp = 0;
    if (stamp_end == nullptr ||
        !parse_stamp(std::string_view(signed_text, static_cast<size_t>(stamp_end - signed_text)), &stamp)) {
        vn_log(event_log, kLevelError, "Malformed timestamp for key_id <%s> token <%s>\n", key_id, token);
        return 1;
    }
    double valid = std::isnan(key.valid) || key.valid > kMaxValidSeconds ? kMaxValidSeconds : key.valid;
    if (valid < -kMaxValidSeconds)
        valid = -kMaxValidSeconds;
    if (difftime(time(nullptr), stamp) > valid) {
        vn_log(event_log, kLevelNotify, "Signature expired for key_id <%s> - <%s> denying login\n", key_id,
               signed_text);
        return 1;
    }

    std::string canonical = encode_base64(signature);
    {
        std::lock_guard<std::mutex> lock(signature_add_mutex);
        signature_t probe{const_cast<char *>(key_id), canonical.data(), 0, nullptr};
        if (tarvelutil_hashtable_get(signature_hash, &probe, 0) != nullptr) {
            vn_log(event_log, kLevelError, "Token <%s> has already logged in for key_id <%s>\n", token, key_id);
            return 3;
        }
        signature_t *sig = static_cast<signature_t *>(vn_calloc(1, sizeof(signature_t)));
        sig->key_id = vn_strdup(key_id);
        sig->token = vn_strdup(canonical.c_str());
        // The first second at which the check above refuses the token.
        sig->expire_time = stamp + static_cast<time_t>(std::floor(valid)) + 1;
        add_locked(sig, add_cb, nullptr);
    }
    vn_log(event_log, kLevelInfo, "Token <%s> is validated for key_id <%s>\n", token, key_id);
    return 0;
}

struct foreach_context_t {
    vn_signature_foreach_cb_t callback;
    void *context;
};

int foreach_entry(void *context, const void *, void *data)
{
    foreach_context_t *walk = static_cast<foreach_context_t *>(context);
    walk->callback(walk->context, static_cast<signature_t *>(data));
    return 1;
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void config_exit(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (event_log != nullptr)
        vn_log(event_log, kLevelConfig | kToStderr, "%s", text);
    else
        fputs(text, stderr);
    exit(kConfigExitCode);
}

void resolve_key_files()
{
    for (int i = 0; i < sigkey_num; i++) {
        sigkey_t &key = sigkey_add[i];
        if (key.key_id == nullptr)
            config_exit("No key-id for an add-sigkey configuration group\n");
        if (key.keyfile == nullptr)
            config_exit("No keyfile defined for add-sigkey/key-id <%s>\n", key.key_id);
        const char *resolved = vn_ssl_find_file(key.keyfile, "Could not locate keyfile", kKeyFileKind, key.key_id);
        char *copy = vn_strdup(resolved);
        vn_free(key.keyfile);
        key.keyfile = copy;
        vn_log(event_log, kLevelDebug, "Key-id <%s> keyfile to use <%s>\n", key.key_id, key.keyfile);
    }
}

void *field_offset(size_t offset)
{
    return reinterpret_cast<void *>(offset);
}

} // namespace

extern "C" {

void _vn_signature_config_init(void)
{
    sigkey_template = sigkey_t{};
    vn_config_add_option(0, "signature-validtime", "!Tolmark|!Valid time for non specified logins", VN_CONFIG_DOUBLE,
                         &c_signature_validtime);
    vn_config_add_bounded_option(0, "signature-hashsize", "!Tolmark|!Size of hash for signature logins",
                                 VN_CONFIG_INT, &c_signature_hashsize, &kMinHashSize, nullptr);
    vn_config_add_group("add-sigkey", "!Tolmark|!Start a signature key group", &sigkey_add, &sigkey_template,
                        sizeof(sigkey_t), &sigkey_num);
    vn_config_add_option(0, "key-id", "Name of the server/key_id", VN_CONFIG_STRING,
                         field_offset(offsetof(sigkey_t, key_id)));
    vn_config_add_option(0, "user", "Use add-sigkey/key-id", VN_CONFIG_STRING | VN_CONFIG_DEPRECATED,
                         field_offset(offsetof(sigkey_t, key_id)));
    vn_config_add_option(0, "timeout", "Valid login time", VN_CONFIG_DOUBLE, field_offset(offsetof(sigkey_t, timeout)));
    vn_config_add_option(0, "keyfile", "Public keyfile for this", VN_CONFIG_STRING,
                         field_offset(offsetof(sigkey_t, keyfile)));
    vn_config_add_option_enum(0, "hashing-algorithm", "Hashing algorithm to use", VN_CONFIG_INT,
                              field_offset(offsetof(sigkey_t, hashing_algorithm)), hashing_enums);
    vn_config_add_option_enum(0, "signing-algorithm", "Please use hashing-algorithm instead",
                              VN_CONFIG_INT | VN_CONFIG_DEPRECATED,
                              field_offset(offsetof(sigkey_t, hashing_algorithm)), hashing_enums);
    vn_config_end_group("end-sigkey", "End signature key group");
}

void _vn_signature_init(vn_init_t *init)
{
    event_log = init != nullptr ? init->log : nullptr;
    request_handler = tarvelutil_signalany_create(event_log);
    signature_hash = tarvelutil_hashtable_create(c_signature_hashsize, signature_hash_code, signature_compare,
                                                 nullptr, nullptr, 0);
    resolve_key_files();
}

int vn_signature_check_with_cb(const char *key_id, char *token, vn_signature_cb_t add_cb)
{
    if (key_id == nullptr || token == nullptr)
        return 2;
    return check_token(key_id, token, add_cb);
}

int vn_signature_check(const char *key_id, char *token)
{
    return vn_signature_check_with_cb(key_id, token, nullptr);
}

int _vn_signature_token_shaped(const char *text)
{
    if (text == nullptr)
        return 0;
    std::string_view token(text);
    size_t tilde = token.find('~');
    if (tilde == std::string_view::npos || !is_signature_text(token.substr(0, tilde)))
        return 0;
    std::string_view signed_text = token.substr(tilde + 1);
    std::string_view stamp = signed_text.substr(0, signed_text.find('~'));
    return stamp.size() == kStampDigits && all_digits(stamp) ? 1 : 0;
}

int vn_signature_verify_username(const char *expected, const char *token)
{
    if (expected == nullptr || token == nullptr)
        return 1;
    size_t token_len = strlen(token);
    size_t name_len = strlen(expected);
    if (token_len <= name_len)
        return 1;
    if (token[token_len - name_len - 1] == '~' && strcmp(token + token_len - name_len, expected) == 0)
        return 0;
    // Nothing here has verified the token.
    vn_log(event_log, kLevelInfo, "Token <%s> does not match expected username <%s>\n", kHiddenToken, expected);
    return 1;
}

void vn_signature_add(signature_t *sig, vn_signature_cb_t add_cb, vn_signature_cb_t del_cb)
{
    if (sig == nullptr)
        return;
    std::lock_guard<std::mutex> lock(signature_add_mutex);
    add_locked(sig, add_cb, del_cb);
}

void vn_signature_foreach(vn_signature_foreach_cb_t callback, void *context)
{
    if (callback == nullptr || signature_hash == nullptr)
        return;
    foreach_context_t walk{callback, context};
    tarvelutil_hashtable_foreach(signature_hash, foreach_entry, &walk, 0);
}

} // extern "C"
