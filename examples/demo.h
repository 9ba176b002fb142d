/* The demo's sections: each plays one part of the library on the simulated bench. */
#ifndef QZ_DEMO_H
#define QZ_DEMO_H

#include <stdint.h>

/* Prints the wire trace of a bench device as rows of pin levels. */
void demo_show_wire(const char* serial, const char* title);
/* Names the eight pins (pin 0 first) for the rows of the library's pattern
 * dumps that follow; NULL entries show as "-". */
void demo_name_pins(const char* const names[8]);
int demo_spi(void* dev, const char* serial);
int demo_i2c(void* dev, const char* serial);
int demo_blocks(void* dev, const char* serial);

#endif
