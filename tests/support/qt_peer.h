#pragma once

#include <QHostAddress>
#include <QTcpServer>

#include <cstdint>
#include <string>

#include "protocol/frame.h"

// For tests that play the other side of the link with Qt's sockets.

// One frame as it goes on the wire: a message frame for code 0, else a response frame.
inline std::string WireFrame(char type, std::uint8_t code, const std::string& text) {
    CharBuffer buffer;
    BuildFrame(buffer, static_cast<std::uint8_t>(type), code,
               reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return std::string(buffer.Bytes().begin(), buffer.Bytes().end());
}

// A port nobody listens on right now (someone else may take it before the caller does).
inline int FreeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
