// Bench files through the shipped library's C interface: what a file sets up
// answers on the wire, and every kind of mistake names file, line and key and
// leaves the bench as it was.
#include <QZ_FTDI.h>
#include <qzsim/qzsim.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// CTest runs this program's cases as parallel processes in one working
// directory; each process works in a folder of its own, so that two cases'
// files of one name never meet.
class PrivateFolder : public ::testing::Environment {
public:
    void SetUp() override {
        home_ = std::filesystem::current_path();
        folder_ = std::filesystem::path(::testing::TempDir()) /
                  ("qz_bench_file_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
    }
    void TearDown() override {
        std::filesystem::current_path(home_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

private:
    std::filesystem::path home_, folder_;
};
[[maybe_unused]] ::testing::Environment* const kPrivateFolder =
    ::testing::AddGlobalTestEnvironment(new PrivateFolder);

// Writes `text` to `name` (in the working directory) and loads it.
int32_t loadText(const std::string& name, const std::string& text, std::string* error = nullptr) {
    std::ofstream(name, std::ios::binary) << text;
    char buffer[512] = "";
    const int32_t result = qzsim_load_bench(name.c_str(), buffer, sizeof buffer);
    if (error) *error = buffer;
    std::remove(name.c_str());
    return result;
}

class BenchFile : public ::testing::Test {
protected:
    void SetUp() override { qzsim_clear_bench(); }
    void TearDown() override { qzsim_clear_bench(); }
};

const char* const kBoard = R"(
[[device]]
serial = "QZF001"
description = "file board"
readback_lag = 2

  [[device.spi]]
  clk = 0
  cs = 1
  sdi = 2
  sdo = 3
  address_bits = 7
  data_bits = 16
  registers = { "0x05" = 0xBEEF, "10" = [1, 2] }

  [[device.i2c]]
  scl = 4
  sda_write = 5
  sda_read = 6
  address = 0x50
  registers = { "0x00" = "QZ" }
)";

TEST_F(BenchFile, ChipsOfTheFileAnswerOnTheWire) {
    std::string error;
    ASSERT_EQ(loadText("board.toml", kBoard, &error), 0) << error;
    void* dev = nullptr;
    PROT_HANDLE spi = nullptr, i2c = nullptr;
    ASSERT_EQ(setupFTDIdev(&dev, "QZF001", 1000000), 0);
    ASSERT_EQ(initSPIDev(&spi, 0, 1, 2, 3, 7, 16, 1, 1), 0);
    ASSERT_EQ(initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 1), 0);
    EXPECT_EQ(readSPI(dev, spi, 0x05), 0xBEEF);
    EXPECT_EQ(readSPI(dev, spi, 10), 1);  // an array fills consecutive registers
    EXPECT_EQ(readSPI(dev, spi, 11), 2);
    EXPECT_EQ(readI2C(dev, i2c, 0x00), 'Q');  // a string fills them with its bytes
    EXPECT_EQ(readI2C(dev, i2c, 0x01), 'Z');
    deleteSPIDev(spi);
    deleteI2CDev(i2c);
    closeFTDI(dev);
}

TEST_F(BenchFile, LoopbackCarriesItsPinInTheSameSample) {
    ASSERT_EQ(loadText("loop.toml", "[[device]]\nserial = \"QZL001\"\n"
                                    "[[device.loopback]]\nfrom = 3\nto = 6\n"), 0);
    void* dev = nullptr;
    ASSERT_EQ(setupFTDIdev(&dev, "QZL001", 1000000), 0);
    const uint8_t samples[] = {0x08, 0x00, 0x08, 0x08, 0x00};
    uint8_t readback[sizeof samples] = {};
    EXPECT_EQ(qz_playPattern(dev, 0x08, samples, sizeof samples, readback, nullptr), QZ_OK);
    // Both ends show in one read-back byte: pin 6 reads what pin 3 drove.
    for (const uint8_t levels : readback) EXPECT_EQ((levels >> 6) & 1, (levels >> 3) & 1);
    EXPECT_EQ(readback[2] & 0x48, 0x00);  // the wire follows a falling edge too
    closeFTDI(dev);
}

TEST_F(BenchFile, DeviceReplacesOneOfTheSameSerial) {
    ASSERT_EQ(qzsim_add_device("QZF001", "program's board", 1), 0);
    ASSERT_EQ(loadText("replace.toml", kBoard), 0);
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[QZ_DESCRIPTION_BUFFER_SIZE] = "", serial[QZ_SERIAL_BUFFER_SIZE] = "";
    EXPECT_EQ(getDeviceInfo(0, &flags, &type, &id, &loc, description, serial, 1), 1);
    EXPECT_STREQ(description, "file board");
}

TEST_F(BenchFile, MistakeLeavesTheBenchAsItWas) {
    ASSERT_EQ(qzsim_add_device("KEEP01", "kept", 1), 0);
    const std::string text = std::string(kBoard) + "\n[[device]]\nserial = \"QZF002\"\nlag = 1\n";
    EXPECT_EQ(loadText("half.toml", text), -1);
    EXPECT_EQ(printConnectedDevices(0, 1), 1);
}

TEST_F(BenchFile, LongMessageIsCutToTheCallersBuffer) {
    std::ofstream("cut.toml") << "[[device]]\nserial = \"QZC001\"\nnonsense = 1\n";
    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(qzsim_load_bench("cut.toml", small, sizeof small), -1);
    EXPECT_EQ(std::string(small), "cut.tom");
    EXPECT_EQ(qzsim_load_bench(nullptr, nullptr, 0), -1);
    std::remove("cut.toml");
}

struct Mistake {
    const char* name;
    const char* text;
    const char* message;  // expected at the start of the error, after "name:"
};

const Mistake kMistakes[] = {
    {"unknown_top", "devices = 1\n", "1: devices: unknown key"},
    {"no_device", "# nothing\n", "1: device: the file describes no [[device]]"},
    {"no_serial", "\n[[device]]\ndescription = \"x\"\n", "2: device[0].serial: missing"},
    {"long_serial", "[[device]]\nserial = \"SIXTEEN-CHARS-XX\"\n",
     "2: device[0].serial: a serial number has 1 to 15 characters"},
    {"lag", "[[device]]\nserial = \"A\"\nreadback_lag = 3\n",
     "3: device[0].readback_lag: expected an integer from 0 to 2"},
    {"listable", "[[device]]\nserial = \"A\"\nlistable = \"yes\"\n",
     "3: device[0].listable: expected true or false"},
    {"pin", "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 8\nsda_write = 5\n",
     "4: device[0].i2c[0].scl: expected an integer from 0 to 7"},
    {"address",
     "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\n"
     "address = 0xA0\n",
     "7: device[0].i2c[0].address: expected an integer from 0 to 127"},
    {"wide_value",
     "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\n"
     "address = 0x50\nregisters = { \"0x01\" = 0x100 }\n",
     "8: device[0].i2c[0].registers.0x01: value does not fit the chip's data width"},
    {"register_key",
     "[[device]]\nserial = \"A\"\n[[device.spi]]\nclk = 0\ncs = 1\nsdi = 2\nsdo = 3\n"
     "address_bits = 4\ndata_bits = 8\nregisters = { \"0x10\" = 1 }\n",
     "10: device[0].spi[0].registers.0x10: expected a register number from 0 to 15"},
    {"fault",
     "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\n"
     "address = 0x50\nfault = \"melt\"\n",
     "8: device[0].i2c[0].fault: unknown fault \"melt\""},
    {"twice", "[[device]]\nserial = \"A\"\n[[device]]\nserial = \"A\"\n",
     "3: device[1].serial: serial number \"A\" used twice"},
    {"chips_not_sections", "[[device]]\nserial = \"A\"\nspi = 1\n",
     "3: device[0].spi: expected [[device[0].spi]] sections"},
    {"syntax", "[[device]]\nserial = \n", "2: "},
    {"non_ascii_bare_key", "[[device]]\nserial = \"A\"\n\xC3\xA9 = 1\n",
     "3: a bare key holds only A-Z, a-z, 0-9, '_' and '-'"},
    {"non_ascii_value", "[[device]]\nserial = \"A\"\nlistable = \xD0\x81\n",
     "3: characters outside ASCII belong in strings and comments only"},
    {"control_character", "[[device]]\nserial = \"A\"\nscl = 4\x01'\xC4\xBD\n",
     "3: control character 0x01 (TOML allows tab, line feed and carriage return only)"},
    {"character_the_parser_cannot_classify",
     "[[device]]\nserial = \"A\"\ndescription = \"\"\"a\\\n\xC3\xA9\"\"\"\n",
     "4: the character U+00E9 is not supported in bench files (in a basic string, write the "
     "escape \\u00E9)"},
    {"unknown_profile", "[[device]]\nserial = \"A\"\nprofile = \"FT232X\"\n",
     "3: device[0].profile: unknown profile \"FT232X\" (FT232R, FT232H, FT2232H, FT4232H"},
    {"spi_data_out_on_sda",
     "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\naddress = 0x50\n[[device.spi]]\nclk = 0\ncs = 1\nsdi = 2\n"
     "sdo = 5\naddress_bits = 8\ndata_bits = 8\n",
     "12: device[0].spi[0].sdo: pin 5, which this chip drives, is device[0].i2c[0].sda_write"},
    {"two_chips_drive_one_pin",
     "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\naddress = 0x50\n[[device.spi_flash]]\nclk = 0\ncs = 1\nsdi = 2\n"
     "sdo = 6\n",
     "12: device[0].spi_flash[0].sdo: pin 6, which this chip drives, is driven by device[0].i2c[0]"},
    {"duplicate_i2c_address",
     "[[device]]\nserial = \"A\"\n[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\naddress = 0x50\n[[device.i2c_expander]]\nscl = 4\nsda_write = 5\n"
     "sda_read = 6\naddress = 0x50\n",
     "8: device[0].i2c_expander[0].address: 0x50 is device[0].i2c[0]'s address on this bus too"},
    {"loopback_onto_itself", "[[device]]\nserial = \"A\"\n[[device.loopback]]\nfrom = 2\nto = 2\n",
     "5: device[0].loopback[0].to: a loopback joins two different pins"},
    {"loopback_onto_a_chip",
     "[[device]]\nserial = \"A\"\n[[device.spi]]\nclk = 0\ncs = 1\nsdi = 2\nsdo = 3\n"
     "address_bits = 8\ndata_bits = 8\n[[device.loopback]]\nfrom = 4\nto = 1\n",
     "12: device[0].loopback[0].to: pin 1, which this loopback drives, is device[0].spi[0].cs"},
    {"register_run_past_top",
     "[[device]]\nserial = \"A\"\n[[device.spi]]\nclk = 0\ncs = 1\nsdi = 2\nsdo = 3\n"
     "address_bits = 32\ndata_bits = 8\nregisters = { \"0xFFFFFFFF\" = [1, 2, 3] }\n",
     "10: device[0].spi[0].registers.0xFFFFFFFF: runs past the last register"},
};

class BenchFileMistake : public BenchFile, public ::testing::WithParamInterface<Mistake> {};

TEST_P(BenchFileMistake, NamesFileLineAndKey) {
    const Mistake& m = GetParam();
    const std::string name = std::string(m.name) + ".toml";
    std::string error;
    EXPECT_EQ(loadText(name, m.text, &error), -1);
    EXPECT_EQ(error.rfind(name + ":" + m.message, 0), 0u) << error;
    EXPECT_EQ(printConnectedDevices(0, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, BenchFileMistake, ::testing::ValuesIn(kMistakes),
                         [](const auto& info) { return std::string(info.param.name); });

// Chips sharing an SPI bus under their own chip selects, and I2C chips on one
// bus, are a board that can exist.
TEST_F(BenchFile, SharedBusesAreNoClash) {
    const std::string spi = "clk = 0\nsdi = 2\nsdo = 3\n";
    const std::string text = "[[device]]\nserial = \"A\"\nprofile = \"FT232H\"\n"
                             "[[device.spi]]\ncs = 1\naddress_bits = 8\ndata_bits = 8\n" + spi +
                             "[[device.spi_flash]]\ncs = 7\nmode = 3\n" + spi +
                             "[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\naddress = 0x50\n" + "[[device.i2c_expander]]\nscl = 4\nsda_write = 5\n"
                             "sda_read = 6\naddress = 0x20\n";
    std::string error;
    ASSERT_EQ(loadText("shared.toml", text, &error), 0) << error;
    // The FT232H profile lists as one: its type, and high speed.
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[QZ_DESCRIPTION_BUFFER_SIZE] = "", serial[QZ_SERIAL_BUFFER_SIZE] = "";
    EXPECT_EQ(getDeviceInfo(0, &flags, &type, &id, &loc, description, serial, 1), 1);
    EXPECT_EQ(type, 8u);  // FT_DEVICE_232H
    EXPECT_EQ(flags & 2u, 2u);  // FT_FLAGS_HISPEED
    EXPECT_EQ(id, 0x04036014u);
    EXPECT_STREQ(description, "QZ simulated FT232H");
}

// A timed FT232R clocks its samples in bursts at 16 x baud: at 31,250 baud
// a sample lasts 2 us, so SCL's low and high phases (one sample at the least)
// suit a fast-mode chip and are too short for a standard-mode one, which then
// acknowledges nothing.
struct SpeedCase {
    const char* speed;
    bool answers;
};

class BenchFileI2CSpeed : public BenchFile, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(BenchFileI2CSpeed, ChipClockedBeyondItsModeFails) {
    const std::string text = std::string("[[device]]\nserial = \"SPEED\"\ntimed = true\n"
                                         "[[device.i2c]]\nscl = 4\nsda_write = 5\nsda_read = 6\n"
                                         "address = 0x50\nregisters = { \"0x10\" = 0x5C }\nspeed = \"") +
                             GetParam().speed + "\"\n";
    std::string error;
    ASSERT_EQ(loadText("speed.toml", text, &error), 0) << error;
    void* dev = nullptr;
    PROT_HANDLE i2c = nullptr;
    ASSERT_EQ(setupFTDIdev(&dev, "SPEED", 31250), 0);
    ASSERT_EQ(initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 1), 0);
    EXPECT_EQ(readI2C(dev, i2c, 0x10) == 0x5C, GetParam().answers);
    deleteI2CDev(i2c);
    closeFTDI(dev);
}

INSTANTIATE_TEST_SUITE_P(Table, BenchFileI2CSpeed,
                         ::testing::Values(SpeedCase{"fast", true}, SpeedCase{"standard", false},
                                           SpeedCase{"unchecked", true}),
                         [](const auto& info) {
                             std::string name = info.param.speed;
                             std::erase(name, '-');
                             return name;
                         });

TEST_F(BenchFile, LongDottedKeyIsRefusedBeforeParsing) {
    std::string key = "a";
    for (int i = 0; i < 300000; ++i) key += ".a";
    std::string error;
    EXPECT_EQ(loadText("dotted.toml", "[[device]]\nserial = \"A\"\n" + key + " = 1\n", &error),
              -1);
    EXPECT_EQ(error.rfind("dotted.toml:3: a key has more than", 0), 0u) << error;
}

TEST_F(BenchFile, FailedLoadRestoresTheDeviceItWouldReplace) {
    ASSERT_EQ(qzsim_add_device("KEEP", "kept", 1), 0);
    const int32_t chip = qzsim_attach_spi("KEEP", 0, 1, 2, 3, 8, 8, 1, 1);
    ASSERT_EQ(qzsim_set_register(chip, 5, 0x42), 0);
    void* dev = nullptr;
    PROT_HANDLE spi = nullptr;
    ASSERT_EQ(setupFTDIdev(&dev, "KEEP", 1000000), 0);
    ASSERT_EQ(initSPIDev(&spi, 0, 1, 2, 3, 8, 8, 1, 1), 0);
    const std::string text =
        "[[device]]\nserial = \"KEEP\"\n[[device]]\nserial = \"B\"\n"
        "pin_names = { \"0\" = \"two words\" }\n";  // refused only when set up
    EXPECT_EQ(loadText("replace_fails.toml", text), -1);
    EXPECT_EQ(readSPI(dev, spi, 5), 0x42);  // the open handle still reaches the chip
    closeFTDI(dev);
    ASSERT_EQ(setupFTDIdev(&dev, "KEEP", 1000000), 0);
    EXPECT_EQ(readSPI(dev, spi, 5), 0x42);
    deleteSPIDev(spi);
    closeFTDI(dev);
}

#ifndef _WIN32
TEST_F(BenchFile, FifoIsRefusedWithoutWaiting) {
    ::unlink("bench.fifo");
    ASSERT_EQ(::mkfifo("bench.fifo", 0600), 0);
    char error[256] = "";
    EXPECT_EQ(qzsim_load_bench("bench.fifo", error, sizeof error), -1);
    EXPECT_STREQ(error, "bench.fifo: not a regular file");
    ::unlink("bench.fifo");
}
#endif

TEST_F(BenchFile, MissingFileNamesTheFile) {
    char error[256] = "";
    EXPECT_EQ(qzsim_load_bench("no-such-bench.toml", error, sizeof error), -1);
    EXPECT_EQ(std::string(error).rfind("no-such-bench.toml: ", 0), 0u) << error;
}

// A flash (one sector erased over a byte the file programmed) and a port
// expander's latch come back from a state file onto the board loaded afresh.
TEST_F(BenchFile, StateKeepsEveryChipsContentsAcrossRuns) {
    const std::string board =
        "[[device]]\nserial = \"QZT001\"\n"
        "[[device.spi_flash]]\nclk = 0\ncs = 1\nsdi = 2\nsdo = 3\nsize = 8192\n"
        "registers = { \"0x10\" = 0x12, \"0x1000\" = 0x34 }\n"
        "[[device.i2c_expander]]\nscl = 4\nsda_write = 5\nsda_read = 6\naddress = 0x20\n";
    ASSERT_EQ(loadText("state_board.toml", board), 0);
    void* dev = nullptr;
    PROT_HANDLE spi = nullptr;
    ASSERT_EQ(setupFTDIdev(&dev, "QZT001", 1000000), 0);
    ASSERT_EQ(initSPIDev(&spi, 0, 1, 2, 3, 8, 8, 1, 0), 0);
    const uint8_t writeEnable = 0x06, eraseSector0[] = {0x20, 0, 0, 0};
    ASSERT_EQ(qz_spiTransfer(dev, spi, &writeEnable, nullptr, 1, 0, nullptr), QZ_OK);
    ASSERT_EQ(qz_spiTransfer(dev, spi, eraseSector0, nullptr, 4, 0, nullptr), QZ_OK);
    deleteSPIDev(spi);
    closeFTDI(dev);
    const int32_t expander = 1;  // chips take IDs in the file's order
    ASSERT_EQ(qzsim_set_register(expander, 0, 0x5A), 0);
    char error[256] = "";
    ASSERT_EQ(qzsim_save_state("board.state", error, sizeof error), 0) << error;

    qzsim_clear_bench();
    ASSERT_EQ(loadText("state_board.toml", board), 0);
    ASSERT_EQ(qzsim_load_state("board.state", error, sizeof error), 0) << error;
    uint32_t erased = 0, kept = 0, latch = 0;
    EXPECT_EQ(qzsim_get_register(0, 0x10, &erased), 0);
    EXPECT_EQ(qzsim_get_register(0, 0x1000, &kept), 0);
    EXPECT_EQ(qzsim_get_register(expander, 0, &latch), 0);
    EXPECT_EQ(erased, 0xFFu);
    EXPECT_EQ(kept, 0x34u);
    EXPECT_EQ(latch, 0x5Au);
    std::remove("board.state");
}

struct DamagedState {
    const char* name;
    const char* text;
    const char* message;  // after "NAME.state:"
};

// Each after a good first chip (lines 1-4), which must stay as the bench has it.
const DamagedState kDamagedStates[] = {
    {"not_a_state", "[[device]]\n", "1: not a simulator state file"},
    {"other_device", "device QZX999\n", "5: device QZX999 is not on the bench"},
    {"other_chip", "chip 1 i2c_expander\n", "5: chip 1 i2c_expander is not on device QZF001"},
    {"bad_value", "0x00000006 0xBEEF 12\n", "5: 12: expected a value (0x...)"},
    {"orphan_registers", "device QZF001\n0x00 0x01\n", "6: registers before their chip"},
};

class BenchStateDamaged : public BenchFile, public ::testing::WithParamInterface<DamagedState> {};

// A damaged state names file and line, and changes no chip.
TEST_P(BenchStateDamaged, NamesFileAndLine) {
    ASSERT_EQ(loadText("board.toml", kBoard), 0);
    const DamagedState& d = GetParam();
    const std::string name = std::string(d.name) + ".state";
    const bool headed = d.text[0] != '[';
    std::ofstream(name, std::ios::binary)
        << (headed ? "qzsim-state 1\ndevice QZF001\nchip 0 spi\n0x05 0x01\n" : "") << d.text;
    char error[256] = "";
    EXPECT_EQ(qzsim_load_state(name.c_str(), error, sizeof error), -1);
    EXPECT_EQ(std::string(error).rfind(name + ":" + d.message, 0), 0u) << error;
    uint32_t value = 0;
    EXPECT_EQ(qzsim_get_register(0, 0x05, &value), 0);
    EXPECT_EQ(value, 0xBEEFu);
    std::remove(name.c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, BenchStateDamaged, ::testing::ValuesIn(kDamagedStates),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
