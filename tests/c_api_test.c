/* A C program: the public headers compile as C, and the shared library (with
 * its simulated bench) is usable from C alone. */
#include "QZ_FTDI.h"
#include "qzsim/qzsim.h"

#include <stdio.h>

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                 \
        }                                                             \
    } while (0)

int main(void) {
    void* dev = 0;
    uint8_t pattern[4] = {0x01, 0x00, 0x01, 0x00};
    uint8_t levels[4] = {0};

    qzsim_clear_bench();
    CHECK(qzsim_add_device("C-TEST", "C test device", 1) == 0);
    CHECK(printConnectedDevices(0, 1) == 1);
    CHECK(setupFTDIdev(&dev, "C-TEST", 115200) == 0);
    CHECK(dev != 0);
    CHECK(writeCustomPattern(dev, 0x01, pattern, 4) == 4);
    CHECK(qzsim_read_trace("C-TEST", 0, levels, 4) == 4);
    CHECK((levels[0] & 1) == 1 && (levels[1] & 1) == 0);
    CHECK(qzsim_call_count("C-TEST", "Write") == 1);
    CHECK(closeFTDI(dev) == 0);
    qzsim_clear_bench();
    printf("C API OK\n");
    return 0;
}
