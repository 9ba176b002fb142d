/*
 * The D2XX driver operations that QZ_FTDI calls, with the types, status values
 * and constants it passes. Written to match the vendor's binary interface on
 * Windows (LLP64) and Linux (LP64): every status, count, flag and ID is a
 * 32-bit unsigned integer, handles are pointer-sized.
 *
 * The library's own code only calls these functions; a driver provider (the
 * vendor's library loaded at run time, or the simulated chip) defines them.
 */
#ifndef QZ_FTDI_FTD2XX_H
#define QZ_FTDI_FTD2XX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* FT_HANDLE;
typedef uint32_t FT_STATUS;

/* Status values. */
enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18
};

/* FT_ListDevices and FT_OpenEx flags. */
#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_LIST_BY_INDEX 0x40000000u
#define FT_LIST_ALL 0x20000000u
#define FT_OPEN_BY_SERIAL_NUMBER 1u
#define FT_OPEN_BY_DESCRIPTION 2u
#define FT_OPEN_BY_LOCATION 4u

/* FT_SetBitMode modes. */
#define FT_BITMODE_RESET 0x00u
#define FT_BITMODE_ASYNC_BITBANG 0x01u
#define FT_BITMODE_SYNC_BITBANG 0x04u

/* FT_Purge masks. */
#define FT_PURGE_RX 1u
#define FT_PURGE_TX 2u

/* Device types reported by FT_GetDeviceInfoDetail. */
enum {
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_100AX = 2,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8
};

/* The by-index form of FT_ListDevices passes the index in pArg1 itself. */
FT_STATUS FT_ListDevices(void* pArg1, void* pArg2, uint32_t Flags);
FT_STATUS FT_CreateDeviceInfoList(uint32_t* lpdwNumDevs);
FT_STATUS FT_GetDeviceInfoDetail(uint32_t dwIndex, uint32_t* lpdwFlags, uint32_t* lpdwType,
                                 uint32_t* lpdwID, uint32_t* lpdwLocId, void* lpSerialNumber,
                                 void* lpDescription, FT_HANDLE* pftHandle);
FT_STATUS FT_OpenEx(void* pArg1, uint32_t Flags, FT_HANDLE* pHandle);
FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, uint32_t BaudRate);
FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, uint8_t ucMask, uint8_t ucEnable);
FT_STATUS FT_Purge(FT_HANDLE ftHandle, uint32_t Mask);
FT_STATUS FT_Write(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToWrite,
                   uint32_t* lpBytesWritten);
FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, uint32_t* dwRxBytes);
FT_STATUS FT_Read(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToRead,
                  uint32_t* lpBytesReturned);
FT_STATUS FT_Close(FT_HANDLE ftHandle);
/* Optional operations: a driver that lacks them answers FT_NOT_SUPPORTED. */
FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, uint8_t ucLatency);
FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, uint8_t* pucLatency);
/* IN and OUT transfer sizes (multiples of 64, 64 to 65536); discards what
 * the driver holds. Optional: FT_NOT_SUPPORTED from a driver without it. */
FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, uint32_t ulInTransferSize,
                              uint32_t ulOutTransferSize);

#ifdef __cplusplus
}
#endif

#endif /* QZ_FTDI_FTD2XX_H */
