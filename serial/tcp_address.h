// Serial ports reached over TCP: a serial device server (ser2net, a Moxa or Lantronix box in raw
// TCP mode) passes the bytes of one port through a socket. Such a port is named
// tcp://HOST:PORT (an IPv6 host in brackets: tcp://[::1]:4001).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial_backend.h"

namespace qdfu {

bool IsTcpPort(const std::string& device);
// Splits tcp://HOST:PORT; false when it is not of that form or the port is not 1..65535.
bool ParseTcpPort(const std::string& device, std::string& host, std::string& port);

// The numeric endpoints ("ADDRESS port") that a tcp:// name resolves to, for telling whether two
// names reach one server; the name itself when it does not resolve.
std::vector<std::string> TcpEndpoints(const std::string& device);

// The backend of a tcp:// port on this platform: the line settings are the device server's, the
// time-outs and the byte stream are the driver's as on a local port. Connecting waits at most
// TCP_CONNECT_MS.
std::unique_ptr<SerialBackend> MakeTcpBackend();
inline constexpr int TCP_CONNECT_MS = 5000;
// What a port whose server ended the connection says for itself (SerialLineError).
inline constexpr const char* TCP_CLOSED_TEXT = "the device server closed the connection";

// The backend for a device: TCP for tcp:// names, the native one otherwise.
std::unique_ptr<SerialBackend> MakeBackendFor(const std::string& device);

}  // namespace qdfu
