"""What the tests of contrib/ share: a PID namespace of their own, helper
processes that map the test library, and the real vrix.

Each test script runs as
    SCRIPT --vrix VRIX --mapper MAPPER --testlib TESTLIB --contrib DIR --services SERVICES
and re-executes itself as the first process of a fresh PID namespace, so
that vrix sees only the test's own processes and its outcome is known.
"""

import argparse
import atexit
import os
import shutil
import shlex
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
NS_MARK = "VRIX_CONTRIB_NAMESPACE"


def skip(reason):
    """A missing package skips the test, but fails it under CI."""
    print(f"skipped: {reason}", flush=True)
    sys.exit(1 if os.environ.get("CI") else SKIP)


def parse_args():
    parser = argparse.ArgumentParser()
    for name in ("--vrix", "--mapper", "--testlib", "--contrib", "--services"):
        parser.add_argument(name, required=True)
    args, rest = parser.parse_known_args()
    for name in ("vrix", "mapper", "testlib", "contrib", "services"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.unittest_argv = sys.argv[:1] + rest  # e.g. -v, a test's name
    return args


def services_in_path(args):
    """vrix-services where a plugin finds it installed: alone in a
    directory at the front of PATH."""
    where = tempfile.mkdtemp(prefix="vrix-services-bin-")
    os.chmod(where, 0o755)
    os.symlink(args.services, os.path.join(where, "vrix-services"))
    atexit.register(shutil.rmtree, where)
    os.environ["PATH"] = where + os.pathsep + os.environ["PATH"]


def enter_pid_namespace():
    """Runs this script again as PID 1 of a new PID namespace with its own
    /proc; returns only inside it. Every helper dies with PID 1."""
    if os.environ.get(NS_MARK) == str(os.getpid()):
        return
    if os.geteuid() != 0:
        skip("needs root for a PID namespace")
    if shutil.which("unshare") is None:
        skip("unshare not found (apt-get install util-linux)")
    # With --fork the script runs as PID 1 of the new namespace.
    env = dict(os.environ, **{NS_MARK: "1"})
    os.execvpe("unshare", ["unshare", "--pid", "--fork", "--mount-proc",
                           sys.executable] + sys.argv, env)


def run(argv, **kwargs):
    """(status, stdout, stderr) of a finished command, as text."""
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120,
                          **kwargs)
    return done.returncode, done.stdout, done.stderr


def readme_block(first_line_start):
    """The lines of the README's indented block that starts with a line
    beginning so, unindented: an example that tests run as written."""
    readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
    with open(readme) as f:
        lines = f.read().split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith(first_line_start))
    block = []
    for line in lines[start:]:
        if line and not line.startswith("    "):
            break
        block.append(line[4:])
    while block and not block[-1]:
        block.pop()
    return block


# A cgroup name that a user may give a cgroup of their own: it reads as more
# than one thing, as commands, and holds bytes that are no text; and how
# vrix-services shows it, quoted and escaped.
HOSTILE = (b"a (pid 1): sh -c \"$(id)\" 'q'; \\ \t\x85\xc2\x85\xff"
           b" b (pid 2): systemctl restart z.service")
HOSTILE_SHOWN = ("'a (pid 1): sh -c \"$(id)\" \\047q\\047; \\134 \\011\\205\\302\\205\\377"
                 " b (pid 2): systemctl restart z.service'")
USER_APPS = "user.slice/user-65534.slice/user@65534.service/app.slice/"


def row(pid, stat, command):
    """One row of `vrix -h` for a process of vrix's own namespace."""
    return f"{pid:>6} {0:>6} {stat:>4} {command}"


