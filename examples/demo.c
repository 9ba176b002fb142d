/* The QZ_FTDI demo on the simulated bench: discovery, opening a device, pin
 * patterns, and register access to virtual SPI and I2C peripherals. */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

#include <stdio.h>
#include <string.h>

#define TRACE_MAX 4096

static const char* pinNames[8];

void demo_name_pins(const char* const names[8]) {
    for (int pin = 0; pin < 8; ++pin) pinNames[pin] = names ? names[pin] : NULL;
}

/* The library's messages, printed as they come, except the pattern dumps
 * (enableDebugPrint): one row of 0 (low) and 1 (high) per pin, pin 0 first,
 * one column per sample; each row gets its pin's number and name. */
static void demo_message(int32_t kind, const char* text, void* context) {
    (void)context;
    if (kind != QZ_MESSAGE_DEBUG) {
        printf("%s\n", text);
        return;
    }
    for (int pin = 0; *text && *text != '\n'; ++pin) {
        const char* end = strchr(text, '\n');
        int length = end ? (int)(end - text) : (int)strlen(text);
        printf("  pin %d %-4s %.*s\n", pin, pin < 8 && pinNames[pin] ? pinNames[pin] : "-", length,
               text);
        text += length + (end ? 1 : 0);
    }
    printf("\n");
}

void demo_show_wire(const char* serial, const char* title) {
    static uint8_t levels[TRACE_MAX];
    int64_t n = qzsim_read_trace(serial, NULL, levels, TRACE_MAX);
    if (n > TRACE_MAX) n = TRACE_MAX;
    printf("-- wire: %s (%lld samples; pins 0-7, _ low, - high)\n", title, (long long)n);
    for (int pin = 0; pin < 8; ++pin) {
        printf("  pin %d ", pin);
        for (int64_t i = 0; i < n && i < 120; ++i) putchar((levels[i] >> pin) & 1 ? '-' : '_');
        printf(n > 120 ? " ...\n" : "\n");
    }
    qzsim_clear_trace(serial);
}

static int demo_discovery(char* chosen, size_t size) {
    char serials[2][64];
    char* entries[2] = {serials[0], serials[1]};
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[64], serial[16];

    int listable = printConnectedDevices(1, 0);
    printf("listable devices: %d of %d attached\n", listable, printConnectedDevices(0, 1));
    if (listable < 1 || listable > 2 || getConnectedDevices(entries, (uint32_t)listable) != 0) return -1;
    int count = getDeviceInfo(0, &flags, &type, &id, &loc, description, serial, 1);
    printf("device 0 of %d: serial %s, \"%s\", type %u, ID %08X, location %X\n", count, serial,
           description, type, id, loc);
    printf("  (getDeviceInfo counts every attached device; type 5 is an FT232R; the ID is the\n"
           "   USB vendor 0x%04X and product 0x%04X; the location is the USB port)\n",
           id >> 16, id & 0xFFFF);
    snprintf(chosen, size, "%s", serials[0]);
    return 0;
}

static int demo_pins(void* dev, const char* serial) {
    static const uint8_t walk[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x00};
    if (toggleSingleBit(dev, 0, 0, 0) != 0) return -1;
    demo_show_wire(serial, "toggleSingleBit(pin 0): a 20-sample high pulse");
    if (toggleSingleBit(dev, 7, 1, 1) != 0) return -1;
    demo_show_wire(serial, "toggleSingleBit(pin 7, low, single edge): one falling edge");
    if (writeCustomPattern(dev, 0xFF, walk, (int32_t)sizeof walk) != (int32_t)sizeof walk) return -1;
    demo_show_wire(serial, "writeCustomPattern: a walking one over pins 0-7");
    return 0;
}

int main(void) {
    char serial[64];
    void* dev = NULL;
    int failures = 0;

    /* The library's messages come through demo_message, which labels the
     * rows of its pattern dumps. */
    qz_setMessageTarget(QZ_MESSAGES_CALLBACK, demo_message, NULL);
    getDLLVersion();

    /* The bench: three FT232R boards, the second attached but not listable. */
    qzsim_clear_bench();
    qzsim_add_device("QZ0001", "QZ simulated FT232R", 1);
    qzsim_add_device("QZ0002", "QZ simulated FT232R (busy)", 0);
    qzsim_add_device("QZ0003", "QZ simulated FT232R", 1);

    if (demo_discovery(serial, sizeof serial) != 0) return 1;
    if (setupFTDIdev(&dev, "NO-SUCH-SERIAL", 1000000) == 0) return 1; /* shows the message */
    if (setupFTDIdev(&dev, serial, 1000000) != 0) return 1;
    printf("opened %s at 1 MBd\n", serial);

    failures += demo_pins(dev, serial) != 0;
    failures += demo_spi(dev, serial) != 0;
    failures += demo_i2c(dev, serial) != 0;
    failures += demo_blocks(dev, serial) != 0;

    closeFTDI(dev);
    qzsim_clear_bench();
    printf("demo %s\n", failures ? "FAILED" : "done");
    return failures ? 1 : 0;
}
