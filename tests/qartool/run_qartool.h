// Running the built qartool from the end-to-end tests, and the files and records several
// of them lay out or compare.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qar_bytes.h"
#include "test_support.h"

inline ProcessResult qartool(const std::string& cwd, std::vector<std::string> args,
                             const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), QARTOOL_PATH);
    return run_process(args, cwd, "", env);
}

// Runs the built program in cwd; compares its status and both outputs whole.
inline void expect_qartool(const std::string& cwd, const std::vector<std::string>& args,
                           int status, const std::string& out, const std::string& err,
                           const std::vector<std::string>& env = {}) {
    const ProcessResult r = qartool(cwd, args, env);
    EXPECT_EQ(status, r.status) << "exit status";
    EXPECT_EQ(out, r.out) << "standard output";
    EXPECT_EQ(err, r.err) << "standard error";
}

inline std::string replaced(std::string text, const std::string& mark, const std::string& by) {
    for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), by);
    return text;
}

// One command of a golden file: its arguments, what it must end with, and what the test
// checks afterwards (the rest of its status line).
struct GoldenCase {
    std::vector<std::string> args;
    int status = -1;
    std::string then, out, err;
};

// The commands of a golden file, each as "$ <arguments>" ('' for an empty one), "= <status>
// [<what to check afterwards>]", its output lines "> ..." and its error lines "! ...".
// @USAGE@ stands for the usage text, @E...@ for this system's error texts.
inline std::vector<GoldenCase> golden_cases(const std::string& name) {
    const std::string usage = replaced(as_text(read_file(QARTOOL_GOLDEN "/usage.txt")),
                                       "@PROGRAM@", QARTOOL_PATH);
    std::vector<GoldenCase> cases;
    std::istringstream lines(as_text(read_file(QARTOOL_GOLDEN "/" + name)));
    for (std::string line; std::getline(lines, line);) {
        const std::string rest = line.size() > 2 ? line.substr(2) : "";
        if (line.empty() || (line[0] != '$' && cases.empty())) {
            ADD_FAILURE() << name << ": a line that belongs to no command: \"" << line << "\"";
            continue;
        }
        if (line[0] == '$') {
            cases.emplace_back();
            std::istringstream words(rest);
            for (std::string w; words >> w;) cases.back().args.push_back(w == "''" ? "" : w);
        } else if (line[0] == '=') {
            cases.back().status = std::stoi(rest);
            const size_t blank = rest.find(' ');
            cases.back().then = blank == std::string::npos ? "" : rest.substr(blank + 1);
        } else {
            (line[0] == '>' ? cases.back().out : cases.back().err) += rest + "\n";
        }
    }
    EXPECT_FALSE(cases.empty()) << name << " holds no command";
    for (GoldenCase& c : cases) {
        c.out = replaced(c.out, "@USAGE@\n", usage);
        c.err = replaced(c.err, "@EISDIR@", strerror(EISDIR));
        c.err = replaced(c.err, "@ENOTDIR@", strerror(ENOTDIR));
        c.err = replaced(c.err, "@ENOENT@", strerror(ENOENT));
    }
    return cases;
}

// The arguments as a command line, for a failure message.
inline std::string shown(const std::vector<std::string>& args) {
    std::string line = "qartool";
    for (const std::string& a : args) line += " " + a;
    return line;
}

// One line of t's report: the record's name in 17 columns, then its verdict.
inline std::string test_line(const std::string& name, const char* verdict) {
    return name + std::string(name.size() < 17 ? 17 - name.size() : 1, ' ') + verdict + "\n";
}

// Bytes of the given size, different for each seed, that compress well or not at all.
inline std::string sample(size_t size, uint32_t seed, bool compresses) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = compresses ? char('a' + (i / 7 + seed) % 5) : char(x >> 24);
    }
    return s;
}

// Writes each file (a path below root, its bytes), its folders made, with the given time.
inline void write_files(const std::string& root,
                        const std::vector<std::pair<std::string, std::string>>& files,
                        int64_t time) {
    for (const auto& [name, bytes] : files) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + name).parent_path());
        write_file(root + "/" + name, bytes);
        set_write_time(root + "/" + name, time);
    }
}

// The content as qartool a stores it: its entry and its stream.
inline std::pair<RawEntry, std::string> stored_by_add(const std::string& content) {
    TempDir dir;
    write_file(dir.file("f"), content);
    qartool(dir.path, {"a", "s.qar", "f"});
    const std::string bytes = read_file(dir.file("s.qar"));
    const RawEntry e = raw_entries(bytes).at(0);
    return {e, bytes.substr(e.data_offset, e.stored_size)};
}
