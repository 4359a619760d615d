#ifndef VRIX_TEST_SUBPROCESS_H
#define VRIX_TEST_SUBPROCESS_H

#include <string>
#include <vector>

struct run_result {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs program with argv (argv[0] included), feeding input on stdin and
// adding env ("NAME=value") to the environment; captures stdout and stderr,
// or sends stdout to the file stdout_path when one is given.
run_result run_program(const std::string &program, const std::vector<std::string> &argv,
                       const std::string &input = "", const std::vector<std::string> &env = {},
                       const std::string &stdout_path = "");

std::string make_temp_dir(void);
void remove_tree(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

#endif
