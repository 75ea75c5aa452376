#include "tls_link.h"

#include <openssl/err.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace vntest {

CtxPtr tls_server_context(const TempRoot &root, const std::string &name)
{
    CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate_file(ctx.get(), root.file(name + ".pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx.get(), root.file(name + ".key").c_str(), SSL_FILETYPE_PEM);
    return ctx;
}

TlsLink::TlsLink(int fd, SSL_CTX *ctx, bool server) : fd_(fd), ssl_(SSL_new(ctx))
{
    struct timeval limit{static_cast<time_t>(kWireDeadline), 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL_set_fd(ssl_, fd_);
    ok_ = (server ? SSL_accept(ssl_) : SSL_connect(ssl_)) == 1;
    ERR_clear_error();
}

TlsLink::~TlsLink()
{
    SSL_free(ssl_);
    close(fd_);
}

void TlsLink::send(const std::string &bytes)
{
    ASSERT_EQ(SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
}

bool TlsLink::read_frame_of(uint16_t type, WireFrame *frame)
{
    for (;;) {
        std::string header;
        if (!read_exactly(4, &header))
            return false;
        frame->type = static_cast<uint16_t>((static_cast<uint8_t>(header[0]) << 8) | static_cast<uint8_t>(header[1]));
        uint32_t len = (static_cast<uint8_t>(header[2]) << 8) | static_cast<uint8_t>(header[3]);
        if (len & 0x8000) {
            std::string rest;
            if (!read_exactly(2, &rest))
                return false;
            len = ((len & 0x7FFF) << 16) | (static_cast<uint8_t>(rest[0]) << 8) | static_cast<uint8_t>(rest[1]);
        }
        if (!read_exactly(len, &frame->payload))
            return false;
        if (frame->type == type)
            return true;
    }
}

bool TlsLink::idle() const
{
    struct pollfd watch {fd_, POLLIN, 0};
    return SSL_has_pending(ssl_) == 0 && poll(&watch, 1, 0) == 0;
}

bool TlsLink::wait_eof()
{
    char byte;
    int got;
    while ((got = SSL_read(ssl_, &byte, 1)) > 0) {
    }
    ERR_clear_error();
    return SSL_get_error(ssl_, got) == SSL_ERROR_ZERO_RETURN || SSL_get_error(ssl_, got) == SSL_ERROR_SYSCALL ||
           SSL_get_error(ssl_, got) == SSL_ERROR_SSL;
}

bool TlsLink::read_exactly(size_t count, std::string *out)
{
    out->clear();
    char chunk[16384];
    while (out->size() < count) {
        int got = SSL_read(ssl_, chunk, static_cast<int>(std::min(sizeof chunk, count - out->size())));
        if (got <= 0)
            return false;
        out->append(chunk, static_cast<size_t>(got));
    }
    return true;
}

} // namespace vntest
