// Test helper: runs a function in a child process that has dropped root for
// an unprivileged user (by default nobody:nogroup, no supplementary groups),
// as a local user without rights would try things. The tests run as root.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

struct TestUser {
    uid_t uid;
    gid_t gid;
};

// nobody and nogroup; uid 0 when the system has no such user.
inline TestUser Nobody() {
    const passwd *pw = getpwnam("nobody");
    const group *gr = getgrnam("nogroup");
    return {pw != nullptr ? pw->pw_uid : 0, gr != nullptr ? gr->gr_gid : 65534};
}

// True when fn returned true in the child, running as user.uid with
// user.gid as its only group.
inline bool RunAs(TestUser user, const std::function<bool()> &fn) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) _exit(2);
        _exit(fn() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool RunAsNobody(const std::function<bool()> &fn) { return RunAs(Nobody(), fn); }

// Dropping to another user needs root; Nobody() must be a real other user.
inline bool CanDropRoot() { return geteuid() == 0 && Nobody().uid != 0; }
