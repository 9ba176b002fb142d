// The vendor's D2XX library behind the driver interface. Its binary interface
// is the one ftd2xx.h declares: every status, count, flag and ID a 32-bit
// unsigned integer, handles pointer-sized, the by-index listing's index in the
// first, pointer-sized argument. On Windows the vendor exports __stdcall
// functions, which on x64 is the one calling convention there is.
#include "vendor_driver.hpp"

#include "shared_library.hpp"

#include <cstdio>
#include <new>
#include <utility>

#ifdef _WIN32
#define QZ_D2XX_CALL __stdcall
#else
#define QZ_D2XX_CALL
#endif

namespace qz {
namespace {

// The eleven entry points as the vendor's library exports them.
struct EntryPoints {
    FT_STATUS(QZ_D2XX_CALL* listDevices)(void*, void*, uint32_t) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* createDeviceInfoList)(uint32_t*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* getDeviceInfoDetail)(uint32_t, uint32_t*, uint32_t*, uint32_t*,
                                                 uint32_t*, void*, void*, FT_HANDLE*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* openEx)(void*, uint32_t, FT_HANDLE*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* setBaudRate)(FT_HANDLE, uint32_t) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* setBitMode)(FT_HANDLE, uint8_t, uint8_t) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* purge)(FT_HANDLE, uint32_t) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* write)(FT_HANDLE, void*, uint32_t, uint32_t*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* getQueueStatus)(FT_HANDLE, uint32_t*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* read)(FT_HANDLE, void*, uint32_t, uint32_t*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* close)(FT_HANDLE) = nullptr;
    // Optional: older drivers may lack them.
    FT_STATUS(QZ_D2XX_CALL* setLatencyTimer)(FT_HANDLE, uint8_t) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* getLatencyTimer)(FT_HANDLE, uint8_t*) = nullptr;
    FT_STATUS(QZ_D2XX_CALL* getLibraryVersion)(uint32_t*) = nullptr;
};

