#!/usr/bin/python3
"""Runs a command inside the sandbox that a systemd unit file describes, where
no systemd runs: the package test starts the installed daemon this way.

    unshare --mount --propagation private \\
        /usr/bin/python3 scripts/unit-sandbox.py [--rw DIR]... UNIT -- COMMAND...

Run as root in a mount namespace of its own. Carried out from the unit's
[Service] section:
  ProtectSystem=strict, ReadWritePaths=  every mount read-only but those paths
                                         (and --rw DIR, as a drop-in would add)
  ProtectHome=yes, PrivateTmp=yes        empty /home, /root, /run/user; new /tmp
  PrivateDevices=yes                     /dev with null, zero, full, random,
                                         urandom, tty, shm only
  ProtectProc=invisible, ProcSubset=pid  a new /proc with those options
  ProtectKernelTunables, ProtectControlGroups  (/sys read-only with the rest)
  User=, Group=, NoNewPrivileges=, CapabilityBoundingSet=, UMask=,
  WorkingDirectory=                      setpriv, umask, chdir
  SystemCallFilter=, SystemCallErrorNumber=, RestrictAddressFamilies=,
  MemoryDenyWriteExecute=                seccomp filters (python3-seccomp), the
                                         groups expanded by systemd-analyze
Other settings are not carried out. Needs /usr/bin/python3 with python3-seccomp.
"""
import errno
import os
import socket
import subprocess
import sys
import tempfile

import seccomp


def read_unit(path):
    """[Service] settings: name -> list of values, in file order."""
    settings = {}
    section = None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]" and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def last(settings, key, default=""):
    values = settings.get(key)
    return values[-1] if values else default


def is_yes(settings, key):
    return last(settings, key).lower() in ("yes", "true", "1", "on")


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def mount_points():
    with open("/proc/self/mountinfo") as f:
        return [line.split()[4].replace("\\040", " ") for line in f]


def under(path, root):
    return path == root or path.startswith(root.rstrip("/") + "/")


def private_devices():
    """A /dev of the harmless devices only, moved over the host's."""
    stage = tempfile.mkdtemp(prefix="unit-sandbox-dev.")
    mount("-t", "tmpfs", "-o", "mode=0755,nosuid,noexec", "tmpfs", stage)
    for name in ("null", "zero", "full", "random", "urandom", "tty"):
        node = os.path.join(stage, name)
        open(node, "w").close()
        mount("--bind", "/dev/" + name, node)
    os.mkdir(os.path.join(stage, "shm"), 0o1777)
    mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "tmpfs", os.path.join(stage, "shm"))
    for fd, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % fd, os.path.join(stage, name))
    os.symlink("/proc/self/fd", os.path.join(stage, "fd"))
    mount("--move", stage, "/dev")
    os.rmdir(stage)


def build_mounts(settings, extra_rw):
    if is_yes(settings, "PrivateDevices"):
        private_devices()
    if last(settings, "ProtectSystem") == "strict":
        writable = []
        for value in settings.get("ReadWritePaths", []) + [" ".join(extra_rw)]:
            for path in value.split():
                optional = path.startswith("-")
                path = path.lstrip("-")
                if not os.path.isdir(path):
                    if optional:
                        continue
                    sys.exit("unit-sandbox: ReadWritePaths %s does not exist" % path)
                mount("--bind", path, path)
                writable.append(path)
        for point in mount_points():
            if under(point, "/dev") or under(point, "/proc"):
                continue
            if any(under(point, w) for w in writable):
                continue
            subprocess.run(["mount", "-o", "remount,bind,ro", point], check=True,
                           stderr=subprocess.DEVNULL)
    if is_yes(settings, "ProtectHome"):
        for path in ("/home", "/root", "/run/user"):
            if os.path.isdir(path):
                mount("-t", "tmpfs", "-o", "ro,mode=0000", "tmpfs", path)
    if is_yes(settings, "PrivateTmp"):
        for path in ("/tmp", "/var/tmp"):
            mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "tmpfs", path)
    proc_options = []
    if last(settings, "ProtectProc") not in ("", "default"):
        proc_options.append("hidepid=" + last(settings, "ProtectProc"))
    if last(settings, "ProcSubset") == "pid":
        proc_options.append("subset=pid")
    if proc_options:
        mount("-t", "proc", "-o", ",".join(["nosuid", "nodev", "noexec"] + proc_options),
              "proc", "/proc")


