#include "fake_cli.h"

#include <unistd.h>

run_result run_fake(const std::string &script, const std::vector<std::string> &args,
                    const std::string &input, const std::string &stdout_path)
{
    char path[] = "/tmp/vrix-script-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    write_file(path, script);
    std::vector<std::string> argv{"vrix"};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run_program(VRIX_FAKE_BIN, argv, input, {std::string("VRIX_FAKE_SCRIPT=") + path},
                               stdout_path);
    unlink(path);
    return r;
}
