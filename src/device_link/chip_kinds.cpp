#include "chip_kinds.h"

#include <string.h>

namespace {

constexpr bool in_kind_order()
{
    for (int i = 0; i < int(sizeof chip_table / sizeof chip_table[0]); i++)
        if (chip_table[i].kind != ChipKind(i))
            return false;
    return true;
}
static_assert(in_kind_order(), "chip_facts_of indexes chip_table by kind");

} // namespace

const chip_facts &chip_facts_of(ChipKind kind) { return chip_table[int(kind)]; }

const chip_facts *chip_by_usb(uint16_t vendor_id, uint16_t product_id, uint16_t release)
{
    if (vendor_id != FTDI_VENDOR_ID)
        return nullptr;
    const chip_facts *by_product = nullptr;
    for (const chip_facts &chip : chip_table) {
        if (chip.product_id != product_id)
            continue;
        if (chip.release == release)
            return &chip;
        if (!by_product)
            by_product = &chip;
    }
    return by_product;
}

const chip_facts *chip_by_info_type(uint32_t info_type)
{
    for (const chip_facts &chip : chip_table)
        if (chip.info_type == info_type)
            return &chip;
    return nullptr;
}

const chip_facts *chip_by_name(const char *name)
{
    for (const chip_facts &chip : chip_table)
        if (strcmp(chip.name, name) == 0)
            return &chip;
    return nullptr;
}

bool chip_channel_has_mpsse(const chip_facts &chip, char letter)
{
    return letter >= 'A' && letter < 'A' + chip.mpsse_channels;
}
