#ifndef VRIX_TEST_FAKE_CLI_H
#define VRIX_TEST_FAKE_CLI_H

#include <string>
#include <vector>

#include "subprocess.h"

// Runs vrix on the fake platform with the given script, as "vrix ARGS...".
run_result run_fake(const std::string &script, const std::vector<std::string> &args,
                    const std::string &input = "", const std::string &stdout_path = "");

#endif
