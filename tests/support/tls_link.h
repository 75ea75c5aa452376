// The test's end of a TLS link to a peer: a blocking socket whose reads and
// writes give up at the deadline, with frames read as a remote peer parses
// them.
#ifndef VANTRIX_TLS_LINK_H
#define VANTRIX_TLS_LINK_H

#include "peer_harness.h"

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace vntest {

struct CtxFree {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

// A server context with the certificate and key of `name` in `root`.
CtxPtr tls_server_context(const TempRoot &root, const std::string &name);

class TlsLink {
public:
    // Takes `fd` over and shakes hands as the server or the client.
    TlsLink(int fd, SSL_CTX *ctx, bool server);
    ~TlsLink();
    TlsLink(const TlsLink &) = delete;
    TlsLink &operator=(const TlsLink &) = delete;

    bool ok() const { return ok_; }
    const char *cipher() const { return SSL_get_cipher_name(ssl_); }
    void send(const std::string &bytes);
    // The next frame of `type`, skipping others; false at the end or the deadline.
    bool read_frame_of(uint16_t type, WireFrame *frame);
    // True when nothing more has arrived by now: no byte in the connection
    // or in the socket.
    bool idle() const;
    // True when the other side closed the link.
    bool wait_eof();

private:
    bool read_exactly(size_t count, std::string *out);

    int fd_;
    SSL *ssl_;
    bool ok_ = false;
};

} // namespace vntest

#endif
