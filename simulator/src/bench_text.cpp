// The text of a bench file, read and checked before the TOML parser sees it.
// Bench files reach every host program through QZ_SIM_BENCH, so they are
// untrusted input: only a regular file is read (a FIFO or a device would
// block the loader for ever), at most kMaxBenchFileBytes of it, and its keys
// are bounded in parts and length (the parser builds one nested table per
// part of a dotted key, on the stack); characters outside ASCII are taken
// only in strings and comments, where TOML allows them.
#include "qzsim/bench_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qzsim {

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
    throw BenchFileError(path + ": " + what);
}

std::string tooLarge() {
    return "larger than " + std::to_string(kMaxBenchFileBytes / 1024) + " KiB";
}

bool bareKeyChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

// A lexer just deep enough to find the keys: strings, comments, arrays,
// inline tables and table headers. Anything it does not understand is left
// for the parser to report.
class KeyScanner {
public:
    KeyScanner(const std::string& text, const std::string& path) : s_(text), path_(path) {}

    void run() {
        controlCharacters();
        bool keyNext = true;  // a line of the top level starts with a key
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (keyNext) {
                keyNext = false;
                skipBlanks();
                if (i_ < s_.size() && s_[i_] == '[' && stack_.empty()) {
                    ++i_;
                    if (i_ < s_.size() && s_[i_] == '[') ++i_;
                }
                key();
                continue;
            }
            switch (c) {
            case '\n':
                ++line_;
                ++i_;
                keyNext = stack_.empty();
                break;
            case '#': skipComment(); break;
            case '"':
            case '\'': skipString(); break;
            case '[': push('['); break;
            case '{':
                push('{');
                keyNext = true;
                break;
            case ']':
            case '}':
                if (!stack_.empty()) stack_.pop_back();
                ++i_;
                break;
            case ',':
                ++i_;
                keyNext = !stack_.empty() && stack_.back() == '{';
                break;
            default:
                // TOML allows other characters in strings and comments only;
                // the parser's own check of them is not sound.
                if (static_cast<unsigned char>(c) >= 0x80)
                    fail("characters outside ASCII belong in strings and comments only");
                ++i_;
                break;
            }
        }
        unreadableCharacters();
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw BenchFileError(path_ + ":" + std::to_string(line_) + ": " + what);
    }

    // TOML allows no control character but tab, line feed and carriage
    // return, not even in strings and comments. With one in the text the
    // parser and this scanner can disagree about where a string ends, and so
    // about where characters outside ASCII stand: outside a string the
    // parser's own check of them is not sound.
    void controlCharacters() {
        for (std::size_t k = 0; k < s_.size(); ++k) {
            const auto c = static_cast<unsigned char>(s_[k]);
            if (c == '\n') ++line_;
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
                char code[8];
                std::snprintf(code, sizeof code, "0x%02X", c);
                fail(std::string("control character ") + code +
                     " (TOML allows tab, line feed and carriage return only)");
            }
        }
        line_ = 1;
    }

    // The TOML parser asks whether a character is whitespace in places this
    // scanner does not follow (inside a multi-line string after a line-ending
    // backslash, in the text it records for a value), and its whitespace
    // table has no answer for the code points below: asking about one of
    // them is undefined behaviour. They are refused wherever they stand; in
    // a basic string they can be written as escapes (\u00E9), which the
    // parser decodes without asking.
    static bool parserCannotClassify(uint32_t c) {
        return (c > 0xA0 && c < 0x49A) || (c >= 0x2C9E && c < 0x3098 && c != 0x3000) ||
               (c >= 0xFC26 && c < 0xFEFF);
    }

    // Decodes each multi-byte UTF-8 sequence as the parser would (its lead
    // byte's bits and the continuation bytes'; a malformed one is left for
    // the parser to refuse) and refuses the code points the parser cannot
    // classify.
    void unreadableCharacters() {
        line_ = 1;
        for (std::size_t k = 0; k < s_.size(); ++k) {
            const auto lead = static_cast<unsigned char>(s_[k]);
            if (lead == '\n') ++line_;
            const std::size_t more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
            if (more == 0 || k + more >= s_.size()) continue;
            uint32_t c = lead & (0x3Fu >> more);
            for (std::size_t m = 1; m <= more; ++m)
                c = (c << 6) | (static_cast<unsigned char>(s_[k + m]) & 0x3Fu);
            if (parserCannotClassify(c)) {
                char code[16];
                std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
                fail(std::string("the character ") + code +
                     " is not supported in bench files (in a basic string, write the escape \\u" +
                     (code + 2) + ")");
            }
            k += more;
        }
    }

    void push(char open) {
        if (stack_.size() >= kMaxBenchNesting)
            fail("arrays and tables nested more than " + std::to_string(kMaxBenchNesting) +
                 " deep");
        stack_.push_back(open);
        ++i_;
    }

    void skipBlanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }

    void skipComment() {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    }

    // A basic or literal string, single- or multi-line; returns its length.
    std::size_t skipString() {
        const char quote = s_[i_];
        const bool multi = s_.compare(i_, 3, std::string(3, quote)) == 0;
        i_ += multi ? 3 : 1;
        const std::size_t start = i_;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == '\\' && quote == '"') {
                i_ += 2;
                continue;
            }
            if (c == '\n') {
                if (!multi) return i_ - start;  // unterminated: the parser says so
                ++line_;
            }
            if (c == quote && (!multi || s_.compare(i_, 3, std::string(3, quote)) == 0)) {
                const std::size_t length = i_ - start;
                i_ += multi ? 3 : 1;
                return length;
            }
            ++i_;
        }
        return i_ - start;
    }

    // A key: parts separated by dots, each bare or quoted. Stops at what
    // follows it ('=', ']', or a mistake the parser will name).
    void key() {
        std::size_t parts = 0;
        for (;;) {
            skipBlanks();
            if (i_ >= s_.size()) return;
            const auto c = static_cast<unsigned char>(s_[i_]);
            std::size_t length = 0;
            if (c == '"' || c == '\'') {
                length = skipString();
            } else if (bareKeyChar(c)) {
                const std::size_t start = i_;
                while (i_ < s_.size() && bareKeyChar(static_cast<unsigned char>(s_[i_]))) ++i_;
                length = i_ - start;
            } else if (c >= 0x80) {
                fail("a bare key holds only A-Z, a-z, 0-9, '_' and '-' (quote other keys)");
            } else {
                return;  // no key here (a blank line, a comment, '=' with no key)
            }
            if (++parts > kMaxBenchKeyParts)
                fail("a key has more than " + std::to_string(kMaxBenchKeyParts) + " dotted parts");
            if (length > kMaxBenchKeyLength)
                fail("a key part is longer than " + std::to_string(kMaxBenchKeyLength) +
                     " characters");
            skipBlanks();
            if (i_ < s_.size() && static_cast<unsigned char>(s_[i_]) >= 0x80)
                fail("a bare key holds only A-Z, a-z, 0-9, '_' and '-' (quote other keys)");
            if (i_ >= s_.size() || s_[i_] != '.') return;
            ++i_;
        }
    }

    const std::string& s_;
    const std::string& path_;
    std::size_t i_ = 0;
    uint32_t line_ = 1;
    std::vector<char> stack_;
};

}  // namespace

std::string readBenchText(const std::string& path) {
    std::string text;
#ifdef _WIN32
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) refuse(path, "no such file");
    if (!std::filesystem::is_regular_file(status)) refuse(path, "not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) refuse(path, "cannot be read");
    text.resize(kMaxBenchFileBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
#else
    // Opened without blocking, then checked on the open file: a FIFO put in
    // its place between a check and the open cannot hold the loader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) refuse(path, std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        refuse(path, "not a regular file");
    }
    if (info.st_size > static_cast<off_t>(kMaxBenchFileBytes)) {
        ::close(fd);
        refuse(path, tooLarge());
    }
    text.resize(kMaxBenchFileBytes + 1);
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
#endif
    if (text.size() > kMaxBenchFileBytes) refuse(path, tooLarge());  // it grew while read
    return text;
}

void checkBenchText(const std::string& text, const std::string& path) {
    KeyScanner(text, path).run();
}

}  // namespace qzsim
