// TEMPORARY: stand-ins for functions other engineers are implementing on main.
// Deleted as soon as main has them. Never in the final work.
#include <QZ_FTDI.h>
#include <qzsim/qzsim.h>

#include <cstdio>

#ifndef QZ_TEMP_STUBS_SIM_ONLY
namespace {
int32_t fromLegacy(int32_t r, QZ_RESULT* d) {
    if (d) *d = QZ_RESULT{};
    if (r >= 0) return QZ_OK;
    if (r == -1) { if (d) d->status = QZ_DRIVER_ERROR; return QZ_DRIVER_ERROR; }
    if (d) { d->status = QZ_NACK; d->missingAcks = static_cast<uint32_t>(-r); }
    return QZ_NACK;
}
}  // namespace
#endif

extern "C" {
#ifndef QZ_TEMP_STUBS_SIM_ONLY
const char* qz_statusText(int32_t s) {
    static const char* t[] = {"success", "not acknowledged", "bus held or contested", "clock stretched",
                              "frame not found in the read-back", "driver error", "read-back timed out",
                              "device unplugged", "bad argument", "out of memory"};
    return s >= 0 && s < 10 ? t[s] : "unknown status";
}
int32_t setI2CStrictTiming(PROT_HANDLE, int32_t) { return 0; }
int32_t qz_readI2C(void* dev, PROT_HANDLE h, uint32_t reg, uint32_t* v, QZ_RESULT* d) {
    int32_t r = readI2C(dev, h, reg); if (r >= 0) *v = static_cast<uint32_t>(r); return fromLegacy(r, d); }
int32_t qz_writeI2C(void* dev, PROT_HANDLE h, uint32_t reg, uint32_t v, QZ_RESULT* d) {
    return fromLegacy(writeI2C(dev, h, reg, v), d); }
int32_t qz_readSPI(void* dev, PROT_HANDLE h, uint32_t reg, uint32_t* v, QZ_RESULT* d) {
    int32_t r = readSPI(dev, h, reg); if (r >= 0) *v = static_cast<uint32_t>(r); return fromLegacy(r, d); }
int32_t qz_writeSPI(void* dev, PROT_HANDLE h, uint32_t reg, uint32_t v, QZ_RESULT* d) {
    return fromLegacy(writeSPI(dev, h, reg, v), d); }
int32_t qz_multiRegRW(void* dev, PROT_HANDLE h, const uint32_t* r, uint32_t* v, uint32_t n, int32_t w, QZ_RESULT* d) {
    return fromLegacy(multiRegRW(dev, h, r, v, n, w), d); }
int32_t qz_multiRegStreamRW(void* dev, PROT_HANDLE h, uint32_t r, uint32_t* v, uint32_t n, int32_t w, QZ_RESULT* d) {
    return fromLegacy(multiRegStreamRW(dev, h, r, v, n, w), d); }
int32_t qz_i2cScan(void* dev, PROT_HANDLE, uint8_t* present, uint32_t* count, QZ_RESULT* d) {
    *count = 0;
    for (int a = 0; a < 128; ++a) {
        present[a] = 0;
        if (a < 8 || a > 0x77) continue;
        PROT_HANDLE p = nullptr;
        initI2CDev(&p, 4, 5, 6, static_cast<uint8_t>(a), 1, 1);
        int32_t r = readI2C(dev, p, 0);
        deleteI2CDev(p);
        if (r >= 0 || (r != -1 && !((-r) & 1))) { present[a] = 1; ++*count; }
    }
    return fromLegacy(0, d);
}
int32_t qz_i2cRecoverBus(void*, PROT_HANDLE, QZ_RESULT* d) { return fromLegacy(0, d); }
#endif
int32_t qzsim_set_pin_name(const char*, uint8_t, const char*) { return 0; }
int32_t qzsim_set_write_timeout(const char*, uint32_t) { return 0; }
int32_t qzsim_set_timed(const char*, int32_t) { return 0; }
int32_t qzsim_set_custom_profile(const char*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return 0; }
int32_t qzsim_set_trace_limit(const char*, uint32_t) { return 0; }
int32_t qzsim_set_lossy(const char*, int32_t) { return 0; }
int32_t qzsim_set_profile(const char*, const char*) { return 0; }
int32_t qzsim_set_driver_buffer(const char*, uint32_t) { return 0; }
}
