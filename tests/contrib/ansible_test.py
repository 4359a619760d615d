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
if shutil.which("ansible-playbook") is None:
    env.skip("ansible-playbook not found (apt-get install ansible-core)")

PLAYBOOK = os.path.join(ARGS.contrib, "ansible", "vrix.yml")
# The README's ad-hoc command, with the vrix under test.
AD_HOC = env.readme_block("    ansible all -b -m shell --one-line -a '")[0]
AD_HOC = AD_HOC.split(" -a '", 1)[1][:-1].replace("vrix -h", "{vrix} -h")
SHOW_RESTARTS = "Show the processes that need restarting"
SHOW_ERRORS = "Show what vrix could not inspect"
FAIL_ERRORS = "Fail on err rows not accepted when nothing needs restarting"


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
                "-e", "ansible_become=false", "-e", f"vrix_path={ARGS.vrix}"]
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
        self.assertTrue(tasks[SHOW_ERRORS]["skipped"])
        self.assertTrue(tasks[FAIL_ERRORS]["skipped"])

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
