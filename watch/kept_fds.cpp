#include <vector>

#include "process_facts.h"
#include "watch.h"

static std::vector<int> kept_fds = {0, 1, 2};

void watch_keep_fd(int fd)
{
    kept_fds.push_back(fd);
}

void watch_close_unkept(void)
{
    close_all_but(kept_fds.data(), (int)kept_fds.size());
}
