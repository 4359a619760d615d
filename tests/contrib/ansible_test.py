"""contrib/ansible/vrix.yml and the README's ad-hoc command, run by ansible
against this host over a local connection, in a PID namespace of its own:
restart rows make a host "changed", even beside err rows; a host fails when
vrix could not judge, or found only err rows that were not accepted."""

import json
import os
import shutil
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()
CGROUPS = env.Cgroups()
if shutil.which("ansible-playbook") is None:
    env.skip("ansible-playbook not found (apt-get install ansible-core)")

PLAYBOOK = os.path.join(ARGS.contrib, "ansible", "vrix.yml")
# The README's ad-hoc command, with the vrix under test.
AD_HOC = env.readme_block("    ansible all -b -m shell --one-line -a '")[0]
AD_HOC = AD_HOC.split(" -a '", 1)[1][:-1].replace("vrix -h", "{vrix} -h")
SHOW_RESTARTS = "Show the processes that need restarting"
SHOW_ERRORS = "Show what vrix could not inspect"
FAIL_ERRORS = "Fail on err rows not accepted when nothing needs restarting"
SHOW_SERVICES = "Show what to restart"
RESTART = "Restart what may be restarted"
SHOW_LEFT = "Show what is left to restart"
SHOW_REBOOT = "Show that the host needs a reboot"
REBOOT = "Reboot the host"
PODMAN_ID = "4e5a6b7c8d9e0f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192"
# Stand-ins that write down what they were asked to do. systemctl show
# says a unit is loaded, with the test's cgroup of that name as its control
# group, unless it is listed in the file "unloaded".
STAND_IN = """#!/bin/sh
[ "$*" = "container inspect --format {{{{.Name}}}} %s" ] && exec echo web
echo "${{0##*/}} $*" >> {log}
if [ "$1" = show ]; then
    for unit; do :; done
    if grep -qx -- "$unit" {tmp}/unloaded 2>/dev/null; then
        echo LoadState=not-found; echo ControlGroup=
    else
        echo LoadState=loaded
        dir=$(find {root}/decoy {root} -type d -name "$unit" 2>/dev/null | head -n 1)
        echo "ControlGroup=/${{dir#{hierarchy}/}}"
    fi
fi
""" % PODMAN_ID


class AnsibleCase(unittest.TestCase):
    """Runs ansible against this host; ansible and the helpers run under `prefix`."""

    prefix = ()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-ansible-")
        self.env = dict(os.environ, HOME=self.tmp, ANSIBLE_NOCOLOR="1",
                        ANSIBLE_LOCAL_TEMP=os.path.join(self.tmp, "local"),
                        ANSIBLE_REMOTE_TEMP=os.path.join(self.tmp, "remote"),
                        ANSIBLE_PYTHON_INTERPRETER="auto_silent")
        self.helpers = env.Helpers(ARGS, self.tmp, prefix=self.prefix)

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def playbook(self, *extra_vars):
        """ansible-playbook's status, and each task's result on localhost."""
        argv = ["ansible-playbook", "-i", "localhost,", "-c", "local",
                # already root: no sudo needed for the playbook's "become"
                "-e", "ansible_become=false", "-e", f"vrix_path={ARGS.vrix}",
                "-e", "vrix_services_path=" + ARGS.services]
        for var in extra_vars:
            argv += ["-e", var]
        status, out, err = env.run([*self.prefix, *argv, PLAYBOOK], cwd=self.tmp,
                                   env=dict(self.env, ANSIBLE_STDOUT_CALLBACK="json"))
        self.assertTrue(out.startswith("{"), (status, out, err))
        tasks = json.loads(out)["plays"][0]["tasks"]
        return status, {t["task"]["name"]: t["hosts"]["localhost"] for t in tasks}

    def ad_hoc(self, vrix=ARGS.vrix):
        return env.run([*self.prefix, "ansible", "localhost", "-i", "localhost,", "-c", "local",
                        "-m", "shell", "-a", AD_HOC.format(vrix=vrix), "--one-line"],
                       cwd=self.tmp, env=self.env)


