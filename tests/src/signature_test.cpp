// Sign-on tokens signed by the openssl command line with a key made for the
// test, checked against add-sigkey groups read from a configuration file.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <string>
#include <vector>

namespace {

constexpr double kBoundSeconds = 30;
using vntest::gmt_stamp;

class SignatureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_log_config_init();
        _vn_signature_config_init();
        vn_config_set_option("log-level", "DEBUG");
        record.application_name = app_name.data();
        vntest::start_log_and_loop(root, &record);
        vntest::make_rsa_key(root, "key.pem", "pub.der");
    }

    // Reads `groups` as a configuration file and starts the module.
    void start(const std::string &groups)
    {
        ASSERT_EQ(vn_config_parse_file(root.write("sig.conf", groups).c_str()), 1);
        _vn_signature_init(&record);
    }

    std::string group(const std::string &key_id, const std::string &extra = "") const
    {
        return "add-sigkey\nkey-id " + key_id + "\nkeyfile " + root.file("pub.der") + "\n" + extra + "end-sigkey\n";
    }

    // The base64 signature of `text` by `key` with `digest`.
    std::string sign(const std::string &text, const std::string &digest = "md5",
                     const std::string &key = "key.pem") const
    {
        return vntest::openssl_sign(root, text, digest, key);
    }

    std::string token(const std::string &signed_text, const std::string &digest = "md5") const
    {
        return sign(signed_text, digest) + "~" + signed_text;
    }

    static int check(const std::string &key_id, std::string text)
    {
        return vn_signature_check(key_id.c_str(), text.data());
    }

    std::string event_log() const { return root.read("var/event.log"); }

    static int count_entries()
    {
        int count = 0;
        vn_signature_foreach([](void *context, signature_t *) { ++*static_cast<int *>(context); }, &count);
        return count;
    }

    vntest::TempRoot root;
    std::string app_name = "sigtest";
    vn_init_t record{};
};

