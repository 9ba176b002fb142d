/* Demo section: registers of a virtual I2C peripheral, and missing
 * acknowledges. The chip answers at address 0x50 on the open-drain bus formed
 * by SCL on pin 4, SDA driven from pin 5 and read back on pin 6 (pins 0-3
 * carry the SPI chip); it has one register-address byte and two data bytes
 * per register. */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

#include <stdio.h>

int demo_i2c(void* dev, const char* serial) {
    enum { SCL = 4, SDA_W = 5, SDA_R = 6, ADDRESS = 0x50, REG_BYTES = 1, DATA_BYTES = 2 };
    enum { FAULT_NONE = 0, FAULT_DATA_BYTE_NACK = 2 };
    PROT_HANDLE i2c = NULL, stranger = NULL;
    uint32_t held = 0;
    int failures = 0;

    int32_t chip = qzsim_attach_i2c(serial, SCL, SDA_W, SDA_R, ADDRESS, REG_BYTES, DATA_BYTES);
    if (chip < 0 || initI2CDev(&i2c, SCL, SDA_W, SDA_R, ADDRESS, REG_BYTES, DATA_BYTES) != 0)
        return -1;
    qzsim_set_register(chip, 0x10, 0xCAFE); /* a value the chip holds from power-up */

    static const char* const names[8] = {NULL, NULL, NULL, NULL, "SCL", "SDAw", "SDAr"};
    demo_name_pins(names);
    printf("-- I2C: writeI2C(0x21, 0xBEEF) with the write dump on\n");
    printf("   (the samples written: START, address 0x50 and write, register 0x21, 0xBE, 0xEF,\n"
           "    STOP; SDAw 1 lets SDA go, so that the chip can pull it low to acknowledge)\n");
    enableDebugPrint(1, 0);
    int32_t written = writeI2C(dev, i2c, 0x21, 0xBEEF);
    enableDebugPrint(0, 0);
    qzsim_get_register(chip, 0x21, &held);
    printf("writeI2C returned %d; the chip now holds 0x%04X at 0x21\n", written, held);
    failures += written != 0 || held != 0xBEEF;

    printf("-- I2C: readI2C(0x10) and readI2C(0x21) with the read dump on\n");
    printf("   (the samples read back: on SDAr the chip's acknowledges and data bits)\n");
    enableDebugPrint(0, 1);
    int32_t first = readI2C(dev, i2c, 0x10);
    int32_t second = readI2C(dev, i2c, 0x21);
    enableDebugPrint(0, 0);
    demo_name_pins(NULL);
    printf("read 0x%04X from 0x10 and 0x%04X from 0x21\n", (unsigned)first, (unsigned)second);
    failures += first != 0xCAFE || second != 0xBEEF;
    demo_show_wire(serial, "the I2C write and the two reads");

    /* Nobody answers at 0x51: the address, the register-address byte and both
     * data bytes go unacknowledged, bits 0 to 3 of the result. */
    printf("-- I2C: missing acknowledges\n");
    if (initI2CDev(&stranger, SCL, SDA_W, SDA_R, 0x51, REG_BYTES, DATA_BYTES) != 0) return -1;
    int32_t nobody = writeI2C(dev, stranger, 0x21, 0x1234);
    int32_t nobodyRead = readI2C(dev, stranger, 0x21);
    printf("writeI2C to 0x51, where no chip answers: %d; readI2C: %d\n", nobody, nobodyRead);
    printf("  (a missing acknowledge is a negative result, minus a bit per unacknowledged byte:\n"
           "   -15 = -(1+2+4+8): the address, the register byte and both data bytes;\n"
           "   -7 = -(1+2+4): the address, the register byte and the address again for reading)\n");
    failures += nobody != -15 || nobodyRead != -7;

    /* The chip refuses its second data byte: after the address and one
     * register-address byte that is bit 3 of the result, so -8. */
    qzsim_i2c_fault(chip, FAULT_DATA_BYTE_NACK, 1);
    int32_t refused = writeI2C(dev, i2c, 0x22, 0x1234);
    qzsim_i2c_fault(chip, FAULT_NONE, 0);
    printf("writeI2C with the chip refusing its second data byte: %d (bit 3: data byte 2)\n",
           refused);
    failures += refused != -8;
    qzsim_clear_trace(serial);

    deleteI2CDev(stranger);
    deleteI2CDev(i2c);
    return failures ? -1 : 0;
}
