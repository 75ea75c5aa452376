// The example publisher and subscriber run for real on one loopback link,
// each from its own configuration (the bundled ones, on a free port).
#include "child_process.h"
#include "peer_harness.h"
#include "test_support.h"

#include <gtest/gtest.h>


#include <string>
#include <vector>

namespace {

// The bundled configuration with the example's port replaced.
std::string example_config(const std::string &name, int port)
{
    std::string text = vntest::read_file(std::string(VANTRIX_SOURCE_DIR) + "/examples/pubsub/" + name + "/" + name +
                                         ".conf");
    std::string bundled = "7101";
    for (size_t at; (at = text.find(bundled)) != std::string::npos;)
        text.replace(at, bundled.size(), std::to_string(port));
    return text;
}

std::vector<std::string> example_args(const std::string &name, const vntest::TempRoot &root)
{
    return {std::string(EXAMPLES_BIN_DIR) + "/example_" + name, "--application-root", root.file(name)};
}

TEST(ExamplePubSub, SubscriberReceivesUpdatesOfItsSubjectsInOrder)
{
    vntest::TempRoot root;
    int port = vntest::free_tcp_port();
    root.write("publisher/publisher.conf", example_config("publisher", port) + "update-interval 0.05\n");
    root.write("publisher/var/.keep", "");
    root.write("subscriber/subscriber.conf", example_config("subscriber", port));
    root.write("subscriber/var/.keep", "");

    vntest::ChildProcess publisher(example_args("publisher", root), root.file("publisher"));
    std::vector<std::string> args = example_args("subscriber", root);
    args.insert(args.end(), {"--exit-after", "10"});
    vntest::ChildProcess subscriber(args, root.file("subscriber"));

    EXPECT_EQ(subscriber.wait(), 0) << vntest::read_file(root.file("subscriber/stderr.txt"));
    std::vector<std::string> updates = subscriber.lines_starting("update ");
    ASSERT_EQ(updates.size(), 10u);
    // Each subject's sequence field counts up from its image, 1, without a gap.
    for (const std::string subject : {"/demo/IBM", "/demo/VOD"}) {
        int expected = 1;
        for (const std::string &line : updates) {
            if (line.find(" " + subject + " ") == std::string::npos)
                continue;
            EXPECT_NE(line.find(" 1=" + std::to_string(expected) + " "), std::string::npos) << line;
            expected++;
        }
        EXPECT_GT(expected, 1) << subject;
    }
    std::vector<std::string> lines = subscriber.lines();
    EXPECT_EQ(lines[0], "requested /demo/IBM demo");
    EXPECT_EQ(lines[1], "requested /demo/VOD demo");
    EXPECT_EQ(subscriber.lines_starting("service demo 1").size(), 1u);
    EXPECT_EQ(subscriber.lines_starting("status 0 /demo/IBM 1 0 All peers providing").size(), 1u);
    EXPECT_EQ(publisher.lines_starting("request ").size(), 2u);
    EXPECT_EQ(publisher.stop(), 0);
}

} // namespace
