// The data record of one polling cycle: 459 bytes, packed, published under
// record type 5156, stored in history and handed back from the host's cache,
// so its layout is a stored format. Fields are named after their Modbus
// source: regs_A is holding registers from A, bits_A coils from A.
#pragma once

#include "host/contract.hpp"
#include "host/framework.hpp"

#include <cstddef>
#include <cstdint>

// One holding register as stored in the record: low byte first. Kept as bytes
// so that fields at odd offsets are never read through an unaligned word.
struct le_u16 {
    uint8_t bytes[2];
    constexpr uint16_t value() const
    {
        return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    }
};
static_assert(sizeof(le_u16) == 2 && alignof(le_u16) == 1, "register cells carry no alignment");

#pragma pack(push, 1)
struct QM4700RX2VA9_Data_t {
    uint32_t dev_id;
    uint8_t bits_256[12];
    le_u16 regs_700[14];
    le_u16 regs_1500[4];
    le_u16 regs_715;
    le_u16 regs_732;
    uint8_t bits_0[195];
    uint8_t bits_656[3];
    le_u16 regs_0;
    le_u16 regs_11;
    le_u16 regs_1;
    le_u16 regs_13;
    uint8_t bits_276;
    uint8_t bits_281;
    uint8_t bits_277;
    le_u16 regs_720[9];
    le_u16 regs_276;
    le_u16 regs_275;
    le_u16 regs_257[2];
    le_u16 regs_274;
    le_u16 regs_719;
    le_u16 regs_628;
    le_u16 regs_259[2];
    le_u16 regs_256;
    le_u16 regs_263;
    le_u16 regs_608[4];
    le_u16 regs_615[3];
    le_u16 regs_770[3];
    le_u16 regs_606[2];
    le_u16 regs_604;
    le_u16 regs_400[4];
    le_u16 regs_730[2];
    le_u16 regs_624;
    le_u16 regs_712;
    le_u16 regs_750;
    le_u16 regs_754[5];
    le_u16 regs_760;
    le_u16 regs_763;
    le_u16 regs_2000;
    le_u16 regs_2004[5];
    le_u16 regs_2010;
    le_u16 regs_2013;
    uint8_t bits_512[15];
    le_u16 regs_127[15];
    le_u16 regs_1516[8];
    le_u16 regs_261[6];
    ttime time;
};
#pragma pack(pop)

namespace record_layout {

// Offsets of the stored format; a change here breaks every stored record.
#define QM_CHECK_OFFSET(field, offset)                                                   \
    static_assert(offsetof(QM4700RX2VA9_Data_t, field) == (offset), #field " offset")
QM_CHECK_OFFSET(dev_id, 0);
QM_CHECK_OFFSET(bits_256, 4);
QM_CHECK_OFFSET(regs_700, 16);
QM_CHECK_OFFSET(regs_1500, 44);
QM_CHECK_OFFSET(regs_715, 52);
QM_CHECK_OFFSET(regs_732, 54);
QM_CHECK_OFFSET(bits_0, 56);
QM_CHECK_OFFSET(bits_656, 251);
QM_CHECK_OFFSET(regs_0, 254);
QM_CHECK_OFFSET(regs_11, 256);
QM_CHECK_OFFSET(regs_1, 258);
QM_CHECK_OFFSET(regs_13, 260);
QM_CHECK_OFFSET(bits_276, 262);
QM_CHECK_OFFSET(bits_281, 263);
QM_CHECK_OFFSET(bits_277, 264);
QM_CHECK_OFFSET(regs_720, 265);
QM_CHECK_OFFSET(regs_276, 283);
QM_CHECK_OFFSET(regs_275, 285);
QM_CHECK_OFFSET(regs_257, 287);
QM_CHECK_OFFSET(regs_274, 291);
QM_CHECK_OFFSET(regs_719, 293);
QM_CHECK_OFFSET(regs_628, 295);
QM_CHECK_OFFSET(regs_259, 297);
QM_CHECK_OFFSET(regs_256, 301);
QM_CHECK_OFFSET(regs_263, 303);
QM_CHECK_OFFSET(regs_608, 305);
QM_CHECK_OFFSET(regs_615, 313);
QM_CHECK_OFFSET(regs_770, 319);
QM_CHECK_OFFSET(regs_606, 325);
QM_CHECK_OFFSET(regs_604, 329);
QM_CHECK_OFFSET(regs_400, 331);
QM_CHECK_OFFSET(regs_730, 339);
QM_CHECK_OFFSET(regs_624, 343);
QM_CHECK_OFFSET(regs_712, 345);
QM_CHECK_OFFSET(regs_750, 347);
QM_CHECK_OFFSET(regs_754, 349);
QM_CHECK_OFFSET(regs_760, 359);
QM_CHECK_OFFSET(regs_763, 361);
QM_CHECK_OFFSET(regs_2000, 363);
QM_CHECK_OFFSET(regs_2004, 365);
QM_CHECK_OFFSET(regs_2010, 375);
QM_CHECK_OFFSET(regs_2013, 377);
QM_CHECK_OFFSET(bits_512, 379);
QM_CHECK_OFFSET(regs_127, 394);
QM_CHECK_OFFSET(regs_1516, 424);
QM_CHECK_OFFSET(regs_261, 440);
QM_CHECK_OFFSET(time, 452);
#undef QM_CHECK_OFFSET

static_assert(sizeof(QM4700RX2VA9_Data_t) == contract::kRecordSize, "the record is 459 bytes");
static_assert(alignof(QM4700RX2VA9_Data_t) == 1, "the record has no alignment");

}  // namespace record_layout

// Where one cell of the record lives, for the catalogues: a field's offset
// plus an index, resolved and bounds-checked at compile time.
namespace record_layout {

// A cell knows its width (1: a coil's byte, 2: a register); where only the
// place matters it reads as its offset.
struct RecordCell {
    std::size_t offset;
    std::size_t width;
    constexpr operator std::size_t() const { return offset; }
};

template <std::size_t Offset, std::size_t FieldSize, std::size_t Index, std::size_t Width>
constexpr RecordCell checked_cell()
{
    static_assert((Index + 1) * Width <= FieldSize, "index past the end of its field");
    return {Offset + Index * Width, Width};
}
}  // namespace record_layout

#define QM_RECORD_BYTE(field, index)                                                      \
    (record_layout::checked_cell<offsetof(QM4700RX2VA9_Data_t, field),                   \
                                 sizeof(QM4700RX2VA9_Data_t::field), (index), 1>())
#define QM_RECORD_REG(field, index)                                                       \
    (record_layout::checked_cell<offsetof(QM4700RX2VA9_Data_t, field),                   \
                                 sizeof(QM4700RX2VA9_Data_t::field), (index), 2>())
