// Many threads on the library at once, as host programs (LabVIEW, Python,
// test executives) call it: one thread per device doing every kind of
// transfer, two threads sharing one device, an ID rebound while another
// thread reads through it, the debug switches toggled, several threads each
// opening and closing its own device over and over while the others transfer,
// and the device list read meanwhile. It runs on the shipped library (the
// providers' dispatcher in front of the bench). Built under ThreadSanitizer
// (the `tsan` preset) this also proves the absence of data races.
//
// Passes (exit 0) when every value read equals what was written, every result
// that says success is true, and every worker made progress.
//
//   qz_concurrency_test [seconds] [sequential]
// seconds defaults to 4; `sequential` runs the workers one after another (the
// rebinder left out), which checks the checks themselves on one thread.
#include "QZ_FTDI.h"
#include "qzsim/qzsim.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stopping{false};
std::atomic<uint64_t> failures{0};
std::mutex reportMutex;

// Records a wrong result; the first few are described on stderr.
bool expect(bool ok, const std::string& worker, const char* what, int64_t got, int64_t want) {
    if (ok) return true;
    if (failures.fetch_add(1) < 20) {
        std::lock_guard<std::mutex> lock(reportMutex);
        std::fprintf(stderr, "%s: %s: got %lld, expected %lld\n", worker.c_str(), what,
                     static_cast<long long>(got), static_cast<long long>(want));
    }
    return false;
}

// Wiring shared by every board of the test: an SPI register chip on pins 0-3
// (8 address bits, 16 data bits) and an I2C register chip at 0x50 on pins 4-6
// (1 register byte, 2 data bytes).
constexpr uint8_t kClk = 0, kCs = 3, kSdi = 1, kSdo = 2;
constexpr uint8_t kScl = 4, kSdaW = 5, kSdaR = 6, kI2cAddr = 0x50;
// A second SPI wiring on the upper pins, for the ID-rebinding check: a device
// read with the other binding's descriptor finds no chip there.
constexpr uint8_t kClkHi = 4, kCsHi = 7, kSdiHi = 5, kSdoHi = 6;

struct Board {
    std::string serial;
    int32_t spiChip = -1;
    int32_t i2cChip = -1;
};

Board addBoard(const std::string& serial) {
    Board b{serial};
    qzsim_add_device(serial.c_str(), "concurrency board", 1);
    b.spiChip = qzsim_attach_spi(serial.c_str(), kClk, kCs, kSdi, kSdo, 8, 16, 1, 1);
    b.i2cChip = qzsim_attach_i2c(serial.c_str(), kScl, kSdaW, kSdaR, kI2cAddr, 1, 2);
    return b;
}

void* openDevice(const std::string& serial) {
    void* dev = nullptr;
    return setupFTDIdev(&dev, serial.c_str(), 1000000) == 0 ? dev : nullptr;
}

PROT_HANDLE makeSPI(uint8_t clk, uint8_t cs, uint8_t sdi, uint8_t sdo) {
    PROT_HANDLE spi = nullptr;
    initSPIDev(&spi, clk, cs, sdi, sdo, 8, 16, 1, 1);
    return spi;
}

PROT_HANDLE makeI2C() {
    PROT_HANDLE i2c = nullptr;
    initI2CDev(&i2c, kScl, kSdaW, kSdaR, kI2cAddr, 1, 2);
    return i2c;
}

// A changing 16-bit value, never 0xFFFF (what an absent SPI chip reads).
uint32_t nextValue(uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % 0xFFFFu;
}

constexpr uint32_t kBatch = 6;

struct Counter {
    std::atomic<uint64_t> ops{0};
};

