// I2C frame geometry and the read-back steps shared by the single-register,
// batched and streamed I2C transfers.
#pragma once

#include "qz_internal.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qz {

// Events of a START (SCL high throughout), of one bit slot (SCL low, high,
// high, low) and of one byte: eight bit slots and the acknowledge slot.
inline constexpr uint32_t kI2CStartEvents = 3;
inline constexpr uint32_t kI2CBitEvents = 4;
inline constexpr uint32_t kI2CByteEvents = 36;

// Distances from a frame's reference sample (its first SCL-low sample, the
// first event of the address's most significant bit):
// - to the second SCL-high event of the address's acknowledge slot; every
//   further acknowledge sample lies one byte on;
inline constexpr uint32_t kI2CFirstAckOffset = 34;
// - to the first SCL-high event of a read frame's first data bit, when there
//   are no register-address bytes (each adds one byte): address pass,
//   repeated START, address pass with the read bit, one event into the bit.
inline constexpr uint32_t kI2CFirstDataOffset = 76;

// The reference sample of the frame that starts the read-back: the first
// sample below `limit` with SCL low that follows at least three samples with
// SCL high, the START. Only a START holds SCL high that long; the levels from
// before the frame, which the chip's read-back lag puts in front of it (one
// or two samples: all outputs low after opening the device, and before that
// the pull-ups), never form such a run on their own. nullopt when there is
// none: the clock did not reach the bus.
std::optional<std::size_t> i2cFrameReference(std::span<const uint8_t> rx, uint8_t sclPin,
                                             std::size_t limit);

// The acknowledge samples of the frame at `reference`: bit m is the SDA level
// (1 = not acknowledged) at reference + 34 + 36m, for every such position in
// the read-back, the first eight kept.
uint8_t i2cAcknowledges(std::span<const uint8_t> rx, std::size_t reference, uint8_t sdaPin);

// The acknowledges that judge a read: the first address pass, the
// register-address bytes and the second address pass (the low A + 2 bits).
uint8_t i2cReadAckMask(uint32_t bytesPerAddr);

// Read-back position of the first data bit of a read frame at `reference`.
std::size_t i2cFirstDataSample(std::size_t reference, uint32_t bytesPerAddr);

// A word of `bytes` received bytes whose first bit is sampled at `first`:
// eight samples four apart per byte, bytes one byte-length apart, the first
// byte most significant. nullopt when a sample lies past the read-back.
std::optional<uint32_t> i2cReadWord(std::span<const uint8_t> rx, std::size_t first,
                                    uint8_t sdaPin, uint32_t bytes);

// Single-register transfers on a copy of the caller's descriptor.
// 0, or -(acknowledge bits) when some were missing; -1 on a driver failure, an
// SPI descriptor or a read-back in which SCL never falls after being high.
int32_t writeI2C(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg, uint32_t data);
// The register value, or -(acknowledge bits within the read mask) when one
// that counts was missing; -1 on a driver failure, an SPI descriptor, a
// read-back without a reference or with data samples past its end.
int32_t readI2C(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg);

}  // namespace qz
