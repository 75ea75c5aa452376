// Data-service configuration read from real files: the default service, the
// checks that disable a service or end the process, pattern order, service
// states from peer changes and the application's questions about services.
#include "data_services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using vntest::DataServicesTest;

namespace {

std::string peer_block(const std::string &label, const std::string &extra = "remote-type active\n")
{
    return "add-peer\nlabel " + label + "\n" + extra + "end-peer\n";
}

std::string three_peers()
{
    return peer_block("A") + peer_block("B") + peer_block("C");
}

// A service of one required group (priority A then B) and one optional group (C).
std::string quotes_service(const std::string &extra = "")
{
    return "add-data-service\nservice-name quotes\ninclude-pattern ^/q/\n" + extra +
           "add-source-group\nrequired\nadd-priority\nlabel A\nend-priority\nadd-priority\nlabel B\nend-priority\n"
           "end-source-group\nadd-source-group\nadd-priority\nlabel C\nend-priority\nend-source-group\n"
           "end-data-service\n";
}

class DataServiceConfig : public DataServicesTest {};

TEST_F(DataServiceConfig, WithoutServicesEveryPeerIsAnOptionalGroupOfTheDefaultService)
{
    EXPECT_EQ(start(three_peers()), "");
    ASSERT_EQ(vn_get_num_services(), 1);
    const char *name = nullptr;
    EXPECT_EQ(vn_get_service_by_index(0, &name), kServiceDown);
    EXPECT_STREQ(name, "default");
    EXPECT_STREQ(vn_get_service("/any/thing"), "default");
    EXPECT_EQ(vn_get_service("no/slash"), nullptr);
    ASSERT_EQ(advmap[0].groups_num, 3);
    for (int g = 0; g < 3; g++) {
        EXPECT_FALSE(advmap[0].groups[g].required);
        EXPECT_EQ(advmap[0].groups[g].retry_time, 30.0);
        ASSERT_EQ(advmap[0].groups[g].priorities[0].num_peers, 1);
        EXPECT_EQ(advmap[0].groups[g].priorities[0].peers[0], g);
    }
    EXPECT_EQ(vn_object_available("/x"), -3); // no required peers, so all of them are up
}

TEST_F(DataServiceConfig, ServiceOptionsTakeTheirDefaultsAndValues)
{
    start(three_peers() + "service-request-timeout 4\n" + quotes_service() +
          "add-data-service\nservice-name news\nservice-type broadcast\nrequest-timeout 2.5\ndiscard-timeout 7\n"
          "required-state limited\ncache-contrib\ninclude-pattern ^/n/\nadd-source-group\nretry-time 0.5\n"
          "add-priority\nlabel B\nend-priority\nend-source-group\nend-data-service\n");
    ASSERT_EQ(vn_get_num_services(), 2);
    const advmap_t &quotes = advmap[0];
    EXPECT_EQ(quotes.service_type, 3);
    EXPECT_EQ(quotes.request_timeout, 4.0); // a negative value takes service-request-timeout
    EXPECT_EQ(quotes.discard_timeout, -1.0);
    EXPECT_EQ(quotes.required_state, 0);
    EXPECT_EQ(quotes.cache_contrib, 0);
    const advmap_t &news = advmap[1];
    EXPECT_EQ(news.service_type, kServiceBroadcast);
    EXPECT_EQ(news.request_timeout, 2.5);
    EXPECT_EQ(vn_get_service_active_discard_timeout("news"), 7.0);
    EXPECT_EQ(vn_get_service_active_discard_timeout("nothing"), -1.0);
    EXPECT_EQ(news.required_state, 1);
    EXPECT_EQ(news.cache_contrib, 1);
    EXPECT_EQ(news.groups[0].retry_time, 1.0); // clamped to its minimum
    EXPECT_EQ(vn_object_available("/n/1"), -2);
}

TEST_F(DataServiceConfig, DeprecatedActiveRequestTimeoutSetsTheServiceTimeout)
{
    std::string err = start(three_peers() + "active-request-timeout 3\n" + quotes_service());
    EXPECT_NE(err.find("active-request-timeout"), std::string::npos) << err;
    EXPECT_EQ(advmap[0].request_timeout, 3.0);
}

TEST_F(DataServiceConfig, PatternsDecideInConfigurationOrder)
{
    start(three_peers() +
          "add-data-service\nservice-name first\nexclude-pattern ^/q/x\ninclude-pattern ^/q/ ^/r/\n"
          "add-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\nend-data-service\n"
          "add-data-service\nservice-name second\ninclude-pattern ^/\n"
          "add-source-group\nadd-priority\nlabel B\nend-priority\nend-source-group\nend-data-service\n");
    EXPECT_STREQ(vn_get_service("/q/y"), "first");
    EXPECT_STREQ(vn_get_service("/r/y"), "first");
    EXPECT_STREQ(vn_get_service("/q/x1"), "second"); // excluded from the first, taken by the next
    EXPECT_STREQ(vn_get_service("/z"), "second");
}

TEST_F(DataServiceConfig, ConfigurationErrorsDisableOnlyTheirService)
{
    struct Case {
        const char *name;
        std::string service;
        const char *message;
    };
    const Case cases[] = {
        {"unknown label", "add-source-group\nadd-priority\nlabel Z\nend-priority\nend-source-group\n",
         "Unknown peer label <Z>\n"},
        {"label twice", "add-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\n"
                        "add-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\n",
         "Label <A> already seen for service <bad>\n"},
        {"no labels", "add-source-group\nadd-priority\nend-priority\nend-source-group\n",
         "No labels defined for srcgroup 0 in service <bad>\n"},
        {"bad pattern", "include-pattern ^(\nadd-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\n",
         "Invalid regular expression <^(> in service group <bad>\n"},
        {"no groups", "", "Disabling service <bad> due to previous configuration errors\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                std::string err = start(three_peers() + quotes_service() +
                                        "add-data-service\nservice-name bad\ninclude-pattern ^/b/\n" + c.service +
                                        "end-data-service\n");
                bool reported = err.find(c.message) != std::string::npos &&
                                err.find("Disabling service <bad> due to previous configuration errors\n") !=
                                    std::string::npos;
                bool disabled = !advmap[1].enabled && advmap[0].enabled && vn_get_service("/b/1") == nullptr;
                std::exit(reported && disabled ? 0 : 2);
            },
            testing::ExitedWithCode(0), "");
    }
}

