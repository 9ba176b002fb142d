/* A host program that knows nothing of the simulator: it lists the devices,
 * opens the one named on its command line and reads one I2C register of the
 * chip at 0x50 (SCL 4, SDA 5/6). Run with QZ_SIM_BENCH naming a bench file,
 * it finds the virtual board. Prints "SERIAL 0xVALUE"; exit 1 on failure. */
#include "QZ_FTDI.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    void* dev = NULL;
    PROT_HANDLE i2c = NULL;
    if (argc != 3) return 1;
    printf("%d device(s)\n", printConnectedDevices(0, 1));
    if (setupFTDIdev(&dev, argv[1], 1000000) != 0) return 1;
    if (initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 1) != 0) return 1;
    int32_t value = readI2C(dev, i2c, (uint32_t)strtoul(argv[2], NULL, 0));
    printf("%s 0x%02x\n", argv[1], (unsigned)value);
    deleteI2CDev(i2c);
    closeFTDI(dev);
    return value < 0;
}
