// The virtual chips' C interface: attaching, habits, fill and bounded logs,
// reached by peripheral ID as a host program reaches them.
#include "i2c_wire.hpp"
#include "qzsim/qzsim.h"
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"

namespace {

using qzsim::I2CChip;
using qzsim::SPIPeripheral;

class ChipCApi : public SimBench {
protected:
    template <class Chip>
    Chip& chip(int32_t id) {
        auto* found = dynamic_cast<Chip*>(qzsim::bench().chip(id));
        EXPECT_NE(nullptr, found);
        return *found;
    }
    // A wire on the bus of an I2C chip attached from C (SCL 0, SDA 1 and 2).
    I2CWire wireOf(int32_t id) {
        I2CWire w;
        w.bus = chip<I2CChip>(id).bus();
        return w;
    }
};

// The same last two arguments as initSPIDev: a descriptor and a chip made
// from one list of arguments agree, in every combination.
TEST_F(ChipCApi, AttachSpiTakesPolarityBeforeReadWriteBit) {
    FT_HANDLE dev = openDevice();
    int serial = 0;
    for (int32_t posedge : {0, 1}) {
        SCOPED_TRACE(posedge);
        const int32_t id = qzsim_attach_spi("DEV", 0, 1, 2, 3, 8, 8, posedge, /*rwBit*/ 1);
        ASSERT_GE(id, 0);
        EXPECT_EQ(posedge != 0, chip<SPIPeripheral>(id).wiring().posedge);
        EXPECT_TRUE(chip<SPIPeripheral>(id).wiring().rwBit);
        Descriptor d;
        makeSPI(d, 0, 1, 2, 3, 8, 8, posedge, 1);
        const uint32_t value = 0xA0u + static_cast<uint32_t>(serial++);
        EXPECT_EQ(0, writeSPI(dev, d.get(), 0x21, value));
        EXPECT_EQ(static_cast<int32_t>(value), readSPI(dev, d.get(), 0x21));
        device().detachAll();
    }
    const int32_t plain = qzsim_attach_spi("DEV", 0, 1, 2, 3, 8, 8, 1, /*rwBit*/ 0);
    EXPECT_FALSE(chip<SPIPeripheral>(plain).wiring().rwBit);
}

TEST_F(ChipCApi, SpiOutputEnableWiresTheInput) {
    addDevice("DEV");
    const int32_t spi = qzsim_attach_spi("DEV", 0, 1, 2, 3, 8, 8, 1, 1);
    const int32_t i2c = qzsim_attach_i2c("DEV", 4, 5, 6, 0x50, 1, 1);
    EXPECT_EQ(0, qzsim_spi_output_enable(spi, 7, 0));
    EXPECT_EQ(7, chip<SPIPeripheral>(spi).wiring().outputEnable.value_or(0xFF));
    EXPECT_FALSE(chip<SPIPeripheral>(spi).wiring().outputEnableHigh);
    EXPECT_EQ(-1, qzsim_spi_output_enable(spi, 8, 1));
    EXPECT_EQ(-1, qzsim_spi_output_enable(i2c, 7, 1));
    EXPECT_EQ(-1, qzsim_spi_output_enable(99, 7, 1));
}

TEST_F(ChipCApi, HabitSettersRefuseOtherPeripheralsAndBadValues) {
    addDevice("DEV");
    const int32_t spi = qzsim_attach_spi("DEV", 0, 1, 2, 3, 8, 8, 1, 1);
    const int32_t i2c = qzsim_attach_i2c("DEV", 4, 5, 6, 0x50, 1, 1);
    for (int32_t id : {spi, 99, -1}) {
        EXPECT_EQ(-1, qzsim_i2c_set_reaction_delay(id, 1));
        EXPECT_EQ(-1, qzsim_i2c_set_clock_stretch(id, 1));
        EXPECT_EQ(-1, qzsim_i2c_set_eeprom(id, 16, 10));
        EXPECT_EQ(-1, qzsim_set_register_width(id, 0, 2));
        EXPECT_EQ(-1, qzsim_i2c_set_sda_leads_scl(id, 1));
    }
    EXPECT_EQ(0, qzsim_i2c_set_sda_leads_scl(i2c, 1));
    EXPECT_TRUE(chip<I2CChip>(i2c).sdaLeadsScl());
    EXPECT_EQ(-1, qzsim_i2c_set_reaction_delay(i2c, I2CChip::kMaxReactionDelay + 1));
    EXPECT_EQ(-1, qzsim_set_register_width(i2c, 0, 0));
    EXPECT_EQ(-1, qzsim_set_register_width(i2c, 0, 5));
    for (int32_t id : {99, -1}) {
        EXPECT_EQ(-1, qzsim_set_fill(id, 0xFF));
        EXPECT_EQ(-1, qzsim_set_log_limit(id, 4));
        EXPECT_EQ(-1, qzsim_log_count(id));
        EXPECT_EQ(-1, qzsim_violation_count(id));
        EXPECT_EQ(-1, qzsim_clear_logs(id));
    }
}

TEST_F(ChipCApi, EepromSetUpFromCBehavesAsOne) {
    addDevice("DEV");
    const int32_t id = qzsim_attach_i2c("DEV", 0, 1, 2, 0x50, 1, 1);
    ASSERT_EQ(0, qzsim_set_fill(id, 0xFF));
    ASSERT_EQ(0, qzsim_i2c_set_eeprom(id, 4, 100));
    ASSERT_EQ(0, qzsim_set_register_width(id, 0x20, 2));
    I2CWire w = wireOf(id);
    EXPECT_EQ(0xFF, w.readRegister(0x50, 0x10));
    EXPECT_TRUE(w.writeRegister(0x50, 0x03, {0xA1, 0xA2}));
    EXPECT_EQ(-1, w.readRegister(0x50, 0x03));  // busy
    w.idle(100);
    uint32_t value = 0;
    qzsim_get_register(id, 0x00, &value);  // wrapped within the page
    EXPECT_EQ(0xA2u, value);
    EXPECT_TRUE(w.writeRegister(0x50, 0x20, {0x12, 0x34}));
    qzsim_get_register(id, 0x20, &value);
    EXPECT_EQ(0x1234u, value);
}

TEST_F(ChipCApi, LogsAreBoundedCountedAndClearable) {
    addDevice("DEV");
    const int32_t id = qzsim_attach_i2c("DEV", 0, 1, 2, 0x50, 1, 1);
    ASSERT_EQ(0, qzsim_set_log_limit(id, 2));
    I2CWire w = wireOf(id);
    for (uint8_t reg = 0; reg < 6; ++reg) w.writeRegister(0x50, reg, {reg});
    w.start();
    w.bit(true), w.bit(false);
    w.sample(false, true), w.sample(true, true), w.sample(true, false);  // SDA falls mid-byte
    w.stop();
    EXPECT_EQ(6, qzsim_log_count(id));
    EXPECT_EQ(2u, chip<I2CChip>(id).log().size());
    EXPECT_EQ(1, qzsim_violation_count(id));
    EXPECT_EQ(0, qzsim_clear_logs(id));
    EXPECT_EQ(0, qzsim_log_count(id));
    EXPECT_EQ(0, qzsim_violation_count(id));
    EXPECT_TRUE(w.bus->violations().empty());
}

TEST_F(ChipCApi, SpiLogsFromC) {
    FT_HANDLE dev = openDevice();
    const int32_t id = qzsim_attach_spi("DEV", 0, 1, 2, 3, 8, 8, 1, 1);
    ASSERT_EQ(0, qzsim_set_log_limit(id, 3));
    Descriptor d;
    makeSPI(d, 0, 1, 2, 3, 8, 8, 1, 1);
    for (uint32_t reg = 0; reg < 10; ++reg) EXPECT_EQ(0, writeSPI(dev, d.get(), reg, reg));
    EXPECT_EQ(10, qzsim_log_count(id));
    EXPECT_EQ(3u, chip<SPIPeripheral>(id).log().size());
    EXPECT_EQ(0, qzsim_violation_count(id));
    EXPECT_EQ(0, qzsim_clear_logs(id));
    EXPECT_EQ(0, qzsim_log_count(id));
}

}  // namespace
