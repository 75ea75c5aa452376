// Who may use monitoring: an application's authenticator, else the
// add-monuser records, each admitting one user by password or sign-on token
// from the addresses its rule admits. A request that no record grants is
// denied, whatever the order of the records.
//
// The records and the authenticator are set up during start-up and only read
// afterwards; decisions run on whichever thread asks.
#include "monitor.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

// One add-monuser record. C layout: the option registry fills it by offset.
struct vn_authcfg_t {
    char *username;
    char *password;
    char *ipaddress;
    char *network;
    char *netmask;
    char *key_id;
};

constexpr int kLevelNotify = 4;
// Passwords and tokens never reach a log in clear.
constexpr const char *kMaskedPassword = "********";
constexpr const char *kSingleHostMask = "255.255.255.255";

vn_authcfg_t *c_monusers = nullptr;
int c_monuser_count = 0;
vn_authcfg_t monuser_template{};
std::atomic<vn_monitor_authenticator_t> authenticator{nullptr};
vn_log_t *event_log = nullptr;

bool same_text(const char *one, const char *two)
{
    return one != nullptr && two != nullptr && strcmp(one, two) == 0;
}

// A record with an address, or with a network and its netmask, admits only
// the addresses inside; one with neither admits every request.
bool address_admitted(const vn_authcfg_t &record, const char *address)
{
    if (record.ipaddress != nullptr)
        return address != nullptr && vn_check_subnet(address, record.ipaddress, kSingleHostMask) == 1;
    if (record.network != nullptr && record.netmask != nullptr)
        return address != nullptr && vn_check_subnet(address, record.network, record.netmask) == 1;
    return true;
}

// Only a password shaped as a token is checked as one, so that a plain
// password given to a record beside a key record never reaches the token
// check's log. The check takes the token in a buffer it may change; the
// caller's stays as it is.
bool token_accepted(const char *key_id, const char *password)
{
    if (_vn_signature_token_shaped(password) != 1)
        return false;
    std::string token(password);
    return vn_signature_check(key_id, token.data()) == 0;
}

// The address rule is checked first, so that a token is not spent on a
// record that could not grant anyway.
bool record_grants(const vn_authcfg_t &record, const vn_monauth_t &auth)
{
    if (!address_admitted(record, auth.ipaddress))
        return false;
    bool user_matches = same_text(record.username, auth.username);
    if (record.key_id != nullptr)
        return (record.username == nullptr || user_matches) && token_accepted(record.key_id, auth.password);
    if (!user_matches)
        return false;
    if (record.password != nullptr || auth.password != nullptr)
        return same_text(record.password, auth.password);
    return true;
}

bool records_grant(const vn_monauth_t &auth)
{
    if (c_monuser_count == 0)
        return true;
    for (int i = 0; i < c_monuser_count; i++) {
        if (record_grants(c_monusers[i], auth))
            return true;
    }
    return false;
}

const char *or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

void *field_offset(size_t offset)
{
    return reinterpret_cast<void *>(offset);
}

} // namespace

void monitor_auth_config_init()
{
    monuser_template = vn_authcfg_t{};
    vn_config_add_group("add-monuser", "!Monitoring|!Add a user to access monitoring subsystem", &c_monusers,
                        &monuser_template, sizeof(vn_authcfg_t), &c_monuser_count);
    vn_config_add_option(0, "user", "Username", VN_CONFIG_STRING, field_offset(offsetof(vn_authcfg_t, username)));
    vn_config_add_option(0, "pass", "Password", VN_CONFIG_STRING, field_offset(offsetof(vn_authcfg_t, password)));
    vn_config_add_option(0, "addr", "IP address access is permitted from", VN_CONFIG_STRING,
                         field_offset(offsetof(vn_authcfg_t, ipaddress)));
    vn_config_add_option(0, "network", "Dotted quad network that access is permitted from", VN_CONFIG_STRING,
                         field_offset(offsetof(vn_authcfg_t, network)));
    vn_config_add_option(0, "netmask", "Dotted quad netmask to apply to users IP address", VN_CONFIG_STRING,
                         field_offset(offsetof(vn_authcfg_t, netmask)));
    vn_config_add_option(0, "key-id", "Tolmark key id", VN_CONFIG_STRING, field_offset(offsetof(vn_authcfg_t, key_id)));
    vn_config_end_group("end-monuser", "End");
}

void monitor_auth_init(vn_log_t *log)
{
    event_log = log;
}

extern "C" {

vn_monitor_authenticator_t vn_monitor_set_auth(vn_monitor_authenticator_t cb)
{
    return authenticator.exchange(cb);
}

int vnmon_authenticate(vn_monauth_t *auth)
{
    if (auth == nullptr)
        return 0;
    vn_monitor_authenticator_t decide = authenticator.load();
    if (decide != nullptr)
        return decide(auth);
    int granted = records_grant(*auth) ? 1 : 0;
    vn_log(event_log, kLevelNotify, "%s monitoring access to user <%s> pass <%s> from %s\n",
           granted == 1 ? "Granting" : "Denying", or_empty(auth->username),
           auth->password != nullptr ? kMaskedPassword : "", or_empty(auth->ipaddress));
    return granted;
}

} // extern "C"
