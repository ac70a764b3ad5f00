// What the endpoint lends the rest of the service: its loop, and delivery
// to one connection. Network thread only.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>

// The network thread's loop (lives until the process ends).
boost::asio::io_context& networkContext();
// Sends `text` to the open WebSocket connection of client `clientId`, if any.
void sendToClient(uint64_t clientId, const std::string& text);