TEST_F(SignatureTest, ValidTokenIsAcceptedOnceThenRefusedAsUsed)
{
    start(group("ops"));
    std::string valid = token(gmt_stamp(0) + "~session");
    EXPECT_EQ(check("ops", valid), 0);
    EXPECT_EQ(check("ops", valid), 3);
    EXPECT_EQ(count_entries(), 1);
    std::string log = event_log();
    EXPECT_NE(log.find("INFO: Token <" + valid + "> is validated for key_id <ops>"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Token <" + valid + "> has already logged in for key_id <ops>"), std::string::npos);
    EXPECT_NE(log.find("DEBUG: Key-id <ops> keyfile to use <" + root.file("pub.der") + ">"), std::string::npos);
}

TEST_F(SignatureTest, TokenCheckedOnSeveralThreadsAtOnceIsAcceptedOnce)
{
    start(group("ops"));
    constexpr int kThreads = 4;
    for (int round = 0; round < 3; round++) {
        std::string text = token(gmt_stamp(0) + "~race" + std::to_string(round));
        std::atomic<int> results[4] = {};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; i++)
            threads.emplace_back([&] { results[check("ops", text)]++; });
        for (std::thread &thread : threads)
            thread.join();
        EXPECT_EQ(results[0], 1) << round;
        EXPECT_EQ(results[3], kThreads - 1) << round;
    }
    EXPECT_EQ(count_entries(), 3);
}

TEST_F(SignatureTest, PaddingAndUnderscoresNeverMakeAUsedTokenNew)
{
    start(group("ops"));
    // A signature with a "/" in it, so that its "_" form differs.
    std::string signature, signed_text;
    for (int attempt = 0; signature.find('/') == std::string::npos; attempt++) {
        signed_text = gmt_stamp(0) + "~attempt" + std::to_string(attempt);
        signature = sign(signed_text);
    }
    std::string padded = signature + "========~" + signed_text;
    EXPECT_EQ(check("ops", padded), 0);
    std::string underscored = signature;
    for (char &c : underscored)
        c = c == '/' ? '_' : c;
    EXPECT_EQ(check("ops", underscored + "~" + signed_text), 3);
    EXPECT_EQ(check("ops", signature + "~" + signed_text), 3);
    EXPECT_EQ(check("ops", underscored + "====~" + signed_text), 3);
}

TEST_F(SignatureTest, CleaningKeepsTheCallersTokenWhole)
{
    start(group("ops"));
    std::string signed_text = gmt_stamp(0) + "~x";
    std::string signature = sign(signed_text);
    std::string text = signature + "====~" + signed_text;
    EXPECT_EQ(vn_signature_check("ops", text.data()), 0);
    EXPECT_STREQ(text.c_str(), (signature + "~" + signed_text).c_str());
}

// A token whose signature has not verified may be a password: its lines show
// it masked. Lines about a verified token keep its text.
TEST_F(SignatureTest, BadTokensAreRejectedWithTheirReason)
{
    start(group("ops") + group("short", "timeout 30\n") + group("sha", "hashing-algorithm sha256\n"));
    std::string now = gmt_stamp(0);
    std::string good = sign(now + "~a");
    std::string not_base64 = good;
    not_base64[0] = '!';
    std::string expired = token(gmt_stamp(-31) + "~c");
    std::string stamp_alone = token(now);
    std::string short_stamp = token(now.substr(1) + "~d");
    std::string month_13 = token(now.substr(0, 4) + "13" + now.substr(6) + "~e");
    const std::string failed = "ERROR: Token verification failed for key_id <ops> <********>\n";
    struct Case {
        const char *what;
        std::string key_id;
        std::string token;
        int expected;
        std::string message;
        bool hidden; // the text before the first "~" never reaches the log
    } cases[] = {
        {"no tilde", "ops", "s3cret-pass", 2, "ERROR: Malformed token <********> for key_id <ops>\n", true},
        {"unknown key", "nobody", good + "~" + now + "~a", 2, "ERROR: Could not find key_id <nobody>\n", true},
        {"truncated", "ops", good.substr(0, good.size() - 4) + "~" + now + "~a", 1, failed, true},
        {"one group short", "ops", good.substr(4) + "~" + now + "~a", 1, failed, true},
        {"not base64", "ops", not_base64 + "~" + now + "~a", 1, failed, true},
        {"other text", "ops", good + "~" + now + "~b", 1, failed, true},
        {"other digest", "sha", good + "~" + now + "~a", 1,
         "ERROR: Token verification failed for key_id <sha> <********>\n", true},
        {"expired", "short", expired, 1,
         "NOTIFY: Signature expired for key_id <short> - <" + expired.substr(expired.find('~') + 1) + "> denying login",
         false},
        {"stamp alone", "ops", stamp_alone, 1,
         "ERROR: Malformed timestamp for key_id <ops> token <" + stamp_alone + ">\n", false},
        {"13 digits", "ops", short_stamp, 1, "Malformed timestamp for key_id <ops> token <" + short_stamp + ">", false},
        {"month 13", "ops", month_13, 1, "Malformed timestamp for key_id <ops> token <" + month_13 + ">", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(check(c.key_id, c.token), c.expected) << c.what;
        std::string log = event_log();
        EXPECT_NE(log.find(c.message), std::string::npos) << c.what << "\n" << log;
        if (c.hidden) {
            EXPECT_EQ(log.find(c.token.substr(0, c.token.find('~'))), std::string::npos) << c.what << "\n" << log;
        }
    }
    EXPECT_EQ(count_entries(), 0);
}

TEST_F(SignatureTest, TokenShapeIsASignaturePartAndAStamp)
{
    struct Case {
        const char *text;
        int shaped;
    } cases[] = {
        {"AAAA~20260101000000", 1},
        {"Ab+/_9==~20260101000000~alice", 1},
        {"AAAA~20260101000000~", 1},
        {nullptr, 0},
        {"", 0},
        {"secret", 0},
        {"~20260101000000", 0},
        {"pass word~20260101000000", 0},
        {"AAAA~2026010100000", 0},
        {"AAAA~202601010000001", 0},
        {"AAAA~2026010100000x", 0},
        {"AAAA~x~20260101000000", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(_vn_signature_token_shaped(c.text), c.shaped) << (c.text != nullptr ? c.text : "null");
}

TEST_F(SignatureTest, ValidTimeIsTheKeysOrTheDefault)
{
    start(group("default") + group("short", "timeout 30\n"));
    EXPECT_EQ(check("default", token(gmt_stamp(-500) + "~old")), 0);
    EXPECT_EQ(check("short", token(gmt_stamp(-500) + "~old2")), 1);
    EXPECT_EQ(check("short", token(gmt_stamp(-20) + "~recent")), 0);
    // Clocks differ: a stamp ahead of ours is accepted, once.
    std::string ahead = token(gmt_stamp(3600) + "~ahead");
    EXPECT_EQ(check("short", ahead), 0);
    EXPECT_EQ(check("short", ahead), 3);
}

TEST_F(SignatureTest, EveryHashingAlgorithmVerifiesItsOwnDigestOnly)
{
    struct Case {
        const char *name;
        const char *digest;
        const char *other;
    } cases[] = {
        {"md5", "md5", "sha1"},          {"sha1", "sha1", "sha256"},      {"sha256", "sha256", "md5"},
        {"sha384", "sha384", "sha512"}, {"sha512", "sha512", "sha384"}, {"ripemd160", "ripemd160", "sha1"},
    };
    std::string groups;
    for (const Case &c : cases)
        groups += group(c.name, std::string("hashing-algorithm ") + c.name + "\n");
    start(groups);
    for (const Case &c : cases) {
        std::string text = gmt_stamp(0) + "~" + c.name;
        EXPECT_EQ(check(c.name, sign(text, c.other) + "~" + text), 1) << c.name;
        EXPECT_EQ(check(c.name, sign(text, c.digest) + "~" + text), 0) << c.name;
    }
}

TEST_F(SignatureTest, UserNameMayFollowTheSignedPart)
{
    start(group("ops"));
    std::string signed_part = gmt_stamp(0) + "~field";
    std::string text = sign(signed_part) + "~" + signed_part + "~alice";
    EXPECT_EQ(check("ops", text), 0);
    EXPECT_EQ(vn_signature_verify_username("alice", text.c_str()), 0);
    EXPECT_EQ(vn_signature_verify_username("lice", text.c_str()), 1);
    EXPECT_EQ(vn_signature_verify_username("bob", text.c_str()), 1);
    EXPECT_EQ(vn_signature_verify_username("bob", "bob"), 1);
    EXPECT_NE(event_log().find("INFO: Token <********> does not match expected username <bob>\n"), std::string::npos);
    EXPECT_EQ(vn_signature_verify_username("bob", "hunter2~alice"), 1);
    EXPECT_EQ(event_log().find("hunter2"), std::string::npos);
}

TEST_F(SignatureTest, KeyFileThatIsNotAKeyRejectsEveryToken)
{
    root.write("pub.der", "not a key");
    start(group("ops"));
    std::string text = token(gmt_stamp(0) + "~x");
    EXPECT_EQ(check("ops", text), 1);
    EXPECT_NE(event_log().find("Token verification failed for key_id <ops> <********>\n"), std::string::npos);
    EXPECT_EQ(event_log().find(text.substr(0, text.find('~'))), std::string::npos);
}

// Polls until the replay entry is gone: until then the token must stay used.
struct ExpiryWatch {
    std::string text;
    int accepted = 0;
    bool gone = false;
};

TEST_F(SignatureTest, UsedTokenStaysRefusedUntilItIsExpired)
{
    start(group("brief", "timeout 1\n"));
    std::string text = token(gmt_stamp(0) + "~brief");
    ASSERT_EQ(check("brief", text), 0);
    static ExpiryWatch watch;
    watch = ExpiryWatch{text};
    vn_add_timed_event(0, 0.01, [](int, int, void *) {
        int result = check("brief", watch.text);
        if (result == 0)
            watch.accepted++;
        if (count_entries() == 0) {
            watch.gone = true;
            vn_stop();
            return 0;
        }
        return 1;
    }, 0, nullptr);
    vn_add_timed_event(0, kBoundSeconds, [](int, int, void *) { vn_stop(); return 0; }, 0, nullptr);
    vn_loop();
    EXPECT_TRUE(watch.gone);
    EXPECT_EQ(watch.accepted, 0);
    EXPECT_EQ(check("brief", text), 1);
}

TEST_F(SignatureTest, AddingAnEqualEntryKeepsTheOldOne)
{
    start(group("ops"));
    auto make = [](time_t expire) {
        signature_t *sig = static_cast<signature_t *>(vn_calloc(1, sizeof(signature_t)));
        sig->key_id = vn_strdup("ops");
        sig->token = vn_strdup("AAAA");
        sig->expire_time = expire;
        return sig;
    };
    static std::vector<signature_t *> added, deleted;
    signature_t *first = make(time(nullptr) - 1);
    vn_signature_add(first, [](signature_t *sig) { added.push_back(sig); },
                     [](signature_t *sig) { deleted.push_back(sig); vn_stop(); });
    vn_signature_add(make(time(nullptr) + 1000), [](signature_t *sig) { added.push_back(sig); }, nullptr);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0], first);
    EXPECT_EQ(count_entries(), 1);
    vn_add_timed_event(0, kBoundSeconds, [](int, int, void *) { vn_stop(); return 0; }, 0, nullptr);
    vn_loop();
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0], first);
    EXPECT_EQ(count_entries(), 0);
}

TEST_F(SignatureTest, StartUpRefusesIncompleteGroupsAndMissingKeys)
{
    struct Case {
        std::string groups;
        int code;
        const char *message;
    } cases[] = {
        {"add-sigkey\nkeyfile x\nend-sigkey\n", 1, "No key-id for an add-sigkey configuration group"},
        {"add-sigkey\nkey-id ops\nend-sigkey\n", 1, "No keyfile defined for add-sigkey/key-id <ops>"},
        {"add-sigkey\nkey-id ops\nkeyfile /nonexistent/pub.der\nend-sigkey\n", 8,
         "Could not locate keyfile: /nonexistent/pub.der"},
    };
    for (const Case &c : cases) {
        EXPECT_EXIT(start(c.groups), testing::ExitedWithCode(c.code), c.message) << c.groups;
    }
}

} // namespace