// Every kind of transfer, one after another, on one protocol of one device
// through the device handle and through a device ID; registers [base,
// base + kBatch) are this worker's alone.
void transferAll(const std::string& name, void* dev, PROT_HANDLE prot, bool spi, uint32_t id,
                 uint32_t base, uint32_t seed, Counter& counter) {
    mapHandles(dev, prot, id);
    while (!stopping.load(std::memory_order_relaxed)) {
        // single register
        const uint32_t v = nextValue(seed);
        expect(write_reg(id, base, v) == 0, name, "write_reg", 0, 0);
        const int32_t got = read_reg(id, base);
        expect(got == static_cast<int32_t>(v), name, "read_reg", got, v);

        // batch
        uint32_t regs[kBatch], values[kBatch], back[kBatch] = {};
        for (uint32_t i = 0; i < kBatch; ++i) {
            regs[i] = base + (i * 5) % kBatch;  // out of order on purpose
            values[i] = nextValue(seed);
        }
        // Registers repeat nowhere: each value lands where it is read from.
        int32_t r = multiRegRW(dev, prot, regs, values, kBatch, 1);
        expect(r == 0, name, "multiRegRW write", r, 0);
        r = multiRegRW(dev, prot, regs, back, kBatch, 0);
        expect(r == 0, name, "multiRegRW read", r, 0);
        for (uint32_t i = 0; i < kBatch; ++i)
            expect(back[i] == values[i], name, "multiRegRW value", back[i], values[i]);

        // stream
        for (uint32_t i = 0; i < kBatch; ++i) values[i] = nextValue(seed);
        r = write_reg_stream(id, base, values, kBatch);
        expect(r == 0, name, "write_reg_stream", r, 0);
        r = multiRegStreamRW(dev, prot, base, back, kBatch, 0);
        expect(r == 0, name, "multiRegStreamRW read", r, 0);
        for (uint32_t i = 0; i < kBatch; ++i)
            expect(back[i] == values[i], name, "stream value", back[i], values[i]);

        // batch through the ID, then single transfers through the handle
        for (uint32_t i = 0; i < kBatch; ++i) values[i] = nextValue(seed);
        r = write_regs(id, regs, values, kBatch);
        expect(r == 0, name, "write_regs", r, 0);
        r = read_regs(id, regs, back, kBatch);
        expect(r == 0, name, "read_regs", r, 0);
        for (uint32_t i = 0; i < kBatch; ++i)
            expect(back[i] == values[i], name, "read_regs value", back[i], values[i]);
        r = read_reg_stream(id, base, back, kBatch);
        expect(r == 0, name, "read_reg_stream", r, 0);
        for (uint32_t i = 0; i < kBatch; ++i)
            expect(back[regs[i] - base] == values[i], name, "read_reg_stream value",
                   back[regs[i] - base], values[i]);

        const PROT_HANDLE p = prot;
        const uint32_t w = nextValue(seed);
        r = spi ? writeSPI(dev, p, base + 1, w) : writeI2C(dev, p, base + 1, w);
        expect(r == 0, name, "single write", r, 0);
        r = spi ? readSPI(dev, p, base + 1) : readI2C(dev, p, base + 1);
        expect(r == static_cast<int32_t>(w), name, "single read", r, w);
        counter.ops.fetch_add(1, std::memory_order_relaxed);
    }
}

// Two threads sharing one device without a lock of their own: each writes and
// reads back its own registers; the library must keep their transactions
// whole.
void sharedDeviceWorker(const std::string& name, void* dev, PROT_HANDLE spi, uint32_t base,
                        uint32_t seed, Counter& counter) {
    while (!stopping.load(std::memory_order_relaxed)) {
        const uint32_t v = nextValue(seed);
        int32_t r = writeSPI(dev, spi, base, v);
        expect(r == 0, name, "writeSPI", r, 0);
        r = readSPI(dev, spi, base);
        expect(r == static_cast<int32_t>(v), name, "readSPI", r, v);
        uint32_t regs[kBatch], values[kBatch], back[kBatch] = {};
        for (uint32_t i = 0; i < kBatch; ++i) {
            regs[i] = base + 1 + i;
            values[i] = nextValue(seed);
        }
        r = multiRegRW(dev, spi, regs, values, kBatch, 1);
        expect(r == 0, name, "multiRegRW write", r, 0);
        r = multiRegStreamRW(dev, spi, base + 1, back, kBatch, 0);
        expect(r == 0, name, "multiRegStreamRW read", r, 0);
        for (uint32_t i = 0; i < kBatch; ++i)
            expect(back[i] == values[i], name, "shared value", back[i], values[i]);
        counter.ops.fetch_add(1, std::memory_order_relaxed);
    }
}

