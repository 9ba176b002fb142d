/*
 * QZ_FTDI: read and write the registers of SPI and I2C peripherals through the
 * eight GPIO pins of an FTDI chip in synchronous bit-bang mode.
 *
 * Device handles are the D2XX driver's FT_HANDLE (a pointer-sized opaque
 * value); they are written here as void* so that this header stands alone.
 * Results are signed 32-bit integers; -1 means failure unless noted.
 * Compiles as C and as C++.
 */
#ifndef QZ_FTDI_H
#define QZ_FTDI_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QZ_FTDI_BUILD)
#    define QZ_API __declspec(dllexport)
#  else
#    define QZ_API
#  endif
#else
#  define QZ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle to a protocol descriptor (one SPI or I2C peripheral). */
typedef void* PROT_HANDLE;

/* Discovery */
QZ_API int32_t printConnectedDevices(int32_t print2Screen, int32_t returnTotalCount);
QZ_API int32_t getConnectedDevices(char** connectedDevices, uint32_t numDevices);
QZ_API int32_t getDeviceInfo(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* devID,
                             uint32_t* locID, char* description, char* serialNumber,
                             int32_t update);

/* Device connection: results are the driver's status (0 = success). */
QZ_API int32_t setupFTDIdev(void** inHandle, const char* serial, uint32_t baudRate);
QZ_API int32_t closeFTDI(void* dev);

/* Protocol descriptors */
QZ_API int32_t initSPIDev(PROT_HANDLE* inHandle, uint8_t CLKnum, uint8_t CSnum, uint8_t SDInum,
                          uint8_t SDOnum, uint8_t addrBits, uint8_t dataBits, int32_t posedge,
                          int32_t RWbit);
QZ_API int32_t initI2CDev(PROT_HANDLE* inHandle, uint8_t SCL_num, uint8_t SDAw_num,
                          uint8_t SDAr_num, uint8_t addr, uint8_t bytesPerAddr,
                          uint8_t bytesPerReg);
QZ_API int32_t setupOE(PROT_HANDLE* inHandle, uint8_t OEnum, int32_t OEpol);
QZ_API int32_t deleteSPIDev(PROT_HANDLE spi);
QZ_API int32_t deleteI2CDev(PROT_HANDLE i2c);

/* Single-register transfers */
QZ_API int32_t writeSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t data);
QZ_API int32_t readSPI(void* dev, PROT_HANDLE spi, uint32_t addr);
QZ_API int32_t writeI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t data);
QZ_API int32_t readI2C(void* dev, PROT_HANDLE i2c, uint32_t reg);

/* Multi-register transfers: batches (one frame per register) and streams
 * (one frame, address sent once). `write` non-zero writes, 0 reads. */
QZ_API int32_t multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                          uint32_t numRegs, int32_t write);
QZ_API int32_t multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                                uint32_t numRegs, int32_t write);

/* Device-ID registry and register API (IDs 0 to 255) */
QZ_API int32_t mapHandles(void* dev, PROT_HANDLE prot, uint32_t deviceID);
QZ_API int32_t write_reg(uint32_t deviceID, uint32_t reg, uint32_t data);
QZ_API int32_t read_reg(uint32_t deviceID, uint32_t reg);
QZ_API int32_t write_regs(uint32_t deviceID, const uint32_t* reg, const uint32_t* data,
                          uint32_t numRegs);
QZ_API int32_t read_regs(uint32_t deviceID, const uint32_t* reg, uint32_t* data,
                         uint32_t numRegs);
QZ_API int32_t write_reg_stream(uint32_t deviceID, uint32_t reg, const uint32_t* data,
                                uint32_t numRegs);
QZ_API int32_t read_reg_stream(uint32_t deviceID, uint32_t reg, uint32_t* data,
                               uint32_t numRegs);

/* Direct pin patterns */
QZ_API int32_t toggleSingleBit(void* dev, uint8_t bitNum, int32_t toggleLow, int32_t singleEdge);
QZ_API int32_t writeCustomPattern(void* dev, uint8_t MASK, const uint8_t* byteSequence,
                                  int32_t sequenceLen);

/* Diagnostics and identity */
QZ_API int32_t enableDebugPrint(int32_t writeDB, int32_t readDB);
QZ_API int32_t setDebugDelim(char delim);
QZ_API void getDLLVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* QZ_FTDI_H */
