// The D2XX operations as the library calls them: each forwards to the driver
// linked into this binary. Nothing else happens here, so every provider sees
// exactly the calls, arguments and order that the library makes.
#include "d2xx_driver.hpp"

extern "C" {

FT_STATUS FT_ListDevices(void* pArg1, void* pArg2, uint32_t Flags) {
    return qz::activeDriver().listDevices(pArg1, pArg2, Flags);
}

FT_STATUS FT_CreateDeviceInfoList(uint32_t* lpdwNumDevs) {
    return qz::activeDriver().createDeviceInfoList(lpdwNumDevs);
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t dwIndex, uint32_t* lpdwFlags, uint32_t* lpdwType,
                                 uint32_t* lpdwID, uint32_t* lpdwLocId, void* lpSerialNumber,
                                 void* lpDescription, FT_HANDLE* pftHandle) {
    return qz::activeDriver().getDeviceInfoDetail(dwIndex, lpdwFlags, lpdwType, lpdwID, lpdwLocId,
                                                  lpSerialNumber, lpDescription, pftHandle);
}

FT_STATUS FT_OpenEx(void* pArg1, uint32_t Flags, FT_HANDLE* pHandle) {
    return qz::activeDriver().openEx(pArg1, Flags, pHandle);
}

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, uint32_t BaudRate) {
    return qz::activeDriver().setBaudRate(ftHandle, BaudRate);
}

FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, uint8_t ucMask, uint8_t ucEnable) {
    return qz::activeDriver().setBitMode(ftHandle, ucMask, ucEnable);
}

FT_STATUS FT_Purge(FT_HANDLE ftHandle, uint32_t Mask) {
    return qz::activeDriver().purge(ftHandle, Mask);
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToWrite,
                   uint32_t* lpBytesWritten) {
    return qz::activeDriver().write(ftHandle, lpBuffer, dwBytesToWrite, lpBytesWritten);
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, uint32_t* dwRxBytes) {
    return qz::activeDriver().getQueueStatus(ftHandle, dwRxBytes);
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToRead,
                  uint32_t* lpBytesReturned) {
    return qz::activeDriver().read(ftHandle, lpBuffer, dwBytesToRead, lpBytesReturned);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle) { return qz::activeDriver().close(ftHandle); }

FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, uint8_t ucLatency) {
    return qz::activeDriver().setLatencyTimer(ftHandle, ucLatency);
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, uint8_t* pucLatency) {
    return qz::activeDriver().getLatencyTimer(ftHandle, pucLatency);
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, uint32_t ulInTransferSize,
                              uint32_t ulOutTransferSize) {
    return qz::activeDriver().setUSBParameters(ftHandle, ulInTransferSize, ulOutTransferSize);
}

}  // extern "C"
