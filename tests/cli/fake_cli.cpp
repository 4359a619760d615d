#include "fake_cli.h"

#include <unistd.h>

run_result run_fake(const std::string &script, const std::vector<std::string> &args,
                    const std::string &input, const std::string &stdout_path,
                    const std::vector<std::string> &env)
{
    char path[] = "/tmp/vrix-script-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    write_file(path, script);
    std::vector<std::string> argv{"vrix"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> all_env = env;
    all_env.push_back(std::string("VRIX_FAKE_SCRIPT=") + path);
    run_result r = run_program(VRIX_FAKE_BIN, argv, input, all_env, stdout_path);
    unlink(path);
    return r;
}