class Helpers:
    """Helper processes, each mapping its own copy of the test library."""

    def __init__(self, args, tmp, prefix=()):
        self.args = args
        self.tmp = tmp
        self.prefix = list(prefix)  # e.g. CONFINED
        self.procs = []

    def _start(self, *mapper_args):
        proc = subprocess.Popen([*self.prefix, self.args.mapper, *mapper_args],
                                stdout=subprocess.PIPE, text=True)
        if proc.stdout.readline() != "ready\n":
            raise RuntimeError(f"helper {mapper_args} did not start")
        self.procs.append(proc)
        return proc.pid

    def _copy(self):
        path = os.path.join(self.tmp, f"lib{len(self.procs)}-{os.urandom(4).hex()}.so")
        shutil.copy(self.args.testlib, path)
        return path

    def untouched(self):
        """A helper whose library stays as it is: never reported."""
        return self._start(self._copy())

    def deleted(self, libraries=1):
        """A helper whose libraries are gone from disk: a "miss" row."""
        return self._start("--unlink", *[self._copy() for _ in range(libraries)])

    def replaced(self):
        """A helper whose library path now holds another file: "outd"."""
        path = self._copy()
        pid = self._start(path)
        shutil.copy(self.args.testlib, path + ".new")
        os.rename(path + ".new", path)
        return pid

    def stop(self):
        for proc in self.procs:
            proc.kill()
            proc.wait()
            proc.stdout.close()
        self.procs = []

    def count(self):
        return len(self.procs)


def world_readable_copies(paths):
    """Copies of programs in a directory that any user may read and search,
    for runs as an unprivileged user (the source tree may be private)."""
    where = tempfile.mkdtemp(prefix="vrix-contrib-")
    os.chmod(where, 0o755)
    copies = []
    for path in paths:
        copy = os.path.join(where, os.path.basename(path))
        shutil.copy(path, copy)
        os.chmod(copy, 0o755)
        copies.append(copy)
    return where, copies


# Root without CAP_SYS_PTRACE may read only the processes whose capabilities
# are no more than its own. So the namespace's first process (the test
# script, with all of root's) is one that a confined vrix cannot inspect, as
# when an LSM or a sandboxed init keeps root from reading pid 1, while the
# helpers started confined too stay readable.
CONFINED = ["setpriv", "--bounding-set=-sys_ptrace"]