TEST_F(DataServiceConfig, OnlyRequiredOrOnlyOptionalGroupsAreBothValid)
{
    std::string err = start(three_peers() +
                            "add-data-service\nservice-name req\ninclude-pattern ^/a/\nadd-source-group\nrequired\n"
                            "add-priority\nlabel A\nend-priority\nend-source-group\nend-data-service\n"
                            "add-data-service\nservice-name opt\ninclude-pattern ^/b/\nadd-source-group\n"
                            "add-priority\nlabel B\nend-priority\nend-source-group\nend-data-service\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(advmap[0].enabled);
    EXPECT_TRUE(advmap[1].enabled);
}

TEST_F(DataServiceConfig, UnnamedServicesAreNumbered)
{
    start(three_peers() + "add-data-service\ninclude-pattern ^/a/\nadd-source-group\nadd-priority\nlabel A\n"
                          "end-priority\nend-source-group\nend-data-service\n");
    EXPECT_STREQ(vn_get_service("/a/1"), "Servicegroup0");
}

TEST_F(DataServiceConfig, NoWorkingServiceEndsTheProcess)
{
    EXPECT_EXIT(start(three_peers() + "add-data-service\nservice-name bad\nend-data-service\n", false),
                testing::ExitedWithCode(1), "No correctly configured services, exiting");
}

TEST_F(DataServiceConfig, DuplicateServiceNameEndsTheProcess)
{
    EXPECT_EXIT(start(three_peers() + quotes_service() + quotes_service(), false), testing::ExitedWithCode(1),
                "Duplicate service name <quotes> in srcgroup 1");
}

TEST_F(DataServiceConfig, LongSourceTimeoutIsOnlyWarnedAbout)
{
    std::string err = start(peer_block("A", "remote-type active\nrequest-timeout 20\n") + peer_block("B") +
                            peer_block("C") + "service-request-timeout 5\n" + quotes_service());
    EXPECT_NE(err.find("request-timeout for label <A> is 20.000000, service <quotes> timeout is 5.000000 - possible "
                       "request problems\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(advmap[0].enabled);
}

TEST_F(DataServiceConfig, ServiceStateFollowsItsPeersAndIsReportedOncePerChange)
{
    start(three_peers() + quotes_service("required-state ok\n"));
    char text[256];
    EXPECT_EQ(vn_required_services_status(text, sizeof text), 0);
    EXPECT_STREQ(text, "The following services are not available:  quotes ");
    up("C"); // the required group is still down
    up("A");
    const char *name = nullptr;
    EXPECT_EQ(vn_get_service_by_index(0, &name), kServiceOk);
    down("C");
    EXPECT_EQ(vn_get_service_by_index(0, &name), kServiceLimited);
    EXPECT_EQ(vn_required_services_status(text, sizeof text), 0); // limited is below ok
    down("A");
    up("B");
    EXPECT_EQ(vn_get_service_by_index(0, &name), kServiceLimited);
    std::vector<int> reported;
    std::vector<std::string> order;
    for (const vntest::AppEvent &event : events()) {
        order.push_back(event.kind);
        if (event.kind == "service")
            reported.push_back(event.state);
    }
    EXPECT_EQ(reported, (std::vector<int>{kServiceOk, kServiceLimited, kServiceDown, kServiceLimited}));
    // A service status caused by a peer change comes before that peer's own status.
    EXPECT_EQ(order, (std::vector<std::string>{"peer", "service", "peer", "service", "peer", "service", "peer",
                                                "service", "peer"}));
}

TEST_F(DataServiceConfig, RequiredStatusListsServicesBelowTheirRequiredLevel)
{
    std::string limited_service = "add-data-service\nservice-name lim\nrequired-state limited\ninclude-pattern ^/l/\n"
                                  "add-source-group\nrequired\nadd-priority\nlabel A\nend-priority\nend-source-group\n"
                                  "add-source-group\nadd-priority\nlabel B\nend-priority\nend-source-group\n"
                                  "end-data-service\n";
    start(three_peers() + quotes_service("required-state ok\n") + limited_service);
    up("A"); // both services LIMITED
    char text[256];
    EXPECT_EQ(vn_required_services_status(text, sizeof text), 0);
    EXPECT_STREQ(text, "The following services are not available:  quotes ");
    char small[10];
    vn_required_services_status(small, sizeof small);
    EXPECT_STREQ(small, "The follo");
    up("C");
    EXPECT_EQ(vn_required_services_status(text, sizeof text), 1);
    EXPECT_STREQ(text, "");
}

TEST_F(DataServiceConfig, WithoutPeersServicesStayDownAndNothingIsTracked)
{
    start(quotes_service());
    const char *name = nullptr;
    EXPECT_EQ(vn_get_service_by_index(0, &name), kServiceDown);
    EXPECT_EQ(vn_get_service_by_index(1, &name), -1);
    EXPECT_EQ(vn_request_object("/q/1"), nullptr);
    const char **services = reinterpret_cast<const char **>(1);
    char *names[] = {const_cast<char *>("/q/1")};
    EXPECT_EQ(vn_request_objects(1, names, &services), 0);
    EXPECT_EQ(services, nullptr);
    EXPECT_EQ(vn_get_service("/q/1"), nullptr);
    EXPECT_EQ(vn_object_available("/q/1"), -1);
    EXPECT_EQ(vn_object_can_contrib("/q/1"), -1);
    EXPECT_EQ(vn_set_request_hint("/q/1", 1, names), 0);
    int count = 5;
    EXPECT_EQ(vn_get_request_hints("/q/1", &count), nullptr);
    EXPECT_EQ(count, 0);
    vn_set_object_data("/q/1", names);
    EXPECT_EQ(vn_get_object_data("/q/1"), nullptr);
    vn_discard_object("/q/1");
    vn_purge_object("/q/1");
    EXPECT_EQ(vn_send_contribution(vn_new_datapkt("/q/1", 222, 0)), 0);
}

TEST_F(DataServiceConfig, FindDataserviceMethodAnswersWithTheServiceName)
{
    start(three_peers() + quotes_service());
    std::string tmpl = template_name("");
    struct Case {
        std::vector<const char *> args;
        const char *answer;
    };
    const Case cases[] = {
        {{"find-dataservice", "/q/1"}, "quotes"},
        {{"find-dataservice", "/x"}, "No Match Found"},
        {{"find-dataservice"}, "Invalid arguments"},
        {{"find-dataservice", "/q/1", "more"}, "Invalid arguments"},
    };
    for (const Case &c : cases) {
        vn_monitor_t *value = vnmon_call_method(tmpl.c_str(), "default", "find-dataservice",
                                                static_cast<int>(c.args.size()), const_cast<char **>(c.args.data()));
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value->data.c, c.answer);
        vn_monitor_free(value);
    }
}

} // namespace