class AnsibleTest(AnsibleCase):
    def setUp(self):
        super().setUp()
        self.helpers.untouched()

    def test_playbook_restart_needed_is_a_change(self):
        pid = self.helpers.deleted()
        status, tasks = self.playbook()
        self.assertEqual(status, 0)
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["changed"], ran.get("failed", False)), (2, True, False))
        self.assertEqual(tasks[SHOW_RESTARTS]["vrix_restart_rows"],
                         [env.row(pid, "miss", ARGS.mapper)])
        # In no service, container or session: by pid and path.
        self.assertEqual(tasks[SHOW_SERVICES]["vrix_services.stdout_lines"],
                         [f"process {pid} {ARGS.mapper}"])
        self.assertTrue(tasks[SHOW_ERRORS]["skipped"])
        self.assertTrue(tasks[FAIL_ERRORS]["skipped"])

    def test_playbook_restarts_only_services_and_what_is_allowed(self):
        bin_dir = os.path.join(self.tmp, "bin")
        os.mkdir(bin_dir)
        log = os.path.join(self.tmp, "restarts")
        for name in ("systemctl", "podman"):
            with open(os.path.join(bin_dir, name), "w") as f:
                f.write(STAND_IN.format(log=log, tmp=self.tmp, root=CGROUPS.root,
                                        hierarchy=CGROUPS.hierarchy))
            os.chmod(os.path.join(bin_dir, name), 0o755)
        self.env["PATH"] = bin_dir + os.pathsep + self.env["PATH"]
        web = self.helpers.deleted()
        CGROUPS.move(web, "system.slice/vrixtest-web.service")
        ssh = self.helpers.deleted()
        CGROUPS.move(ssh, "system.slice/ssh.service")
        podman = self.helpers.deleted()
        CGROUPS.move(podman, f"machine.slice/libpod-{PODMAN_ID}.scope")
        session = self.helpers.deleted()
        CGROUPS.move(session, "user.slice/user-0.slice/session-4.scope")

        def restarts(*extra_vars):
            if os.path.exists(log):
                os.unlink(log)
            status, tasks = self.playbook(*extra_vars)
            self.assertEqual(status, 0)
            if not os.path.exists(log):
                return tasks, ""
            with open(log) as f:
                return tasks, "".join(l for l in f if not l.startswith("systemctl show "))

        tasks, done = restarts()
        self.assertEqual(tasks[SHOW_SERVICES]["vrix_services.stdout_lines"], [
            f"vrixtest-web.service (pid {web}): systemctl restart vrixtest-web.service",
            f"ssh.service (pid {ssh}): systemctl restart ssh.service",
            f"podman web (pid {podman}): podman restart web",
            f"session 4 of root (pid {session})",
            "restart: systemctl restart vrixtest-web.service ssh.service; podman restart web"])
        self.assertEqual(done, "")
        self.assertTrue(tasks[SHOW_LEFT]["skipped"])
        # Services, but not ssh; sessions never. Then the scan again: the
        # stand-in restarted nothing, so all is left.
        tasks, done = restarts("vrix_restart_services=true")
        self.assertEqual(done, "systemctl restart vrixtest-web.service\n")
        self.assertEqual(tasks[SHOW_LEFT]["vrix_left.stdout_lines"][0],
                         f"vrixtest-web.service (pid {web}): systemctl restart vrixtest-web.service")
        self.assertEqual(restarts("vrix_restart_services=true", json.dumps(
            {"vrix_restart_allowed": ["ssh.service", "podman web", "session 4 of root"]}))[1],
                         "systemctl restart vrixtest-web.service\n"
                         "systemctl restart ssh.service\n"
                         "podman restart web\n")
        # Allowed, but restarts are not on.
        self.assertEqual(restarts("vrix_restart_allowed=podman web")[1], "")

    def test_playbook_runs_only_argument_vectors_of_loaded_units(self):
        bin_dir = os.path.join(self.tmp, "bin")
        os.mkdir(bin_dir)
        log = os.path.join(self.tmp, "restarts")
        with open(os.path.join(bin_dir, "systemctl"), "w") as f:
            f.write(STAND_IN.format(log=log, tmp=self.tmp, root=CGROUPS.root,
                                    hierarchy=CGROUPS.hierarchy))
        os.chmod(os.path.join(bin_dir, "systemctl"), 0o755)
        marker = os.path.join(self.tmp, "ran")
        self.env["PATH"] = bin_dir + os.pathsep + self.env["PATH"]
        # A user's cgroups named to read as lines of restart commands.
        user = "user.slice/user-65534.slice/user@65534.service/app.slice/"
        for name in (f'a (pid 1): sh -c "touch {marker}" b (pid 2): systemctl restart z.service',
                     f"x.service (pid 3): touch {marker}; $(touch {marker}) \\ \x85.service"):
            CGROUPS.move(self.helpers.deleted(), user + name)
        # A valid name, but not loaded; a loaded one whose group does not
        # hold the process (it sits in a cgroup of that name elsewhere).
        gone = self.helpers.deleted()
        CGROUPS.move(gone, "system.slice/vrixtest-gone.service")
        with open(os.path.join(self.tmp, "unloaded"), "w") as f:
            f.write("vrixtest-gone.service\n")
        os.makedirs(os.path.join(CGROUPS.root, "decoy", "vrixtest-moved.service"))
        moved = self.helpers.deleted()
        CGROUPS.move(moved, "system.slice/vrixtest-moved.service")
        # Loaded and holding its process, but its restart ends sessions.
        CGROUPS.move(self.helpers.deleted(), "system.slice/dbus.service")
        web = self.helpers.deleted()
        CGROUPS.move(web, "system.slice/vrixtest-web.service")
        status, tasks = self.playbook("vrix_restart_services=true")
        self.assertEqual(status, 0)
        with open(log) as f:
            ran = f.read()
        self.assertFalse(os.path.exists(marker))
        self.assertEqual([l for l in ran.split("\n") if l and not l.startswith("systemctl show ")],
                         ["systemctl restart vrixtest-web.service"])
        self.assertEqual([t["item"][0]["name"] for t in tasks[RESTART]["results"]],
                         ["vrixtest-web.service"])

    def test_playbook_reports_a_reboot_and_never_reboots_unasked(self):
        restore = env.services_reading(ARGS, env.upgraded_root(os.path.join(self.tmp, "root")))
        try:
            status, tasks = self.playbook("vrix_services_path=" + restore.path)
        finally:
            restore()
        self.assertEqual(status, 0)
        self.assertEqual(tasks[SHOW_REBOOT]["msg"], env.REBOOT_LINE)
        self.assertTrue(tasks[REBOOT]["skipped"])
        status, tasks = self.playbook()
        self.assertTrue(tasks[SHOW_REBOOT]["skipped"])

    def test_playbook_nothing_to_restart(self):
        status, tasks = self.playbook()
        self.assertEqual(status, 0)
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["changed"], ran.get("failed", False)), (0, False, False))
        for name in (SHOW_RESTARTS, SHOW_ERRORS, FAIL_ERRORS):
            self.assertTrue(tasks[name]["skipped"], name)

    def test_playbook_vrix_error_fails_the_host(self):
        self.helpers.deleted()
        missing = os.path.join(self.tmp, "none")
        status, tasks = self.playbook(f"vrix_whitelist={missing}")
        self.assertEqual(status, 2)  # ansible-playbook: a host failed
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["failed"]), (1, True))
        self.assertEqual(ran["stderr"],
                         f"vrix: cannot open file '{missing}': No such file or directory")
        self.assertEqual(list(tasks), ["Run vrix"])
        # A vrix that cannot be started is no judgement either.
        status, tasks = self.playbook("vrix_path=" + os.path.join(self.tmp, "absent"))
        self.assertEqual((status, list(tasks)), (2, ["Run vrix"]))
        self.assertTrue(tasks["Run vrix"]["failed"])

    def test_ad_hoc_command(self):
        self.assertEqual(self.ad_hoc(), (0, "localhost | CHANGED | rc=0 | (stdout) \n", ""))
        pid = self.helpers.deleted()
        self.assertEqual(self.ad_hoc(), (
            0, "localhost | CHANGED | rc=0 | (stdout) %s\\nrestart needed\n"
               % env.row(pid, "miss", ARGS.mapper), ""))
        status, out, _ = self.ad_hoc(f"{ARGS.vrix} -w /nonexistent")
        self.assertEqual(status, 2)
        head, _, result = out.partition(" => ")
        self.assertEqual(head, "localhost | FAILED!")
        self.assertEqual(json.loads(result)["rc"], 1)


