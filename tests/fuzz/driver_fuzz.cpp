// A D2XX driver whose one device returns fuzz bytes as its read-back. Writes
// are taken whole (their length is what the read-back owes); the read-back
// queue holds as many bytes as were written and not yet read, so the library
// never waits for bytes that will not come. Past the input's end the
// read-back continues with a fill byte. One driver call per case can be made
// to fail: an error status, a short write or a short read.
#include "driver_fuzz.hpp"

#include "d2xx_driver.hpp"

#include <algorithm>
#include <cstring>

namespace qzfuzz {
namespace {

// The one device's handle: any recognisable non-null value.
FT_HANDLE const kHandle = reinterpret_cast<FT_HANDLE>(uintptr_t{0xF022});
constexpr char kSerial[] = "FUZZ0001";

class FuzzDriver : public qz::D2xxDriver {
public:
    void feed(const uint8_t* readback, std::size_t size, uint8_t fill, uint8_t faultCall,
              Fault fault) {
        data_ = readback;
        size_ = size;
        next_ = 0;
        fill_ = fill;
        owed_ = 0;
        callsToFault_ = faultCall;
        fault_ = fault;
    }

    FT_STATUS listDevices(void* arg1, void* arg2, uint32_t flags) override {
        if (flags & FT_LIST_NUMBER_ONLY) {
            if (!arg1) return FT_INVALID_PARAMETER;
            *static_cast<uint32_t*>(arg1) = 1;
            return FT_OK;
        }
        if (reinterpret_cast<uintptr_t>(arg1) != 0) return FT_DEVICE_NOT_FOUND;
        if (!arg2) return FT_INVALID_PARAMETER;
        std::memcpy(arg2, kSerial, sizeof kSerial);
        return FT_OK;
    }
    FT_STATUS createDeviceInfoList(uint32_t* count) override {
        if (!count) return FT_INVALID_PARAMETER;
        *count = 1;
        return FT_OK;
    }
    FT_STATUS getDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                  uint32_t* locId, void* serial, void* description,
                                  FT_HANDLE* handle) override {
        if (index != 0) return FT_DEVICE_NOT_FOUND;
        if (flags) *flags = 0;
        if (type) *type = 5;
        if (id) *id = 0x04036001;
        if (locId) *locId = 0x11;
        if (serial) std::memcpy(serial, kSerial, sizeof kSerial);
        if (description) std::memcpy(description, "fuzz", 5);
        if (handle) *handle = nullptr;
        return FT_OK;
    }
    FT_STATUS openEx(void*, uint32_t, FT_HANDLE* handle) override {
        if (!handle) return FT_INVALID_PARAMETER;
        *handle = kHandle;
        return FT_OK;
    }
    FT_STATUS setBaudRate(FT_HANDLE h, uint32_t) override { return check(h); }
    FT_STATUS setBitMode(FT_HANDLE h, uint8_t, uint8_t) override { return fault(h); }
    FT_STATUS purge(FT_HANDLE h, uint32_t mask) override {
        if (FT_STATUS s = fault(h)) return s;
        if (mask & FT_PURGE_RX) owed_ = 0;
        return FT_OK;
    }
    FT_STATUS write(FT_HANDLE h, void*, uint32_t count, uint32_t* written) override {
        const bool shortWrite = due(Fault::ShortWrite);
        if (FT_STATUS s = fault(h)) return s;
        if (!written) return FT_INVALID_PARAMETER;
        *written = shortWrite ? count / 2 : count;
        owed_ += *written;
        return FT_OK;
    }
    FT_STATUS getQueueStatus(FT_HANDLE h, uint32_t* rx) override {
        if (FT_STATUS s = fault(h)) return s;
        if (!rx) return FT_INVALID_PARAMETER;
        *rx = static_cast<uint32_t>(owed_);
        return FT_OK;
    }
    FT_STATUS read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* got) override {
        const bool shortRead = due(Fault::ShortRead);
        if (FT_STATUS s = fault(h)) return s;
        if (!buffer || !got) return FT_INVALID_PARAMETER;
        uint64_t n = std::min<uint64_t>(count, owed_);
        if (shortRead && n > 0) --n;
        auto* out = static_cast<uint8_t*>(buffer);
        for (uint64_t i = 0; i < n; ++i) out[i] = next_ < size_ ? data_[next_++] : fill_;
        owed_ -= n;
        *got = static_cast<uint32_t>(n);
        return FT_OK;
    }
    FT_STATUS close(FT_HANDLE h) override { return check(h); }
    FT_STATUS setLatencyTimer(FT_HANDLE h, uint8_t ms) override {
        if (FT_STATUS s = fault(h)) return s;
        return ms >= 2 ? FT_OK : FT_INVALID_PARAMETER;
    }
    FT_STATUS getLatencyTimer(FT_HANDLE h, uint8_t* ms) override {
        if (FT_STATUS s = fault(h)) return s;
        if (!ms) return FT_INVALID_PARAMETER;
        *ms = 16;
        return FT_OK;
    }

private:
    static FT_STATUS check(FT_HANDLE h) { return h == kHandle ? FT_OK : FT_INVALID_HANDLE; }

    // Whether this call is the one to fail in the manner `kind` (the counting
    // itself happens in fault()).
    bool due(Fault kind) const { return callsToFault_ == 1 && fault_ == kind; }

    // Counts a device call; the status it must fail with, or FT_OK.
    FT_STATUS fault(FT_HANDLE h) {
        if (FT_STATUS s = check(h)) return s;
        if (callsToFault_ == 0 || --callsToFault_ != 0) return FT_OK;
        switch (fault_) {
            case Fault::IoError: return FT_IO_ERROR;
            case Fault::OtherError: return FT_OTHER_ERROR;
            default: return FT_OK;  // short write / read: the operation does it
        }
    }

    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t next_ = 0;
    uint8_t fill_ = 0xFF;
    uint64_t owed_ = 0;  // written bytes whose read-back is not read yet
    uint8_t callsToFault_ = 0;
    Fault fault_ = Fault::IoError;
};

FuzzDriver& fuzzDriver() {
    static FuzzDriver driver;
    return driver;
}

}  // namespace

void feedDriver(const uint8_t* readback, std::size_t size, uint8_t fill, uint8_t faultCall,
                Fault fault) {
    fuzzDriver().feed(readback, size, fill, faultCall, fault);
}

}  // namespace qzfuzz

// The fuzz device answers every FT_* call of the fuzz targets.
qz::D2xxDriver& qz::activeDriver() { return qzfuzz::fuzzDriver(); }