def first_process_row():
    """The err row of the namespace's first process, for a confined vrix."""
    with open("/proc/1/comm") as f:
        return row(1, "err", "(%s)" % f.read().rstrip("\n"))


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class Cgroups:
    """A cgroup tree of the test's own, on the host's layout: systemd's own
    hierarchy (name=systemd) where one is mounted, as on a hybrid host, else
    the v2 one. The script moves itself into its root, a cgroup of no unit,
    so that every helper starts in none; move() puts a process where a
    service, container or session keeps its processes. At exit, what is left
    in the tree is killed and the tree removed."""

    def __init__(self):
        self.hierarchy, controllers = _cgroup_hierarchy()
        if self.hierarchy is None:
            skip("no cgroup v2 or name=systemd hierarchy mounted")
        self.root = os.path.join(self.hierarchy, "vrixtest-" + os.urandom(4).hex())
        with open("/proc/self/cgroup") as f:
            own = next(l.rstrip("\n").split(":", 2)[2] for l in f
                       if l.split(":", 2)[1] == controllers)
        self.home = os.path.join(self.hierarchy, own.lstrip("/"))
        os.mkdir(self.root)
        atexit.register(self.remove)
        self.move(os.getpid(), "")

    def move(self, pid, path):
        """Moves a process into the cgroup at path below the tree's root."""
        where = os.path.join(self.root, path)
        os.makedirs(where, exist_ok=True)
        with open(os.path.join(where, "cgroup.procs"), "w") as f:
            f.write(str(pid))

    def remove(self):
        with open(os.path.join(self.home, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
        for _ in range(50):
            left = []
            for where, _, _ in os.walk(self.root):
                with open(os.path.join(where, "cgroup.procs")) as f:
                    left += [int(p) for p in f.read().split()]
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                while os.waitpid(-1, os.WNOHANG)[0] > 0:
                    pass
            except ChildProcessError:
                pass
            if not left:
                break
            time.sleep(0.1)
        for where, _, _ in os.walk(self.root, topdown=False):
            os.rmdir(where)


def _cgroup_hierarchy():
    """The mount point of systemd's own hierarchy, or else of the v2 one, and
    the middle field of the /proc/PID/cgroup line that names a process's
    place in it."""
    named = unified = None
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            mount_point = fields[4]
            fstype, options = fields[-3], fields[-1].split(",")
            if fstype == "cgroup" and "name=systemd" in options and named is None:
                named = mount_point
            elif fstype == "cgroup2" and unified is None:
                unified = mount_point
    if named:
        return named, "name=systemd"
    return unified, ""


def kernel_image(release, build):
    """The head of an x86 boot image: "HdrS", and the offset of its version
    string, as the boot protocol places them."""
    head = bytearray(0x600)
    head[0x202:0x206] = b"HdrS"
    head[0x20e:0x210] = (0x400 - 0x200).to_bytes(2, "little")
    version = f"{release} (debian-kernel@lists.debian.org) {build}\0".encode()
    head[0x400:0x400 + len(version)] = version
    return bytes(head)


def stand_in_root(where, running, images, packages=(), required=None):
    """A machine's root as vrix-services -R reads it: the running kernel
    (release and build), installed images {release: build}, their Debian
    packages, and /run/reboot-required with the packages it names."""
    release, build = running
    for d in ("proc/sys/kernel", "boot", "var/lib/dpkg/info", "var/lib/dpkg/updates", "run"):
        os.makedirs(os.path.join(where, d), exist_ok=True)
    with open(os.path.join(where, "proc/sys/kernel/osrelease"), "w") as f:
        f.write(release + "\n")
    with open(os.path.join(where, "proc/version"), "w") as f:
        f.write(f"Linux version {release} (debian-kernel@lists.debian.org) (gcc-12) {build}\n")
    for image, image_build in images.items():
        with open(os.path.join(where, "boot", "vmlinuz-" + image), "wb") as f:
            f.write(kernel_image(image, image_build))
    with open(os.path.join(where, "var/lib/dpkg/status"), "w") as f:
        for package in packages:
            f.write(f"Package: {package}\nStatus: install ok installed\nVersion: 1\n"
                    "Architecture: amd64\nMaintainer: vrix tests\nDescription: a kernel\n\n")
    if required is not None:
        open(os.path.join(where, "run/reboot-required"), "w").close()
        with open(os.path.join(where, "run/reboot-required.pkgs"), "w") as f:
            f.write("".join(p + "\n" for p in required))
    return where


def services_reading(args, root):
    """vrix-services as scripts find it in PATH, reading the machine's
    kernel under root (-R)."""
    where = tempfile.mkdtemp(prefix="vrix-services-root-")
    os.chmod(where, 0o755)
    wrapper = os.path.join(where, "vrix-services")
    with open(wrapper, "w") as f:
        f.write(f'#!/bin/sh\nexec {shlex.quote(args.services)} -R {shlex.quote(root)} "$@"\n')
    os.chmod(wrapper, 0o755)
    old_path = os.environ["PATH"]
    os.environ["PATH"] = where + os.pathsep + old_path

    def restore():
        os.environ["PATH"] = old_path
        shutil.rmtree(where)
    restore.path = wrapper
    return restore


# A kernel upgrade not booted yet: the line and object vrix-services gives.
OLD_BUILD = "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)"
NEW_BUILD = "#1 SMP PREEMPT_DYNAMIC Debian 6.1.90-1 (2024-05-03)"
REBOOT_LINE = ("reboot: running 6.1.0-18-amd64, installed 6.1.0-21-amd64"
               " (linux-image-6.1.0-21-amd64)")


def upgraded_root(where):
    return stand_in_root(where, ("6.1.0-18-amd64", OLD_BUILD),
                         {"6.1.0-18-amd64": OLD_BUILD, "6.1.0-21-amd64": NEW_BUILD},
                         packages=("linux-image-6.1.0-21-amd64",))