// Sets `entry` to the library's function `name`; false if there is none.
template <class Function>
bool resolve(const SharedLibrary& library, const char* name, Function& entry) {
    const SharedLibrary::Symbol symbol = library.symbol(name);
    entry = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

// true once every entry point is resolved.
bool resolveAll(const SharedLibrary& library, EntryPoints& fn) {
    return resolve(library, "FT_ListDevices", fn.listDevices) &&
           resolve(library, "FT_CreateDeviceInfoList", fn.createDeviceInfoList) &&
           resolve(library, "FT_GetDeviceInfoDetail", fn.getDeviceInfoDetail) &&
           resolve(library, "FT_OpenEx", fn.openEx) &&
           resolve(library, "FT_SetBaudRate", fn.setBaudRate) &&
           resolve(library, "FT_SetBitMode", fn.setBitMode) &&
           resolve(library, "FT_Purge", fn.purge) && resolve(library, "FT_Write", fn.write) &&
           resolve(library, "FT_GetQueueStatus", fn.getQueueStatus) &&
           resolve(library, "FT_Read", fn.read) && resolve(library, "FT_Close", fn.close);
}

// The optional entry points, where the library has them.
void resolveOptional(const SharedLibrary& library, EntryPoints& fn) {
    resolve(library, "FT_SetLatencyTimer", fn.setLatencyTimer);
    resolve(library, "FT_GetLatencyTimer", fn.getLatencyTimer);
    resolve(library, "FT_GetLibraryVersion", fn.getLibraryVersion);
}

// Forwards every operation unchanged to the loaded library.
class VendorDriver final : public D2xxDriver {
public:
    VendorDriver(std::unique_ptr<SharedLibrary> library, const EntryPoints& fn)
        : library_(std::move(library)), fn_(fn) {}

    FT_STATUS listDevices(void* arg1, void* arg2, uint32_t flags) override {
        return fn_.listDevices(arg1, arg2, flags);
    }
    FT_STATUS createDeviceInfoList(uint32_t* count) override {
        return fn_.createDeviceInfoList(count);
    }
    FT_STATUS getDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                  uint32_t* locId, void* serial, void* description,
                                  FT_HANDLE* handle) override {
        return fn_.getDeviceInfoDetail(index, flags, type, id, locId, serial, description, handle);
    }
    FT_STATUS openEx(void* arg1, uint32_t flags, FT_HANDLE* handle) override {
        return fn_.openEx(arg1, flags, handle);
    }
    FT_STATUS setBaudRate(FT_HANDLE handle, uint32_t baud) override {
        return fn_.setBaudRate(handle, baud);
    }
    FT_STATUS setBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) override {
        return fn_.setBitMode(handle, mask, mode);
    }
    FT_STATUS purge(FT_HANDLE handle, uint32_t mask) override { return fn_.purge(handle, mask); }
    FT_STATUS write(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* written) override {
        return fn_.write(handle, buffer, count, written);
    }
    FT_STATUS getQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) override {
        return fn_.getQueueStatus(handle, rxBytes);
    }
    FT_STATUS read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) override {
        return fn_.read(handle, buffer, count, got);
    }
    FT_STATUS close(FT_HANDLE handle) override { return fn_.close(handle); }
    FT_STATUS setLatencyTimer(FT_HANDLE handle, uint8_t ms) override {
        return fn_.setLatencyTimer ? fn_.setLatencyTimer(handle, ms) : FT_STATUS{FT_NOT_SUPPORTED};
    }
    FT_STATUS getLatencyTimer(FT_HANDLE handle, uint8_t* ms) override {
        return fn_.getLatencyTimer ? fn_.getLatencyTimer(handle, ms) : FT_STATUS{FT_NOT_SUPPORTED};
    }

    const SharedLibrary& library() const { return *library_; }
    // The vendor's version word 0x00MMmmbb as "M.m.b"; "" if it has none.
    std::string version() const {
        uint32_t word = 0;
        if (!fn_.getLibraryVersion || fn_.getLibraryVersion(&word) != FT_OK) return {};
        char text[32];
        std::snprintf(text, sizeof text, "%x.%x.%x", (word >> 16) & 0xFF, (word >> 8) & 0xFF,
                      word & 0xFF);
        return text;
    }

private:
    std::unique_ptr<SharedLibrary> library_;
    EntryPoints fn_;
};

}  // namespace

const char* vendorLibraryName() {
#ifdef _WIN32
    return "ftd2xx.dll";
#else
    return "libftd2xx.so";
#endif
}

std::unique_ptr<D2xxDriver> loadD2xxLibrary(const char* libraryName) {
    if (!libraryName) return nullptr;
    auto library = std::make_unique<SharedLibrary>(libraryName);
    EntryPoints fn;
    if (!library->loaded() || !resolveAll(*library, fn)) return nullptr;
    resolveOptional(*library, fn);
    return std::make_unique<VendorDriver>(std::move(library), fn);
}

D2xxDriver* vendorDriver() {
    // Loaded on the first driver call, never from the library's entry point,
    // and never unloaded: at process exit the operating system does that, and
    // unloading a library from another one's exit path is not safe on Windows.
    static D2xxDriver* const driver = [] {
        try {
            return loadD2xxLibrary(vendorLibraryName()).release();
        } catch (const std::bad_alloc&) {
            return static_cast<D2xxDriver*>(nullptr);
        }
    }();
    return driver;
}

std::string vendorDriverPath() {
    const auto* driver = dynamic_cast<const VendorDriver*>(vendorDriver());
    return driver ? driver->library().path() : std::string();
}

std::string vendorDriverVersion() {
    const auto* driver = dynamic_cast<const VendorDriver*>(vendorDriver());
    return driver ? driver->version() : std::string();
}

}  // namespace qz
