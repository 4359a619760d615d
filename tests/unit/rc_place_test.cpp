#include <gtest/gtest.h>

#include "rc_place.h"

// What FreeBSD answers on a host with cron (not running), sshd and nginx
// enabled: nginx's pidfile names 812, sshd's 700; 813 is nginx's worker,
// 900 a worker's child, 5000 was started by init, 4711 by a process of no
// service.
static pid_t pidfile(const std::string &path)
{
    if (path == "/var/run/nginx.pid")
        return 812;
    if (path == "/var/run/sshd.pid")
        return 700;
    return 0;
}

static pid_t parent(pid_t pid)
{
    static const std::map<pid_t, pid_t> PARENTS = {
        {700, 1}, {812, 1}, {813, 812}, {900, 813}, {4711, 4700}, {5000, 1}, {5100, 700}};
    auto found = PARENTS.find(pid);
    return found == PARENTS.end() ? 0 : found->second;
}

TEST(RcPlace, AHostProcessBelongsToTheServiceOfItsAncestors)
{
    auto services = rc_service_pids("/etc/rc.d/cron\n/etc/rc.d/sshd\n/usr/local/etc/rc.d/nginx\n",
                                    "/var/run", pidfile);
    EXPECT_EQ(services, (std::map<pid_t, std::string>{{700, "sshd"}, {812, "nginx"}}));
    const struct {
        pid_t pid;
        const char *label;
    } cases[] = {{812, "service nginx"}, {813, "service nginx"}, {900, "service nginx"},
                 {5100, "service sshd"}, {5000, ""},             {4711, ""}};
    for (const auto &c : cases) {
        thing t;
        EXPECT_EQ(rc_thing(c.pid, services, parent, &t), c.label[0] != '\0') << c.pid;
        EXPECT_EQ(t.label, c.label) << c.pid;
        if (c.label[0] != '\0') {
            EXPECT_EQ(t.commands, (std::vector<std::vector<std::string>>{{"service", t.name, "restart"}}));
        }
    }
    EXPECT_TRUE(rc_service_pids("", "/var/run", pidfile).empty());
}

TEST(RcPlace, AJailByItsNameRestartedByName)
{
    thing www, unnamed, odd;
    jail_thing("www", "/usr/jails/www", &www);
    jail_thing("7", "", &unnamed);
    jail_thing("a b", "/j", &odd);
    EXPECT_EQ(www.label, "jail www");
    EXPECT_EQ(www.commands, (std::vector<std::vector<std::string>>{{"service", "jail", "restart", "www"}}));
    EXPECT_EQ(www.merge, (std::vector<std::string>{"service", "jail", "restart"}));
    EXPECT_EQ(unnamed.label, "jail 7");
    EXPECT_EQ(odd.label, "jail 'a b'");
    EXPECT_TRUE(odd.commands.empty());
}
