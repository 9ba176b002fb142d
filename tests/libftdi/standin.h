/*
 * Test controls of the libusb-1.0 stand-in (libusb-1.0.so.0 built from
 * libusb_standin.cpp): the devices it shows are the simulated bench's; these
 * set what a real host would add (permissions) and tell what the chip was
 * asked (the baud-rate divisor as it crossed the wire).
 */
#ifndef QZ_USB_STANDIN_H
#define QZ_USB_STANDIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero: libusb_open of that device answers LIBUSB_ERROR_ACCESS, as a
 * device node without a udev rule does. */
void qzusb_standin_deny(const char* serial, int denied);
/* The wValue and wIndex of the last set-baud-rate request to that device;
 * 0, or -1 if it has had none. */
int32_t qzusb_standin_baud_request(const char* serial, uint16_t* value, uint16_t* index);
/* Forgets the permissions and requests above. */
void qzusb_standin_reset(void);

#ifdef __cplusplus
}
#endif

#endif /* QZ_USB_STANDIN_H */