class UninspectableProcessTest(AnsibleCase):
    """Ansible run by a root that cannot read the namespace's first process:
    vrix ends with 1 on every run, with one err row."""

    prefix = env.CONFINED

    def setUp(self):
        super().setUp()
        self.first = env.first_process_row()

    def test_restarts_win_over_errors(self):
        pid = self.helpers.deleted()
        status, tasks = self.playbook()
        self.assertEqual(status, 0)
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["changed"], ran.get("failed", False)), (1, True, False))
        self.assertEqual(tasks[SHOW_RESTARTS]["vrix_restart_rows"],
                         [env.row(pid, "miss", ARGS.mapper)])
        self.assertEqual(tasks[SHOW_ERRORS]["msg"], [self.first])
        self.assertTrue(tasks[FAIL_ERRORS]["skipped"])

    def test_errors_alone_fail_unless_accepted(self):
        self.helpers.untouched()
        command = self.first.split(None, 3)[3]
        status, tasks = self.playbook()
        self.assertEqual(status, 2)
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["changed"], ran.get("failed", False)), (1, False, False))
        self.assertTrue(tasks[SHOW_RESTARTS]["skipped"])
        self.assertEqual(tasks[SHOW_ERRORS]["msg"], [self.first])
        self.assertEqual((tasks[FAIL_ERRORS]["failed"], tasks[FAIL_ERRORS]["msg"]),
                         (True, f"vrix could not inspect {command}"))
        for accepted in (json.dumps({"vrix_accepted_errors": ["(other)", command]}),
                         f"vrix_accepted_errors={command}"):
            with self.subTest(accepted=accepted):
                status, tasks = self.playbook(accepted)
                self.assertEqual(status, 0)
                self.assertEqual(tasks[SHOW_ERRORS]["msg"], [self.first])
                self.assertTrue(tasks[FAIL_ERRORS]["skipped"])

    def test_ad_hoc_command(self):
        status, out, _ = self.ad_hoc()
        self.assertEqual(status, 2)
        head, _, result = out.partition(" => ")
        self.assertEqual(head, "localhost | FAILED!")
        self.assertEqual((json.loads(result)["rc"], json.loads(result)["stdout"]), (1, self.first))
        pid = self.helpers.deleted()
        self.assertEqual(self.ad_hoc(), (
            0, "localhost | CHANGED | rc=0 | (stdout) %s\\n%s\\nrestart needed\n"
               % (self.first, env.row(pid, "miss", ARGS.mapper)), ""))


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
