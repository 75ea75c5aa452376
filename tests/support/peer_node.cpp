#include "peer_node.h"

namespace vntest {

int start_listening(Node &node, const std::function<std::string(int port)> &conf)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        int port = free_tcp_port();
        node.configure(conf(port));
        if (node.start())
            return port;
    }
    return -1;
}

std::string node_conf(int id, const std::string &name, int port, const std::string &peers)
{
    return "vantrix-id " + std::to_string(id) + "\nvantrix-name " + name + "\nvantrix-port " + std::to_string(port) +
           "\n" + peers;
}

std::string accept_peer(const std::string &label, int remote_id, const std::string &extra)
{
    return "add-peer\nlabel " + label + "\nremote-id " + std::to_string(remote_id) + "\n" + extra + "end-peer\n";
}

std::string connect_peer(const std::string &label, int remote_id, int port, const std::string &extra)
{
    return "add-peer\nlabel " + label + "\nremote-id " + std::to_string(remote_id) + "\naddr 127.0.0.1\nport " +
           std::to_string(port) + "\n" + extra + "end-peer\n";
}

} // namespace vntest
