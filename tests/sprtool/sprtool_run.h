// Running the built sprtool in a scratch directory, and STB records by hand.
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
