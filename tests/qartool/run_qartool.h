// Running the built qartool from the end-to-end tests.
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