// The shared device's low-latency mode switched on and off while its two
// threads transfer: a switch waits for the transaction in progress, and every
// transaction sees the mode whole (padded or not, purged or not).
void lowLatencyToggler(void* dev, Counter& counter) {
    int32_t on = 1;
    while (!stopping.load(std::memory_order_relaxed)) {
        int32_t r = setLowLatency(dev, on);
        expect(r == 0, "low-latency toggler", "setLowLatency", r, 0);
        r = getLowLatency(dev);
        expect(r == on, "low-latency toggler", "getLowLatency", r, on);
        on ^= 1;
        counter.ops.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Register contents of the two rebinding boards: distinct on every register,
// so a read that mixed one binding's device with the other's descriptor (no
// chip on those pins) can be told apart from both.
uint32_t contentA(uint32_t reg) { return 0x1000 + reg; }
uint32_t contentB(uint32_t reg) { return 0x2000 + reg; }
constexpr uint32_t kRebindID = 200;

void rebinder(void* devA, PROT_HANDLE spiA, void* devB, PROT_HANDLE spiB, Counter& counter) {
    while (!stopping.load(std::memory_order_relaxed)) {
        expect(mapHandles(devA, spiA, kRebindID) == 0, "rebinder", "mapHandles A", -1, 0);
        expect(mapHandles(devB, spiB, kRebindID) == 0, "rebinder", "mapHandles B", -1, 0);
        counter.ops.fetch_add(1, std::memory_order_relaxed);
    }
}

// Every successful read through the rebound ID must come from one binding.
void reboundReader(Counter& counter) {
    uint32_t seed = 99;
    while (!stopping.load(std::memory_order_relaxed)) {
        const uint32_t reg = nextValue(seed) % 32;
        const int32_t v = read_reg(kRebindID, reg);
        expect(v == static_cast<int32_t>(contentA(reg)) ||
                   v == static_cast<int32_t>(contentB(reg)),
               "rebound reader", "read_reg", v, contentA(reg));
        uint32_t back[4] = {};
        const int32_t r = read_reg_stream(kRebindID, reg, back, 4);
        expect(r == 0, "rebound reader", "read_reg_stream", r, 0);
        const bool fromA = back[0] == contentA(reg);
        for (uint32_t i = 0; i < 4; ++i) {
            const uint32_t want = fromA ? contentA(reg + i) : contentB(reg + i);
            expect(back[i] == want, "rebound reader", "stream from one binding", back[i], want);
        }
        counter.ops.fetch_add(1, std::memory_order_relaxed);
    }
}

// The pattern dumps switched on and off and their delimiter changed while
// everybody transfers (the dumps go to standard output, sent to /dev/null).
void debugToggler(Counter& counter) {
    const char delims[] = {'n', 't', 'c', 's'};
    unsigned i = 0;
    while (!stopping.load(std::memory_order_relaxed)) {
        enableDebugPrint(i % 8 == 0, i % 8 == 4);
        setDebugDelim(delims[i % 4]);
        ++i;
        counter.ops.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    enableDebugPrint(0, 0);
}

// Opens its own device, sets and reads its latency timer, writes and reads a
// register, closes it, over and over, while the others transfer on theirs.
// The value must have landed in this board's chip, not in another's.
void openCloseChurner(const Board& board, Counter& counter) {
    PROT_HANDLE spi = makeSPI(kClk, kCs, kSdi, kSdo);
    const std::string name = "churner " + board.serial;
    uint32_t seed = static_cast<uint32_t>(board.spiChip) + 7;
    while (!stopping.load(std::memory_order_relaxed)) {
        void* dev = openDevice(board.serial);
        if (!expect(dev != nullptr, name, "setupFTDIdev", 0, 1)) break;
        const uint8_t ms = static_cast<uint8_t>(2 + nextValue(seed) % 200);
        expect(setLatencyTimer(dev, ms) == 0, name, "setLatencyTimer", -1, 0);
        const int32_t timer = getLatencyTimer(dev);
        expect(timer == ms, name, "getLatencyTimer", timer, ms);
        const uint32_t v = nextValue(seed);
        int32_t r = writeSPI(dev, spi, 3, v);
        expect(r == 0, name, "writeSPI", r, 0);
        r = readSPI(dev, spi, 3);
        expect(r == static_cast<int32_t>(v), name, "readSPI", r, v);
        const int32_t closed = closeFTDI(dev);
        expect(closed == 0, name, "closeFTDI", closed, 0);
        uint32_t inChip = 0;
        qzsim_get_register(board.spiChip, 3, &inChip);
        expect(inChip == v, name, "value in the board's chip", inChip, v);
        counter.ops.fetch_add(1, std::memory_order_relaxed);
    }
    deleteSPIDev(spi);
}

// Counts and lists the devices, and reads every entry's details, while the
// others open, close and transfer: the bench never changes, so every count is
// `devices` and every serial one of the bench's.
void lister(uint32_t devices, Counter& counter) {
    std::vector<std::vector<char>> serials(devices, std::vector<char>(QZ_SERIAL_BUFFER_SIZE));
    std::vector<char*> entries;
    for (auto& s : serials) entries.push_back(s.data());
    while (!stopping.load(std::memory_order_relaxed)) {
        int32_t n = printConnectedDevices(0, 1);
        expect(n == static_cast<int32_t>(devices), "lister", "printConnectedDevices", n, devices);
        n = getConnectedDevices(entries.data(), devices);
        expect(n == 0, "lister", "getConnectedDevices", n, 0);
        uint32_t flags = 0, type = 0, id = 0, loc = 0;
        char description[QZ_DESCRIPTION_BUFFER_SIZE], serial[QZ_SERIAL_BUFFER_SIZE];
        for (uint32_t i = 0; i < devices; ++i) {
            n = getDeviceInfo(i, &flags, &type, &id, &loc, description, serial, i == 0);
            expect(n == static_cast<int32_t>(i == 0 ? devices : 0), "lister", "getDeviceInfo", n,
                   i == 0 ? devices : 0);
            expect(serial[0] != '\0', "lister", "getDeviceInfo serial", 0, 1);
        }
        counter.ops.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
    const bool sequential = argc > 2 && std::string(argv[2]) == "sequential";
    // The pattern dumps of the toggler are not what this program checks.
#ifdef _WIN32
    if (!std::freopen("NUL", "w", stdout)) return 2;
#else
    if (!std::freopen("/dev/null", "w", stdout)) return 2;
#endif

    qzsim_clear_bench();
    constexpr int kOwnBoards = 3;
    std::vector<Board> own;
    for (int i = 0; i < kOwnBoards; ++i) own.push_back(addBoard("OWN" + std::to_string(i)));
    const Board shared = addBoard("SHARED");
    const Board boardA = addBoard("BINDA");
    qzsim_add_device("BINDB", "concurrency board", 1);
    const int32_t chipB =
        qzsim_attach_spi("BINDB", kClkHi, kCsHi, kSdiHi, kSdoHi, 8, 16, 1, 1);
    constexpr int kChurners = 4;
    std::vector<Board> churn;
    for (int i = 0; i < kChurners; ++i) churn.push_back(addBoard("CHURN" + std::to_string(i)));
    const uint32_t benchDevices = kOwnBoards + 3 + kChurners;
    for (uint32_t reg = 0; reg < 40; ++reg) {
        qzsim_set_register(boardA.spiChip, reg, contentA(reg));
        qzsim_set_register(chipB, reg, contentB(reg));
    }

    std::vector<void*> devices;
    std::vector<PROT_HANDLE> descriptors;
    auto open = [&](const std::string& serial) {
        void* dev = openDevice(serial);
        if (!dev) {
            std::fprintf(stderr, "cannot open %s\n", serial.c_str());
            std::exit(2);
        }
        devices.push_back(dev);
        return dev;
    };
    auto keep = [&](PROT_HANDLE p) {
        descriptors.push_back(p);
        return p;
    };

    std::vector<std::thread> threads;
    // Concurrently: all workers start now and run until `seconds` have
    // passed. Sequentially: each worker runs alone for a share of the time.
    const double share = seconds / 15;
    auto launch = [&](auto&&... args) {
        threads.emplace_back(std::forward<decltype(args)>(args)...);
        if (!sequential) return;
        std::this_thread::sleep_for(std::chrono::duration<double>(share));
        stopping = true;
        threads.back().join();
        threads.pop_back();
        stopping = false;
    };
    std::vector<std::pair<std::string, Counter*>> counters;
    auto counter = [&](const std::string& name) {
        counters.emplace_back(name, new Counter);
        return counters.back().second;
    };

    for (int i = 0; i < kOwnBoards; ++i) {
        void* dev = open(own[static_cast<size_t>(i)].serial);
        const auto id = static_cast<uint32_t>(10 + 2 * i);
        const std::string spiName = "own SPI " + std::to_string(i);
        const std::string i2cName = "own I2C " + std::to_string(i);
        // SPI and I2C of one board run on two threads: the I2C worker uses
        // registers from 0x80 up, the SPI worker from 0x10.
        launch(transferAll, spiName, dev, keep(makeSPI(kClk, kCs, kSdi, kSdo)),
                             true, id, 0x10u, 1u + static_cast<uint32_t>(i), std::ref(*counter(spiName)));
        launch(transferAll, i2cName, dev, keep(makeI2C()), false, id + 1, 0x80u,
                             11u + static_cast<uint32_t>(i), std::ref(*counter(i2cName)));
    }

    void* sharedDev = open(shared.serial);
    PROT_HANDLE sharedSpi = keep(makeSPI(kClk, kCs, kSdi, kSdo));
    launch(sharedDeviceWorker, "shared 1", sharedDev, sharedSpi, 0x00u, 21u,
                         std::ref(*counter("shared 1")));
    launch(sharedDeviceWorker, "shared 2", sharedDev, sharedSpi, 0x40u, 22u,
                         std::ref(*counter("shared 2")));
    launch(lowLatencyToggler, sharedDev, std::ref(*counter("low-latency")));

    void* devA = open("BINDA");
    void* devB = open("BINDB");
    PROT_HANDLE spiA = keep(makeSPI(kClk, kCs, kSdi, kSdo));
    PROT_HANDLE spiB = keep(makeSPI(kClkHi, kCsHi, kSdiHi, kSdoHi));
    mapHandles(devA, spiA, kRebindID);
    if (!sequential)
        launch(rebinder, devA, spiA, devB, spiB, std::ref(*counter("rebinder")));
    launch(reboundReader, std::ref(*counter("rebound reader")));

    launch(debugToggler, std::ref(*counter("debug toggler")));
    for (const Board& b : churn)
        launch(openCloseChurner, std::cref(b), std::ref(*counter("open/close " + b.serial)));
    launch(lister, benchDevices, std::ref(*counter("lister")));

    if (!sequential) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stopping = true;
    for (auto& t : threads) t.join();

    bool progress = true;
    for (auto& [name, c] : counters) {
        const uint64_t ops = c->ops.load();
        std::fprintf(stderr, "%-16s %8llu rounds\n", name.c_str(),
                     static_cast<unsigned long long>(ops));
        progress = progress && ops > 0;
        delete c;
    }
    for (PROT_HANDLE p : descriptors) deleteSPIDev(p);
    for (void* dev : devices) closeFTDI(dev);
    qzsim_clear_bench();

    std::fprintf(stderr, "wrong results: %llu\n", static_cast<unsigned long long>(failures.load()));
    if (!progress) std::fprintf(stderr, "a worker made no progress\n");
    return failures.load() == 0 && progress ? 0 : 1;
}
