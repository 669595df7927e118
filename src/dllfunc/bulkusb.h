// The bulk driver as the device link sees it.
//
// open_dev, open_read and open_write take no arguments and each hand out a
// handle, or kInvalidBulkHandle when the player (or its pipe) is not there.
// The player's bytes are read from the read pipe and the host's bytes written
// to the write pipe with pipe_read / pipe_write, which stand for the operating
// system's file calls: one call moves one message (2, 13 or 512 bytes from the
// player; 31 or 512 bytes to it). Every handle is given back with
// close_handle. No call blocks for ever: a pipe that stops answering makes the
// call fail.
#pragma once

#include <cstdint>

using BulkHandle = std::intptr_t;
inline constexpr BulkHandle kInvalidBulkHandle = -1;

BulkHandle open_dev();
BulkHandle open_read();
BulkHandle open_write();

// Reads up to `size` bytes into `buf`; `*done` receives the count. Returns
// false when the call failed.
bool pipe_read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done);
// Writes `size` bytes from `buf`; `*done` receives the count. Returns false
// when the call failed.
bool pipe_write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done);
void close_handle(BulkHandle handle);
