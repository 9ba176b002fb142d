/* The demo's sections: each plays one part of the library on the simulated bench. */
#ifndef QZ_DEMO_H
#define QZ_DEMO_H

#include <stdint.h>

/* Prints the wire trace of a bench device as rows of pin levels. */
void demo_show_wire(const char* serial, const char* title);
int demo_spi(void* dev, const char* serial);
int demo_i2c(void* dev, const char* serial);
int demo_blocks(void* dev, const char* serial);

#endif