def syscall_groups():
    """Group name -> members (names and nested groups), as systemd knows them."""
    out = subprocess.run(["systemd-analyze", "syscall-filter"], check=True,
                         capture_output=True, text=True).stdout
    groups, current = {}, None
    for line in out.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())
        elif not line.strip():
            current = None
    return groups


def expand(item, groups, seen=None):
    seen = set() if seen is None else seen
    if not item.startswith("@"):
        return {item}
    if item in seen:
        return set()
    seen.add(item)
    names = set()
    for member in groups[item]:
        names |= expand(member, groups, seen)
    return names


def allowed_syscalls(settings):
    """The allow list of SystemCallFilter= lines (an allow list first, then
    ~ lines taking calls out of it), as systemd composes it."""
    lines = settings.get("SystemCallFilter", [])
    if not lines:
        return None
    if lines[0].startswith("~"):
        sys.exit("unit-sandbox: a deny-list SystemCallFilter is not carried out")
    groups = syscall_groups()
    # Always allowed by systemd in allow-list mode.
    allowed = expand("@default", groups) | {"execve", "exit", "exit_group", "getrlimit",
                                            "rt_sigreturn", "sigreturn"}
    for line in lines:
        deny = line.startswith("~")
        names = set()
        for item in line.lstrip("~").split():
            names |= expand(item, groups)
        allowed = allowed - names if deny else allowed | names
    return allowed


def load_filters(settings):
    # Argument checks go into a filter of their own: stacked filters, the
    # strictest result wins. It is loaded first, as the allow list may not
    # allow seccomp() itself.
    f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    families = [getattr(socket, n)
                for n in " ".join(settings.get("RestrictAddressFamilies", [])).split()]
    if families:
        refuse = seccomp.ERRNO(errno.EAFNOSUPPORT)
        for family in range(64):
            if family not in families:
                f.add_rule(refuse, "socket", seccomp.Arg(0, seccomp.EQ, family))
        f.add_rule(refuse, "socket", seccomp.Arg(0, seccomp.GE, 64))
    if is_yes(settings, "MemoryDenyWriteExecute"):
        deny = seccomp.ERRNO(errno.EPERM)
        prot_wx, prot_x, shm_exec = 0x2 | 0x4, 0x4, 0o100000
        f.add_rule(deny, "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, prot_wx, prot_wx))
        f.add_rule(deny, "mprotect", seccomp.Arg(2, seccomp.MASKED_EQ, prot_x, prot_x))
        f.add_rule(deny, "pkey_mprotect", seccomp.Arg(2, seccomp.MASKED_EQ, prot_x, prot_x))
        f.add_rule(deny, "shmat", seccomp.Arg(2, seccomp.MASKED_EQ, shm_exec, shm_exec))
    f.load()
    allowed = allowed_syscalls(settings)
    if allowed is not None:
        action = seccomp.ERRNO(getattr(errno, last(settings, "SystemCallErrorNumber", "EPERM")))
        f = seccomp.SyscallFilter(defaction=action)
        for name in sorted(allowed):
            try:
                f.add_rule(seccomp.ALLOW, name)
            except (RuntimeError, ValueError, OSError):
                pass  # not a call of this architecture
        f.load()


def main(argv):
    if "--" not in argv:
        sys.exit(__doc__)
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    if options and options[0] == "--seccomp":
        # Second stage: already the service's user, without privileges.
        load_filters(read_unit(options[1]))
        os.execvp(command[0], command)
    extra_rw = []
    while len(options) > 2 and options[0] == "--rw":
        extra_rw.append(options[1])
        options = options[2:]
    if len(options) != 1 or not command:
        sys.exit(__doc__)
    unit = os.path.abspath(options[0])
    settings = read_unit(unit)
    self_path = os.path.abspath(__file__)
    build_mounts(settings, extra_rw)
    os.umask(int(last(settings, "UMask", "0022"), 8))
    workdir = last(settings, "WorkingDirectory")
    if workdir:
        os.chdir(workdir.lstrip("-"))
    drop = ["setpriv"]
    user = last(settings, "User")
    if user:
        drop += ["--reuid", user, "--regid", last(settings, "Group", user), "--init-groups"]
    if is_yes(settings, "NoNewPrivileges"):
        drop.append("--no-new-privs")
    if "CapabilityBoundingSet" in settings and last(settings, "CapabilityBoundingSet") == "":
        drop += ["--bounding-set", "-all", "--inh-caps", "-all"]
    stage2 = ["/usr/bin/python3", self_path, "--seccomp", unit, "--"]
    os.execvp("setpriv", drop + ["--"] + stage2 + command)


if __name__ == "__main__":
    main(sys.argv[1:])
