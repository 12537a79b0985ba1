// The Modbus RTU frame check, for frames the simulated unit reads or spoils
// itself rather than through libmodbus.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t rtu_crc16(const uint8_t* bytes, std::size_t length)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}
