#include "json_reader.h"

#include <rapidjson/encodings.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "sprite_table.h"

namespace {

// The file, read in blocks and served to the library's reader one byte at a
// time, as its file stream does, with two more duties:
// - UTF-8 is checked a block at a time as it arrives (a run of ASCII a word
//   at a time, every other sequence by the library's own rule), which costs
//   a fraction of the reader's per-byte check; the first bad sequence is
//   noted in `bad_offset` and reported once the reader has passed it.
// - The starts of the last few lines are kept, so that the offset of an
//   error (which the reader may have read a few bytes past) turns into a
//   line and a column (in bytes, from 1).
// A block ends before a sequence that the next block completes, so each
// check sees whole sequences.
struct JsonInput {
    typedef char Ch;
    static constexpr size_t kBlockSize = 65536;
    static constexpr int kLinesKept = 4;
    FILE* in = nullptr;
    char block[kBlockSize + 1];      // + the '\0' that ends the file
    char* current = block;           // the next byte
    char* served_end = block;        // bytes served; [served_end, read_end) waits for the next block
    char* read_end = block;
    size_t block_offset = 0;         // of block[0] in the file
    bool at_end = false;             // served_end holds the '\0' after the last byte
    size_t bad_offset = SIZE_MAX;    // of the first byte that is not UTF-8
    long line = 1;                   // of the next byte, from 1
    size_t line_start[kLinesKept];   // offset of line n's first byte at [n % kLinesKept]

    // Reads the first block and steps over a UTF-8 byte-order mark.
    void open(FILE* file) {
        in = file;
        next_block();
        if (served_end - current >= 3 && std::memcmp(current, "\xEF\xBB\xBF", 3) == 0) {
            for (int i = 0; i < 3; ++i) Take();
        }
        line_start[1] = Tell();
    }

    Ch Peek() const { return *current; }
    Ch Take() {
        Ch c = *current;
        // At the end of the file `current` stays on the '\0' after the last byte.
        if (current != served_end && ++current == served_end && !at_end) next_block();
        if (c == '\n') line_start[++line % kLinesKept] = Tell();
        return c;
    }
    size_t Tell() const { return block_offset + size_t(current - block); }
    // The reader never writes to its input.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

    // True once the reader has taken the first byte that is not UTF-8.
    bool passed_bad() const { return Tell() > bad_offset; }

    // Line and column of `offset`, one of the last few lines read.
    void locate(size_t offset, long* at_line, long* at_column) const {
        long n = line;
        while (n > 1 && n > line - kLinesKept + 1 && line_start[n % kLinesKept] > offset) --n;
        *at_line = n;
        size_t start = line_start[n % kLinesKept];
        *at_column = offset >= start ? long(offset - start) + 1 : 1;
    }

    // Moves past the bytes served, reads the next block and checks it.
    void next_block() {
        const size_t kept = size_t(read_end - served_end);
        block_offset += size_t(served_end - block);
        std::memmove(block, served_end, kept);
        const size_t got = std::fread(block + kept, 1, kBlockSize - kept, in);
        read_end = block + kept + got;
        current = block;
        served_end = read_end;
        if (kept + got < kBlockSize) {
            // fread stops short only at the end of the file or on an error.
            *read_end = '\0';
            at_end = true;
        } else {
            served_end = complete_sequences_end(block, read_end);
        }
        if (bad_offset == SIZE_MAX) check_utf8(block, served_end);
    }

    // The end of the last whole UTF-8 sequence in [begin, end): a lead byte
    // in the last three bytes whose sequence runs past the end waits.
    static char* complete_sequences_end(char* begin, char* end) {
        for (char* p = end; p > begin && end - p < 3;) {
            const unsigned char c = static_cast<unsigned char>(*--p);
            if (c < 0x80) break;
            if (c >= 0xC0) {
                const long length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
                return end - p < length ? p : end;
            }
        }
        return end;
    }

    // Notes the offset of the first sequence in [begin, end) that is not UTF-8.
    void check_utf8(const char* begin, const char* end) {
        const char* p = begin;
        while (p < end) {
            uint64_t word;
            if (end - p >= 8 && (std::memcpy(&word, p, 8), (word & 0x8080808080808080u) == 0)) {
                p += 8;
            } else if (static_cast<unsigned char>(*p) < 0x80) {
                ++p;
            } else {
                BoundedBytes sequence{p, end};
                NoOutput none;
                if (!rapidjson::UTF8<>::Validate(sequence, none)) {
                    bad_offset = block_offset + size_t(p - block);
                    return;
                }
                p = sequence.at;
            }
        }
    }

