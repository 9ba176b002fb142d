// The pattern dump, the debug switches and the version banner: exact text.
#include "sim_fixture.hpp"

#include <atomic>
#include <sstream>
#include <thread>

namespace {

class DiagnosticsTest : public SimBench {};

std::string dump(const std::vector<uint8_t>& stream, char delim) {
    return captureStdout(
        [&] { qz::printPattern(stream.data(), static_cast<uint32_t>(stream.size()), delim); });
}

const std::vector<uint8_t> kTwoSamples = {0x01, 0x03};
const std::string kTwoSamplesPlain = "11\n01\n00\n00\n00\n00\n00\n00\n\n";

}  // namespace

TEST_F(DiagnosticsTest, PrintPatternRowsPerPinWithDelimiterAfterEverySample) {
    struct Case {
        std::vector<uint8_t> stream;
        char delim;
        std::string text;
    };
    const Case cases[] = {
        {kTwoSamples, 'n', kTwoSamplesPlain},
        {kTwoSamples, ',', "1,1,\n0,1,\n0,0,\n0,0,\n0,0,\n0,0,\n0,0,\n0,0,\n\n"},
        {{}, 'n', std::string(9, '\n')},
        {{0x80}, ' ', "0 \n0 \n0 \n0 \n0 \n0 \n0 \n1 \n\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, dump(c.stream, c.delim)) << c.delim;
}

TEST_F(DiagnosticsTest, AnyNonZeroSwitchDumpsWithTheCurrentDelimiter) {
    EXPECT_EQ(0, enableDebugPrint(2, 0));
    EXPECT_EQ(kTwoSamplesPlain, captureStdout([] { qz::dumpWritten(kTwoSamples); }));
    EXPECT_EQ("", captureStdout([] { qz::dumpReadBack(kTwoSamples); }));

    EXPECT_EQ(0, setDebugDelim(';'));
    EXPECT_EQ("1;1;\n0;1;\n0;0;\n0;0;\n0;0;\n0;0;\n0;0;\n0;0;\n\n",
              captureStdout([] { qz::dumpWritten(kTwoSamples); }));
    EXPECT_EQ(0, setDebugDelim('n'));
    EXPECT_EQ(kTwoSamplesPlain, captureStdout([] { qz::dumpWritten(kTwoSamples); }));
}

TEST_F(DiagnosticsTest, WriteDumpComesWhateverTheDriverAnswered) {
    FT_HANDLE dev = openDevice();
    enableDebugPrint(1, 0);
    const auto play = [&](bool dump) {
        device().failNthCall(qzsim::Op::Write, 1, FT_IO_ERROR);
        return qz::playSamples(dev, 0xFF, kTwoSamples, qz::PlayOptions{false, std::nullopt, dump},
                               nullptr);
    };
    EXPECT_EQ(kTwoSamplesPlain, captureStdout([&] { EXPECT_FALSE(play(true).ok()); }));
    EXPECT_EQ("", captureStdout([&] { EXPECT_FALSE(play(false).ok()); }));
}

TEST_F(DiagnosticsTest, VersionBannerLeavesTheCursorOnItsLine) {
    EXPECT_EQ("QZ_FTDI DLL Version 1.0.1", captureStdout([] { getDLLVersion(); }));
}

// The delimiter switched on another thread in the middle of dumps: each dump
// is printed with one delimiter throughout, never half one and half the other.
TEST_F(DiagnosticsTest, DelimiterSwitchedDuringDumpsKeepsEachDumpWhole) {
    enableDebugPrint(1, 0);
    const std::vector<uint8_t> stream(64, 0x5A);
    std::atomic<bool> dumping{true};
    std::string out;
    std::thread switcher([&] {
        for (unsigned i = 0; dumping; ++i) setDebugDelim(i & 1 ? ',' : 'n');
    });
    out = captureStdout([&] {
        for (int i = 0; i < 200; ++i) qz::dumpWritten(stream);
    });
    dumping = false;
    switcher.join();
    std::istringstream lines(out);
    std::string line;
    int rows = 0;
    std::size_t width = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) {  // the end of a dump: all its rows alike
            EXPECT_EQ(8, rows);
            rows = 0;
            continue;
        }
        if (rows++ == 0) width = line.size();
        EXPECT_EQ(width, line.size());
        EXPECT_TRUE(line.size() == 64 || line.size() == 128) << line;
    }
}

// Each message target gets the "FTDI Error" of a failed open, and only it:
// stdout, stderr, nowhere, or the callback (one call, no newline, its kind).
TEST_F(DiagnosticsTest, MessagesGoOnlyWhereTheTargetSays) {
    struct Heard {
        int32_t kind = -1;
        std::string text;
        int calls = 0;
    };
    const QZ_MESSAGE_CALLBACK record = [](int32_t kind, const char* text, void* context) {
        auto* heard = static_cast<Heard*>(context);
        heard->kind = kind;
        heard->text = text;
        ++heard->calls;
    };
    const std::string error = "FTDI Error, Cannot open Serial NOPE\n";
    struct Case {
        int32_t target;
        std::string out, err;
        int calls;
    };
    const Case cases[] = {{QZ_MESSAGES_STDOUT, error, "", 0},
                          {QZ_MESSAGES_STDERR, "", error, 0},
                          {QZ_MESSAGES_NONE, "", "", 0},
                          {QZ_MESSAGES_CALLBACK, "", "", 1}};
    for (const Case& c : cases) {
        Heard heard;
        ASSERT_EQ(0, qz_setMessageTarget(c.target, record, &heard));
        EXPECT_EQ(c.target, qz_getMessageTarget());
        testing::internal::CaptureStderr();
        void* handle = nullptr;
        EXPECT_EQ(c.out, captureStdout([&] { EXPECT_NE(0, setupFTDIdev(&handle, "NOPE", 9600)); }));
        std::fflush(stderr);
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.calls, heard.calls);
        if (c.calls) {
            EXPECT_EQ(QZ_MESSAGE_ERROR, heard.kind);
            EXPECT_EQ("FTDI Error, Cannot open Serial NOPE", heard.text);
        }
    }
    EXPECT_EQ(-1, qz_setMessageTarget(QZ_MESSAGES_CALLBACK, nullptr, nullptr));
    EXPECT_EQ(-1, qz_setMessageTarget(4, record, nullptr));
    EXPECT_EQ(QZ_MESSAGES_CALLBACK, qz_getMessageTarget());  // refused: nothing changed
    EXPECT_EQ(0, qz_setMessageTarget(QZ_MESSAGES_STDOUT, nullptr, nullptr));
}
