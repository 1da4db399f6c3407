#pragma once

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "protocol/frame.h"

// For tests and measurements that play the other side of the link on 127.0.0.1.

// One frame as it goes on the wire: a message frame for code 0, else a response frame.
inline std::string WireFrame(char type, std::uint8_t code, const std::string& text) {
    CharBuffer buffer;
    BuildFrame(buffer, static_cast<std::uint8_t>(type), code,
               reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return std::string(buffer.Bytes().begin(), buffer.Bytes().end());
}

// A port on 127.0.0.1 nobody listens on right now (someone else may take it before the
// caller does). Taken below the kernel's range for outgoing connections, so that another
// test's clients (a fleet of them) cannot take it first; the draws differ from run to run
// and from process to process.
inline int FreeTcpPort() {
    static std::mt19937 draw(std::random_device{}());
    boost::asio::io_context io;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = std::uniform_int_distribution<int>(20000, 32000)(draw);
        boost::asio::ip::tcp::acceptor probe(io);
        boost::system::error_code error;
        probe.open(boost::asio::ip::tcp::v4(), error);
        if (!error)
            probe.bind(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                      static_cast<unsigned short>(port)),
                       error);
        if (!error) return port;
    }
    throw std::runtime_error("no free port on 127.0.0.1 between 20000 and 32000");
}