    // The bytes of [at, end) for the library's UTF-8 check; '\0' beyond.
    struct BoundedBytes {
        typedef char Ch;
        const char* at;
        const char* end;
        Ch Peek() const { return at < end ? *at : '\0'; }
        Ch Take() { return at < end ? *at++ : '\0'; }
    };
    struct NoOutput {
        void Put(char) {}
    };
};

enum Member { NAME, TEXTURE, U, V, WIDTH, HEIGHT, FLAGS, MEMBER_COUNT, OTHER_MEMBER };
const char* const kMemberNames[MEMBER_COUNT] = {"name", "texture", "u",    "v",
                                                "width", "height", "flags"};
const size_t kMemberLengths[MEMBER_COUNT] = {4, 7, 1, 1, 5, 6, 5};

std::string member_text(Member member) {
    return std::string(kMemberNames[member]) + ": ";
}

// The sprite events of the library's reader. Depth 1 is inside the top-level
// array, depth 2 inside a sprite's object; deeper values belong to members
// that are not read.
struct SpriteHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, SpriteHandler> {
    FILE* stb = nullptr;
    const JsonInput* input = nullptr;
    const std::string* path = nullptr;
    ReadReport* report = nullptr;
    bool top_is_array = true;
    int depth = 0;
    long sprite = 0;               // the array element being read, from 1
    Member member = OTHER_MEMBER;  // whose value comes next; OTHER_MEMBER: not read
    bool seen[MEMBER_COUNT] = {};
    SpriteEntry entry = empty_sprite();
    std::string problem;           // the first thing wrong with this sprite

    // Every value passes here first. At depth 0 only the array may come; at
    // depth 1 each value is a sprite.
    bool begin_value(bool is_object, bool is_array) {
        if (depth == 0) {
            top_is_array = is_array;
            return is_array;
        }
        if (depth == 1) {
            ++sprite;
            member = OTHER_MEMBER;
            if (!is_object) warn_sprite("not an object");
            entry = empty_sprite();
            std::memset(seen, 0, sizeof seen);
            problem.clear();
        }
        return true;
    }

    // True when the value at hand is one of the members read.
    bool is_member_value() const { return depth == 2 && member != OTHER_MEMBER; }

    void fail_sprite(const std::string& what) {
        if (problem.empty()) problem = member_text(member) + what;
    }

    void warn_sprite(const std::string& what) {
        std::fprintf(stderr, "WARNING: %s sprite %ld: %s, sprite skipped\n",
                     source_label(*path).c_str(), sprite, what.c_str());
        ++report->skipped;
    }

    // A member value of the wrong type, shown as `what`.
    void wrong_type(const std::string& what) {
        const char* expected = member == NAME || member == TEXTURE ? " is not a string"
                               : member == FLAGS ? " is not a \"0x\" string or an integer"
                                                 : " is not an integer";
        fail_sprite(what + expected);
    }

    void set_text(const char* str, size_t length, char* field, size_t size) {
        // The reader has checked the UTF-8, so decoding cannot fail here.
        rapidjson::StringStream s(str);
        size_t n = 0;
        while (s.Tell() < length) {
            unsigned code = 0;
            rapidjson::UTF8<>::Decode(s, &code);
            if (code > 0xFF) {
                char text[32];
                std::snprintf(text, sizeof text, "U+%04X is above U+00FF", code);
                fail_sprite(text);
                return;
            }
            if (n == size) {
                fail_sprite("longer than " + std::to_string(size) + " bytes");
                return;
            }
            field[n++] = static_cast<char>(code);
        }
    }

    static uint32_t max_of(Member member) { return member == FLAGS ? 0xFFFFFFFFu : 0xFFFFu; }

    // A number member's value, within its range.
    void set_integer(uint64_t value) {
        switch (member) {
        case U: entry.u = static_cast<uint16_t>(value); break;
        case V: entry.v = static_cast<uint16_t>(value); break;
        case WIDTH: entry.width = static_cast<uint16_t>(value); break;
        case HEIGHT: entry.height = static_cast<uint16_t>(value); break;
        default: entry.flags = static_cast<uint32_t>(value); break;
        }
    }

    void set_string(const char* str, size_t length) {
        if (member == NAME) {
            set_text(str, length, entry.name, SPRITE_NAME_SIZE);
        } else if (member == TEXTURE) {
            set_text(str, length, entry.texture, SPRITE_TEXTURE_SIZE);
        } else if (member != FLAGS) {
            wrong_type(quote_text(str, length));
        } else if (length < 3 || length > 10 || std::strncmp(str, "0x", 2) != 0 ||
                   std::strspn(str + 2, "0123456789abcdefABCDEF") != length - 2) {
            fail_sprite(quote_text(str, length) + " is not \"0x\" and 1 to 8 hex digits");
        } else {
            entry.flags = static_cast<uint32_t>(std::strtoul(str + 2, nullptr, 16));
        }
    }

    // A value that no member takes: null, true, false.
    bool plain_value(const char* what) {
        if (!begin_value(false, false)) return false;
        if (is_member_value()) wrong_type(what);
        return true;
    }

    bool Null() { return plain_value("null"); }
    bool Bool(bool b) { return plain_value(b ? "true" : "false"); }

