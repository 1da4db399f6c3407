#pragma once

#include <cstdint>
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
// caller does).
inline int FreeTcpPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}
