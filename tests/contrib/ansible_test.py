"""contrib/ansible/vrix.yml and the README's ad-hoc command, run by ansible
against this host over a local connection, in a PID namespace of its own:
vrix's 2 means "restart needed", not a failed host; its 1 fails the host."""

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
AD_HOC = ('{vrix} -h; s=$?; case $s in 2) echo "restart needed" ;; 0) ;; '
          '*) exit $s ;; esac')


class AnsibleTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-ansible-")
        self.env = dict(os.environ, HOME=self.tmp, ANSIBLE_NOCOLOR="1",
                        ANSIBLE_LOCAL_TEMP=os.path.join(self.tmp, "local"),
                        ANSIBLE_REMOTE_TEMP=os.path.join(self.tmp, "remote"),
                        ANSIBLE_PYTHON_INTERPRETER="auto_silent")
        self.helpers = env.Helpers(ARGS, self.tmp)
        self.helpers.untouched()

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
        status, out, err = env.run(argv + [PLAYBOOK], cwd=self.tmp,
                                   env=dict(self.env, ANSIBLE_STDOUT_CALLBACK="json"))
        self.assertTrue(out.startswith("{"), (status, out, err))
        tasks = json.loads(out)["plays"][0]["tasks"]
        return status, {t["task"]["name"]: t["hosts"]["localhost"] for t in tasks}

    def test_playbook_restart_needed_is_a_change(self):
        pid = self.helpers.deleted()
        status, tasks = self.playbook()
        self.assertEqual(status, 0)
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["changed"], ran.get("failed", False)), (2, True, False))
        self.assertEqual(tasks["Show the processes that need restarting"]["vrix.stdout_lines"],
                         [env.row(pid, "miss", ARGS.mapper)])

    def test_playbook_nothing_to_restart(self):
        status, tasks = self.playbook()
        self.assertEqual(status, 0)
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["changed"], ran.get("failed", False)), (0, False, False))
        self.assertTrue(tasks["Show the processes that need restarting"]["skipped"])

    def test_playbook_vrix_error_fails_the_host(self):
        self.helpers.deleted()
        missing = os.path.join(self.tmp, "none")
        status, tasks = self.playbook(f"vrix_whitelist={missing}")
        self.assertEqual(status, 2)  # ansible-playbook: a host failed
        ran = tasks["Run vrix"]
        self.assertEqual((ran["rc"], ran["failed"]), (1, True))
        self.assertEqual(ran["stderr"],
                         f"vrix: cannot open file '{missing}': No such file or directory")
        self.assertNotIn("Show the processes that need restarting", tasks)

    def test_ad_hoc_command(self):
        def ad_hoc(vrix):
            return env.run(["ansible", "localhost", "-i", "localhost,", "-c", "local",
                            "-m", "shell", "-a", AD_HOC.format(vrix=vrix), "--one-line"],
                           cwd=self.tmp, env=self.env)

        self.assertEqual(ad_hoc(ARGS.vrix), (0, "localhost | CHANGED | rc=0 | (stdout) \n", ""))
        pid = self.helpers.deleted()
        self.assertEqual(ad_hoc(ARGS.vrix), (
            0, "localhost | CHANGED | rc=0 | (stdout) %s\\nrestart needed\n"
               % env.row(pid, "miss", ARGS.mapper), ""))
        status, out, _ = ad_hoc(f"{ARGS.vrix} -w /nonexistent")
        self.assertEqual(status, 2)
        head, _, result = out.partition(" => ")
        self.assertEqual(head, "localhost | FAILED!")
        self.assertEqual(json.loads(result)["rc"], 1)


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
