// Running the built sprtool in a scratch directory, STB records by hand, and golden texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

using Args = std::vector<std::string>;

// "<status> <stderr>|<stdout>" of sprtool run with `args` in `dir`.
inline std::string run(const TempDir& dir, Args args, const std::string& in = "") {
    args.insert(args.begin(), SPRTOOL_PATH);
    ProcessResult r = run_process(args, dir.path, in);
    return std::to_string(r.status) + " " + r.err + "|" + r.out;
}

// A record by hand: name[32], texture[8], four 16-bit numbers and 32-bit flags.
inline std::string rec(std::string name, std::string texture, uint32_t u, uint32_t v = 0,
                       uint32_t width = 0, uint32_t height = 0, uint32_t flags = 0) {
    std::string out(40, '\0');
    out.replace(0, name.size(), name).replace(32, texture.size(), texture);
    for (uint32_t x : {u, v, width, height, flags, flags >> 16}) out += {char(x), char(x >> 8)};
    return out;
}

inline std::string row(const std::string& name, int u) {  // a TXT row ending in CR LF
    return '"' + name + "\" t " + std::to_string(u) + " 0 0 0 0x0\r\n";
}

// A long expected text from tests/sprtool/golden/.
inline std::string golden(const std::string& name) {
    return read_file(std::string(GOLDEN_DIR) + "/" + name);
}

// A table with one sprite of each finding the check makes: 0 and 1 overlap, 2
// only touches them, 3 has no width, 4 repeats the name of 0 and reaches past
// a 32 x 32 "chars" image, 5's name holds a double quote, 6's a line break and
// its texture a space.
inline std::string findings_table() {
    return rec("hero", "chars", 0, 0, 10, 10) + rec("hero_b", "chars", 5, 5, 10, 10) +
           rec("edge", "chars", 10, 0, 5, 5) + rec("flat", "chars", 20, 20, 0, 8) +
           rec("hero", "chars", 28, 28, 8, 8) + rec("say \"hi\"", "icons", 0, 0, 4, 4) +
           rec("two\nlines", "ico ns", 8, 0, 4, 4);
}
