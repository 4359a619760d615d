#include <pwd.h>
#include <unistd.h>

#include <map>

#include "services.h"

struct user_entry {
    std::string name;
    long gid;
};

// Users asked once each: getpwuid_r, which reads what the system's name
// service says without a program of its own.
static const user_entry &user_of(long uid)
{
    static std::map<long, user_entry> users;
    auto found = users.find(uid);
    if (found != users.end())
        return found->second;
    user_entry e = {std::to_string(uid), -1};
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buf((size_t)(size > 0 ? size : 16384), '\0');
    struct passwd pw, *result = nullptr;
    if (getpwuid_r((uid_t)uid, &pw, &buf[0], buf.size(), &result) == 0 && result != nullptr &&
        pw.pw_name[0] != '\0') {
        e.name = pw.pw_name;
        e.gid = (long)pw.pw_gid;
    }
    return users.emplace(uid, e).first->second;
}

std::string user_name(long uid)
{
    return user_of(uid).name;
}

long user_group(long uid)
{
    return user_of(uid).gid;
}
