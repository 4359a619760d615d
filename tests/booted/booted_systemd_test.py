"""vrix-services on a booted Debian systemd in systemd-nspawn: units of the
test's own, a template instance, two linger users' services (one with a
D-Bus of its own, one without), the first user's bus and manager, a
session, a scope, and an instance of an Accept=yes socket with a live
connection. Their mapped files are replaced, vrix-services runs inside,
and its restart lines run there exactly as printed; afterwards it lists
only the session, the scope and the connection's instance, which have no
command (the connection lives on).

    booted_systemd_test.py --vrix VRIX --mapper MAPPER --testlib TESTLIB
                           --contrib DIR --services SERVICES --cache DIR

The root file system comes from debootstrap, kept under --cache. Ends with
77 (skipped) only when no mirror answers."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# A name of the run's own: other runs may boot theirs on the same machine.
NAME = "vrixtest-" + os.urandom(3).hex()
LIB = "/usr/local/lib/vrixtest"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# vrixu's manager needs restarting; vrixv has no D-Bus of its own; vrixw
# has one, and only a service to restart.
USERS = {"vrixu": 1001, "vrixv": 1002, "vrixw": 1003}
LIBS = ("web", "db", "player", "manager", "session", "app", "system", "echo")
# A socket with Accept=yes: each connection its own instance of the
# template, which ends with it.
ECHO_PORT = 7777


def unit(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def service(lib, exec_start=None):
    return ("[Service]\nExecStart=%s\n[Install]\nWantedBy=%s\n"
            % (exec_start or f"/usr/local/bin/vrix-mapper {LIB}/lib{lib}.so", "%s"))


class Machine:
    def __init__(self, args, root):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="vrix-booted-")
        self.dir = os.path.join(self.tmp, "root")
        upper, work = os.path.join(self.tmp, "upper"), os.path.join(self.tmp, "work")
        for d in (self.dir, upper, work):
            os.mkdir(d)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        f"lowerdir={root},upperdir={upper},workdir={work}", self.dir], check=True)
        self.cgroups = []
        self.nspawn = None
        self.init = None

    def path(self, p):
        return os.path.join(self.dir, p.lstrip("/"))

    def prepare(self):
        """What the test's units run, the units, and the users."""
        os.makedirs(self.path(LIB), exist_ok=True)
        for name, source in (("vrix", self.args.vrix), ("vrix-mapper", self.args.mapper),
                             ("vrix-services", self.args.services)):
            shutil.copy(source, self.path("/usr/local/bin/" + name))
            os.chmod(self.path("/usr/local/bin/" + name), 0o755)
        for lib in LIBS:
            shutil.copy(self.args.testlib, self.path(f"{LIB}/lib{lib}.so"))
        system = self.path("/etc/systemd/system")
        unit(f"{system}/vrixtest-web.service", service("web") % "multi-user.target")
        unit(f"{system}/vrixtest-db@.service", service("db") % "multi-user.target")
        # A session of vrixv's, as cron opens one; a scope, as systemd-run.
        unit(f"{system}/vrixtest-session.service", service(
            "session", f"/usr/sbin/runuser -l vrixv -c 'exec /usr/local/bin/vrix-mapper {LIB}/libsession.so'")
             % "multi-user.target")
        unit(f"{system}/vrixtest-scope.service", service(
            "app", f"/usr/bin/systemd-run --scope --unit=vrixtest-app /usr/local/bin/vrix-mapper {LIB}/libapp.so")
             % "multi-user.target")
        unit(f"{system}/vrixtest-echo.socket",
             f"[Socket]\nListenStream=127.0.0.1:{ECHO_PORT}\nAccept=yes\n[Install]\nWantedBy=sockets.target\n")
        unit(f"{system}/vrixtest-echo@.service",
             f"[Service]\nExecStart=/usr/local/bin/vrix-mapper {LIB}/libecho.so\nStandardInput=socket\n")
        # The system bus and logind map a file of the test's, and so does
        # vrixu's manager, and so all that it starts.
        for name in ("dbus.service", "systemd-logind.service"):
            unit(f"{system}/{name}.d/vrixtest.conf", f"[Service]\nEnvironment=LD_PRELOAD={LIB}/libsystem.so\n")
        unit(f"{system}/user@1001.service.d/vrixtest.conf",
             f"[Service]\nEnvironment=LD_PRELOAD={LIB}/libmanager.so\n")
        wants = f"{system}/multi-user.target.wants"
        os.makedirs(wants, exist_ok=True)
        os.makedirs(f"{system}/sockets.target.wants", exist_ok=True)
        os.symlink("/etc/systemd/system/vrixtest-echo.socket",
                   f"{system}/sockets.target.wants/vrixtest-echo.socket")
        for name in ("vrixtest-web.service", "vrixtest-session.service", "vrixtest-scope.service"):
            os.symlink(f"/etc/systemd/system/{name}", f"{wants}/{name}")
        os.symlink("/etc/systemd/system/vrixtest-db@.service", f"{wants}/vrixtest-db@main.service")
        # No console logins: the machine has none.
        os.symlink("/dev/null", f"{system}/console-getty.service")
        for user, uid in USERS.items():
            chroot(self.dir, ["useradd", "-m", "-u", str(uid), "-U", user])
            home = self.path(f"/home/{user}/.config/systemd/user")
            unit(f"{home}/vrixtest-player.service", service("player") % "default.target")
            os.makedirs(f"{home}/default.target.wants")
            os.symlink("../vrixtest-player.service", f"{home}/default.target.wants/vrixtest-player.service")
            if user == "vrixu":
                # its bus, started with the manager rather than on demand
                os.symlink("/usr/lib/systemd/user/dbus.service", f"{home}/default.target.wants/dbus.service")
            if user == "vrixv":
                for masked in ("dbus.socket", "dbus.service"):
                    os.symlink("/dev/null", f"{home}/{masked}")
            # linger, as loginctl enable-linger records it
            os.makedirs(self.path("/var/lib/systemd/linger"), exist_ok=True)
            open(self.path(f"/var/lib/systemd/linger/{user}"), "w").close()
            chroot(self.dir, ["chown", "-R", f"{user}:{user}", f"/home/{user}"])
        # The machine's hostname, and no password prompt on its console.
        with open(self.path("/etc/hostname"), "w") as f:
            f.write(NAME + "\n")

    def boot(self):
        """nspawn in a cgroup named as machined would name it, in each of the
        host's hierarchies for systemd (without machined: --register=no)."""
        for hierarchy in ("/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified", "/sys/fs/cgroup"):
            if os.path.exists(os.path.join(hierarchy, "cgroup.procs")) and \
                    (hierarchy != "/sys/fs/cgroup" or not self.cgroups):
                where = os.path.join(hierarchy, "machine.slice", f"machine-{NAME.replace('-', chr(92) + 'x2d')}.scope")
                os.makedirs(where, exist_ok=True)
                self.cgroups.append(where)
        moves = "".join(f'echo $$ > "{c}/cgroup.procs" && ' for c in self.cgroups)
        self.log = open(os.path.join(self.tmp, "console"), "w")
        self.nspawn = subprocess.Popen(
            ["sh", "-c", moves + 'exec systemd-nspawn -q -b -D "$0" -M ' + NAME +
             " --register=no --keep-unit --console=passive", self.dir],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        self.init = None
        while self.init is None and time.monotonic() < deadline:
            if self.nspawn.poll() is not None:
                raise RuntimeError("systemd-nspawn ended: " + self.console())
            self.init = next((p for p in children(self.nspawn.pid)), None)
            time.sleep(0.2)
        if self.init is None:
            raise RuntimeError("the container's first process did not start: " + self.console())
        self.init_start = start_time(self.init)
        # The manager's bus comes up a moment after it starts.
        while True:
            state = self.run(["systemctl", "is-system-running", "--wait"], timeout=180)
            if "Failed to connect" not in state[2] or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        if state[1].strip() not in ("running", "degraded"):
            raise RuntimeError(f"the machine did not boot: {state} {self.console()}")

    def console(self):
        self.log.flush()
        with open(os.path.join(self.tmp, "console")) as f:
            return f.read()[-3000:]

    def run(self, argv, timeout=120):
        done = subprocess.run(["timeout", "-k", "5", str(timeout), "nsenter", "-t", str(self.init),
                               "-m", "-u", "-i", "-n", "-p", "-C", "--", "env", "-i", "PATH=" + PATH,
                               "LANG=C.UTF-8", *argv],
                              capture_output=True, text=True)
        return done.returncode, done.stdout, done.stderr

    def mapped(self, lib):
        """How many of the machine's processes map lib."""
        return int(self.run(["sh", "-c", f"grep -l {LIB}/lib{lib}.so /proc/[0-9]*/maps 2>/dev/null | wc -l"])[1])

    def stop(self):
        if self.nspawn is not None and self.nspawn.poll() is None:
            if self.init is not None:
                self.run(["systemctl", "poweroff"], timeout=10)
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.nspawn.kill()
                self.nspawn.wait()
        # A killed nspawn leaves its container running: ending its first
        # process ends the whole PID namespace.
        if self.init is not None and start_time(self.init) == self.init_start:
            try:
                os.kill(self.init, signal.SIGKILL)
            except ProcessLookupError:
                pass
            deadline = time.monotonic() + 10
            while os.path.exists(f"/proc/{self.init}") and time.monotonic() < deadline:
                time.sleep(0.1)
        subprocess.run(["umount", "-l", self.dir])
        for where in self.cgroups:
            for d, _, _ in sorted(os.walk(where), key=lambda w: -len(w[0])):
                try:
                    os.rmdir(d)
                except OSError:
                    pass
        shutil.rmtree(self.tmp, ignore_errors=True)


def children(pid):
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                with open(f"/proc/{p}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        yield int(p)
            except (OSError, IndexError, ValueError):
                pass


def start_time(pid):
    """A process's start time, which tells it from a later one of its pid."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


def chroot(root, argv):
    subprocess.run(["chroot", root, *argv], check=True, stdout=subprocess.DEVNULL,
                   env={"PATH": PATH})


def wait_for(what, test, seconds=90):
    deadline = time.monotonic() + seconds
    while not test():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.5)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--vrix", "--mapper", "--testlib", "--contrib", "--services", "--cache"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: needs root")
        return 1 if os.environ.get("CI") else 77
    for tool in ("debootstrap", "systemd-nspawn", "nsenter"):
        if shutil.which(tool) is None:
            print(f"{tool} not found (apt-get install debootstrap systemd-container util-linux)")
            return 1
    built = subprocess.run(["sh", os.path.join(HERE, "rootfs.sh"), args.cache],
                           stdout=subprocess.PIPE, text=True)
    if built.returncode == 77:
        print("skipped: no Debian mirror answers")
        return 1 if os.environ.get("CI") else 77
    if built.returncode != 0:
        print("the root file system could not be built")
        return 1
    machine = Machine(args, built.stdout.strip())
    try:
        machine.prepare()
        machine.boot()
        # Each file mapped where it should be: two users' players, the first
        # user's manager and all it runs (its bus among them).
        expected = {"web": 1, "db": 1, "player": 3, "session": 1, "app": 1, "system": 2, "echo": 1}
        # A live connection, held by a client of its own unit.
        wait_for("the echo socket", lambda: machine.run(
            ["systemctl", "is-active", "vrixtest-echo.socket"])[1].strip() == "active")
        client = machine.run(["systemd-run", "--unit=vrixtest-client", "bash", "-c",
                              f"exec 3<>/dev/tcp/127.0.0.1/{ECHO_PORT}; exec sleep 100000"])
        assert client[0] == 0, client
        try:
            wait_for("the units", lambda: all(machine.mapped(l) >= n for l, n in expected.items())
                     and machine.mapped("manager") >= 3)
        except RuntimeError:
            print({lib: machine.mapped(lib) for lib in LIBS})
            for argv in (["systemctl", "--failed", "--no-pager"], ["ps", "-eo", "pid,user,cgroup:80,args"],
                         ["journalctl", "-b", "--no-pager", "-n", "60"]):
                print(machine.run(argv)[1:])
            raise
        for lib in LIBS:
            path = machine.path(f"{LIB}/lib{lib}.so")
            shutil.copy(args.testlib, path + ".new")
            os.rename(path + ".new", path)
        status, before, err = machine.run(["vrix-services"])
        print("vrix-services, before:\n" + before + err, flush=True)
        assert status == 2, (status, before, err)
        lines = [l for l in before.splitlines() if l.startswith("restart")]
        assert [l.split(": ", 1)[0] for l in lines] == ["restart", "restart last, ends sessions"], lines
        assert lines[1] == ("restart last, ends sessions: systemctl restart dbus.service;"
                            " systemctl restart systemd-logind.service;"
                            " systemctl restart user@1001.service"), lines
        assert re.search(r"^user@1001\.service \(pids? [0-9 ]+\): systemctl restart user@1001\.service$",
                         before, re.M), before
        assert re.search(r"^  dbus\.service of vrixu \(pids? [0-9 ]+\)$", before, re.M), before
        connection = r"vrixtest-echo@[0-9]+-127\.0\.0\.1:%d-127\.0\.0\.1:[0-9]+\.service \(pid [0-9]+\): ends with its connection" % ECHO_PORT
        assert re.search("^" + connection + "$", before, re.M), before
        assert "vrixtest-echo@" not in "".join(lines), lines
        for user in ("vrixv", "vrixw"):
            assert re.search(r"^vrixtest-player\.service of %s \(pids? [0-9 ]+\): setpriv " % user,
                             before, re.M), before
        # Without D-Bus, and with it.
        assert machine.run(["test", "-e", "/run/user/1002/bus"])[0] != 0
        assert machine.run(["test", "-S", "/run/user/1003/bus"])[0] == 0
        for line in lines:
            command = line.split(": ", 1)[1]
            print("running: " + command, flush=True)
            done = machine.run(["sh", "-e", "-c", command], timeout=180)
            assert done[0] == 0, done
        # The restarted units map the new files once they are up again.
        wait_for("the restarted units", lambda: machine.mapped("player") >= 3 and machine.mapped("web") >= 1
                 and machine.mapped("manager") >= 2 and machine.mapped("system") >= 2)
        time.sleep(2)
        status, after, err = machine.run(["vrix-services"])
        print("vrix-services, after:\n" + after + err, flush=True)
        assert status == 2, (status, after, err)
        # The connection lives on, its instance with it.
        for line in after.splitlines():
            assert re.match(r"(session \S+ of vrixv|vrixtest-app\.scope) \(pids? [0-9 ]+\)$", line) \
                or re.match(connection + "$", line), after
        assert re.search("^" + connection + "$", after, re.M), after
        assert re.search("^session ", after, re.M) and re.search("^vrixtest-app.scope", after, re.M), after
    finally:
        machine.stop()
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
