// Descriptors: defaults, flags stored as given, and arguments that would make
// later shifts undefined or reads run past buffers, refused before allocating.
#include "sim_fixture.hpp"

#include <functional>

TEST(Descriptor, FreshDescriptorsHaveOutputEnableOffAndFlagsUnchanged) {
    Descriptor spi, i2c;
    makeSPI(spi, 7, 6, 5, 7, 32, 32, /*posedge*/ 2, /*RWbit*/ 1);  // largest valid values
    makeI2C(i2c, 4, 5, 6, 0x7F, 4, 0);
    EXPECT_EQ(1, spi.des().SPI_I2C);
    EXPECT_EQ(2, spi.des().posedge);
    EXPECT_EQ(1, spi.des().RWbit);
    EXPECT_EQ(0, i2c.des().SPI_I2C);
    for (const Descriptor* d : {&spi, &i2c})
        EXPECT_TRUE(d->des().OE_EN == 0 && d->des().OEnum == 0 && d->des().OE_pol == 1);
}

TEST(Descriptor, OutOfRangeArgumentsAreRefusedWithNothingAllocated) {
    const std::pair<const char*, std::function<int32_t(PROT_HANDLE*)>> refused[] = {
        {"null address SPI", [](PROT_HANDLE*) { return initSPIDev(nullptr, 0, 1, 2, 3, 8, 8, 1, 0); }},
        {"null address I2C", [](PROT_HANDLE*) { return initI2CDev(nullptr, 0, 1, 2, 0x50, 1, 1); }},
        {"clock pin 8", [](PROT_HANDLE* h) { return initSPIDev(h, 8, 1, 2, 3, 8, 8, 1, 0); }},
        {"select pin 8", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 8, 2, 3, 8, 8, 1, 0); }},
        {"data-in pin 8", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 1, 8, 3, 8, 8, 1, 0); }},
        {"data-out pin 255", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 1, 2, 255, 8, 8, 1, 0); }},
        {"33 address bits", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 1, 2, 3, 33, 8, 1, 0); }},
        {"33 data bits", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 1, 2, 3, 8, 33, 1, 0); }},
        {"SCL pin 8", [](PROT_HANDLE* h) { return initI2CDev(h, 8, 1, 2, 0x50, 1, 1); }},
        {"SDA write pin 8", [](PROT_HANDLE* h) { return initI2CDev(h, 0, 8, 2, 0x50, 1, 1); }},
        {"SDA read pin 8", [](PROT_HANDLE* h) { return initI2CDev(h, 0, 1, 8, 0x50, 1, 1); }},
        {"5 address bytes", [](PROT_HANDLE* h) { return initI2CDev(h, 0, 1, 2, 0x50, 5, 1); }},
        {"5 data bytes", [](PROT_HANDLE* h) { return initI2CDev(h, 0, 1, 2, 0x50, 1, 5); }},
        {"8-bit address form", [](PROT_HANDLE* h) { return initI2CDev(h, 0, 1, 2, 0xA0, 1, 1); }},
        {"SCL and SDA on one pin", [](PROT_HANDLE* h) { return initI2CDev(h, 3, 3, 2, 0x50, 1, 1); }},
        {"RWbit 2", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 1, 2, 3, 8, 8, 1, 2); }},
        {"RWbit -1", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 1, 2, 3, 8, 8, 1, -1); }},
        {"clock and select on one pin", [](PROT_HANDLE* h) { return initSPIDev(h, 4, 4, 2, 3, 8, 8, 1, 0); }},
        {"select and data-in on one pin", [](PROT_HANDLE* h) { return initSPIDev(h, 0, 2, 2, 3, 8, 8, 1, 0); }},
    };
    for (const auto& [what, init] : refused) {
        PROT_HANDLE handle = nullptr;
        EXPECT_EQ(-1, init(&handle)) << what;
        EXPECT_EQ(nullptr, handle) << what;  // nothing stored, so nothing to leak
    }
}

TEST(Descriptor, SetupOERefusesNullAndPinAboveSeven) {
    Descriptor spi;
    makeSPI(spi, 0, 3, 1, 2, 8, 8, 1, 0);
    PROT_HANDLE none = nullptr;
    EXPECT_EQ(-1, setupOE(nullptr, 7, 1));
    EXPECT_EQ(-1, setupOE(&none, 7, 1));
    EXPECT_EQ(-1, setupOE(spi.address(), 8, 1));
    EXPECT_EQ(0, spi.des().OE_EN);
    EXPECT_EQ(0, setupOE(spi.address(), 7, 0));
    EXPECT_TRUE(spi.des().OE_EN == 1 && spi.des().OEnum == 7 && spi.des().OE_pol == 0);
    EXPECT_EQ(0, setupOE(spi.address(), 5, 2));  // moved; polarity stored unchanged
    EXPECT_TRUE(spi.des().OEnum == 5 && spi.des().OE_pol == 2);
}

TEST(Descriptor, EitherDeleteFreesEitherKindAndNullIsHarmless) {
    PROT_HANDLE spi = nullptr, i2c = nullptr;
    ASSERT_EQ(0, initSPIDev(&spi, 0, 1, 2, 3, 8, 8, 1, 0));
    ASSERT_EQ(0, initI2CDev(&i2c, 0, 1, 2, 0x50, 1, 1));
    EXPECT_EQ(0, deleteI2CDev(spi));  // the leak checker sees a wrong free
    EXPECT_EQ(0, deleteSPIDev(i2c));
    EXPECT_EQ(0, deleteSPIDev(nullptr));
    EXPECT_EQ(0, deleteI2CDev(nullptr));
}
