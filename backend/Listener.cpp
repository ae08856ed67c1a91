// A listening socket: binds with an error that says what to do, and accepts connections for
// the HTTP sessions (as many as there are connection slots), retrying a little later when
// accepting fails. Its handlers run on a strand of its own.
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "backend/NetworkParts.h"

namespace brevant::backend::sockets {

bool Listener::open(const tcp::endpoint& endpoint, std::string& error) {
    error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) {
        port_ = acceptor_.local_endpoint(ec).port();
        if (!ec)
            return true;
    }
    error = "cannot listen on " + endpointText(endpoint) + " (" + rolesText(roles_) +
            "): " + ec.message() + ". ";
    if (ec == asio::error::access_denied && endpoint.port() < 1024)
        error += "Ports below 1024 need root: run as root, or choose a port above 1023.";
    else if (ec == asio::error::address_in_use)
        error += "Another program holds this port: stop it, or choose a free port.";
    else
        error += "Choose a free port and an address of this machine.";
    return false;
}

void Listener::accept() {
    acceptor_.async_accept(asio::make_strand(net_.ioc), [this](error_code ec, tcp::socket socket) {
        onAccept(ec, std::move(socket));
    });
}

void Listener::close(std::function<void()> done) {
    asio::post(strand_, [this, done = std::move(done)] {
        error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
        done();
    });
}

void Listener::onAccept(error_code ec, tcp::socket socket) {
    if (!acceptor_.is_open())
        return;
    if (ec) {
        // Such as running out of descriptors: try again a little later.
        net_.log.write("accept failed on port " + std::to_string(port_) + ": " + ec.message());
        retry_.expires_after(std::chrono::milliseconds(100));
        retry_.async_wait([this](error_code e) {
            if (!e)
                accept();
        });
        return;
    }
    error_code ignored;
    const asio::ip::address address = peerAddress(socket.remote_endpoint(ignored));
    bool fromAddress = false;
    if (std::optional<ConnectionSlot> slot = net_.admit(address, fromAddress))
        serveHttp(net_, roles_, std::move(socket), std::move(*slot));
    else
        net_.turnAway(socket, fromAddress);
    accept();
}

}  // namespace brevant::backend::sockets
