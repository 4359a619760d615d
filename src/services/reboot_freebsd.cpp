#include <sys/utsname.h>

#include "reboot.h"
#include "services.h"

// The running kernel's release against the installed kernel's, as
// freebsd-version -k reads it (under root's ROOT when it is another).
void read_reboot(const std::string &root, reboot_need *r)
{
    struct utsname u;
    std::string running = uname(&u) == 0 ? u.release : "";
    std::vector<std::string> argv = {"freebsd-version", "-k"};
    if (root != "/")
        argv.insert(argv.begin(), {"env", "ROOT=" + root});
    std::string installed;
    if (run_bounded(argv, 5, &installed, 4096) != 0)
        installed.clear();
    freebsd_reboot(running, installed, r);
}
