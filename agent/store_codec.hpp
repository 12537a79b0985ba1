// A record's body as the store keeps it: a zstd frame made against a base,
// a copy of an earlier record of the same unit (a "keyframe"). Consecutive
// records of a unit differ in a few cells, so a frame is a few dozen bytes;
// any row reads with two reads (the row and its keyframe) whatever its age.
//
// Frames are magicless and carry no checksum (SQLite's pages are the
// integrity layer); they carry their content size, which bounds what a
// damaged or hostile frame can make us allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace agent::store_codec {

using Bytes = std::vector<unsigned char>;

// No body the store keeps is larger (a full record is 459 bytes).
constexpr std::size_t kMostBodyBytes = 64 * 1024;

// `body` compressed against `base` (which may be empty). Never fails for a
// body of at most kMostBodyBytes; returns nullopt for a larger one.
std::optional<Bytes> pack(const Bytes& base, const Bytes& body);

// The body back, byte for byte; nullopt when `frame` is not one pack made
// against `base`, or would expand beyond kMostBodyBytes.
std::optional<Bytes> unpack(const Bytes& base, const Bytes& frame);

}  // namespace agent::store_codec