    // Numbers arrive as the text the JSON has (kParseNumbersAsStringsFlag),
    // already checked against the JSON grammar, so that a message shows them
    // as written: 1.0 is no integer although its value is one, and an integer
    // beyond 64 bits is out of range, not a fraction.
    bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
        if (!begin_value(false, false)) return false;
        if (!is_member_value()) return true;
        // Shown at most 32 characters long, like every quoted input text.
        std::string text(str, length < 32 ? length : 32);
        if (length > 32) text += "...";
        if (std::string_view(str, length).find_first_of(".eE") != std::string_view::npos) {
            wrong_type(text);
            return true;
        }
        const bool negative = str[0] == '-';
        uint64_t value = 0;  // stops growing once beyond every range
        for (size_t i = negative ? 1 : 0; i < length; ++i) {
            if (value <= 0xFFFFFFFFu) value = value * 10 + uint64_t(str[i] - '0');
        }
        if (member == NAME || member == TEXTURE) {
            wrong_type(text);
        } else if ((negative && value != 0) || value > max_of(member)) {
            fail_sprite(text + " is out of range 0-" + std::to_string(max_of(member)));
        } else {
            set_integer(value);
        }
        return true;
    }

    bool String(const char* str, rapidjson::SizeType length, bool) {
        if (input->passed_bad()) return false;
        if (!begin_value(false, false)) return false;
        if (is_member_value()) set_string(str, length);
        return true;
    }

    bool Key(const char* str, rapidjson::SizeType length, bool) {
        if (input->passed_bad()) return false;
        if (depth != 2) return true;
        member = OTHER_MEMBER;
        for (int i = 0; i < MEMBER_COUNT; ++i) {
            if (kMemberLengths[i] == length && std::memcmp(str, kMemberNames[i], length) == 0) {
                member = static_cast<Member>(i);
            }
        }
        if (member == OTHER_MEMBER) return true;
        if (seen[member]) fail_sprite("given twice");
        seen[member] = true;
        return true;
    }

    bool begin_container(bool is_object) {
        if (!begin_value(is_object, !is_object)) return false;
        if (is_member_value()) wrong_type(is_object ? "an object" : "an array");
        ++depth;
        return true;
    }

    bool StartObject() { return begin_container(true); }

    bool EndObject(rapidjson::SizeType) {
        if (--depth == 1) finish_sprite();
        return true;
    }

    bool StartArray() { return begin_container(false); }

    bool EndArray(rapidjson::SizeType) {
        --depth;
        return true;
    }

    void finish_sprite() {
        for (int i = 0; i < MEMBER_COUNT && problem.empty(); ++i) {
            if (!seen[i]) problem = member_text(static_cast<Member>(i)) + "missing";
        }
        if (problem.empty()) {
            append_sprite(stb, entry);
        } else {
            warn_sprite(problem);
        }
    }
};

void report_file_error(const std::string& path, const JsonInput& stream, size_t offset,
                       const char* reason) {
    long line, column;
    stream.locate(offset, &line, &column);
    std::string text = reason;
    if (!text.empty() && text.back() == '.') text.pop_back();
    // The library's reasons are sentences; here they follow a colon.
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    std::fprintf(stderr, "ERROR: %s line %ld, column %ld: %s\n", source_label(path).c_str(),
                 line, column, text.c_str());
}

}  // namespace

void read_json(FILE* stb, FILE* in, const std::string& path, ReadReport* report) {
    // Its block is 64 KiB: on the heap, not the stack.
    std::unique_ptr<JsonInput> stream(new JsonInput);
    stream->open(in);
    rapidjson::SkipWhitespace(*stream);
    const size_t top = stream->Tell();

    SpriteHandler handler;
    handler.stb = stb;
    handler.path = &path;
    handler.report = report;
    handler.input = stream.get();
    // Iterative: a deeply nested member costs heap, not stack.
    constexpr unsigned kFlags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::Reader reader;
    rapidjson::ParseResult result = reader.Parse<kFlags>(*stream, handler);
    // The library's stream takes a read error for the end of the file; the
    // caller reports it (finish_source), not a fault of the document.
    if (std::ferror(in)) return;
    // A bad sequence in a string stops the reader at the string's end (or
    // at an error after it); elsewhere the reader stops on it by itself.
    const bool bad_text = stream->passed_bad() &&
                          (result.Code() == rapidjson::kParseErrorTermination ||
                           result.Offset() > stream->bad_offset);
    if (!handler.top_is_array) {
        report_file_error(path, *stream, top, "the top level is not an array");
        ++report->failed_files;
    } else if (bad_text) {
        report_file_error(path, *stream, stream->bad_offset,
                          rapidjson::GetParseError_En(rapidjson::kParseErrorStringInvalidEncoding));
        ++report->failed_files;
    } else if (result.IsError()) {
        report_file_error(path, *stream, result.Offset(),
                          rapidjson::GetParseError_En(result.Code()));
        ++report->failed_files;
    }
}
