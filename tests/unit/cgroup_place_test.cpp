#include <gtest/gtest.h>

#include "cgroup_place.h"

struct place_case {
    const char *path;
    const char *label;  // "" for none
    const char *command;
};

static std::string placed(const place_case &c, int in_namespace, std::string *command)
{
    thing t;
    std::string unit;
    std::vector<std::string> parts = cgroup_parts(c.path);
    int found = in_namespace ? place_namespace(parts, 1, &t, &unit) : place_host(parts, -1, &t);
    command->clear();
    for (const auto &words : t.commands) {
        for (const std::string &w : words)
            *command += (command->empty() ? "" : " ") + w;
    }
    return found ? t.label : "in " + unit;
}

// Only what root and systemd name counts: the outermost unit of a path
// wins, and what a unit delegates below it names nothing of the host's;
// payload is nspawn's only under its machine's scope or its service.
TEST(CgroupPlace, TheOutermostNameOfRootsWins)
{
    const place_case host[] = {
        {"/system.slice/runner.service/nginx.service/payload", "runner.service",
         "systemctl restart runner.service"},
        {"/system.slice/runner.service/machine.slice/machine-x.scope", "runner.service",
         "systemctl restart runner.service"},
        {"/system.slice/runner.service/lxc.payload.web", "runner.service",
         "systemctl restart runner.service"},
        // a machine's command is asked of machined and systemd later
        {"/machine.slice/machine-web.scope/payload", "machine web", ""},
        {"/system.slice/machine-web.scope/payload", "machine-web.scope", ""},
        {"/user.slice/user-0.slice/user@0.service/app.slice/systemd-nspawn@x.service/payload",
         "", ""},
    };
    for (const place_case &c : host) {
        std::string command;
        std::string label = placed(c, 0, &command);
        if (c.label[0] == '\0') {
            EXPECT_NE(label.find(" of "), std::string::npos) << c.path;
            EXPECT_EQ(command, "") << c.path;
            continue;
        }
        EXPECT_EQ(label, c.label) << c.path;
        EXPECT_EQ(command, c.command) << c.path;
    }
    const place_case other_namespace[] = {
        {"/system.slice/runner.service/nginx.service/payload", "in runner.service", ""},
        {"/system.slice/nginx.service/payload/system.slice/cron.service", "in nginx.service", ""},
        {"/system.slice/runner.service/machine.slice/machine-x.scope/payload", "in runner.service",
         ""},
        {"/system.slice/systemd-nspawn@web.service/payload/system.slice/cron.service", "nspawn web",
         "systemctl restart systemd-nspawn@web.service"},
        {"/system.slice/systemd-nspawn@web.service/supervisor", "nspawn web",
         "systemctl restart systemd-nspawn@web.service"},
        {"/machine.slice/machine-web.scope/payload/init.scope", "machine web", ""},
        {"/user.slice/user-0.slice/user@0.service/app.slice/x.service/lxc.payload.y",
         "in user@0.service", ""},
    };
    for (const place_case &c : other_namespace) {
        std::string command;
        EXPECT_EQ(placed(c, 1, &command), c.label) << c.path;
        EXPECT_EQ(command, c.command) << c.path;
    }
}
