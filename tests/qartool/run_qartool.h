// Running the built qartool from the end-to-end tests, and what several of them compare.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

// Runs the built program in cwd with the arguments.
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
