"""The scan waits on nothing but the system calls it makes: however many
processes it judges and rows it writes, vrix and its worker together sleep
only a few times (once per process or per row would show here). Helpers
with a library of their own, deleted, in a PID namespace of the test's own:
every path is asked once and every helper is reported.

    context_switches_test.py --vrix VRIX --mapper MAPPER --testlib TESTLIB --contrib DIR
"""

import os
import resource
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "contrib"))
import contrib_env  # noqa: E402

ARGS = contrib_env.parse_args()
HELPERS = 300
MOST_SWITCHES = 50


class ContextSwitches(unittest.TestCase):
    def test_sleeps_do_not_grow_with_processes_or_rows(self):
        with tempfile.TemporaryDirectory() as tmp:
            helpers = contrib_env.Helpers(ARGS, tmp)
            try:
                pids = [helpers.deleted() for _ in range(HELPERS)]
                before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_nvcsw
                status, out, err = contrib_env.run([ARGS.vrix, "-h"])
                after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_nvcsw
            finally:
                helpers.stop()
        reported = {int(line.split()[0]) for line in out.splitlines()}
        self.assertEqual((status, err), (2, ""))
        self.assertTrue(set(pids) <= reported)
        self.assertLessEqual(after - before, MOST_SWITCHES)


if __name__ == "__main__":
    contrib_env.enter_pid_namespace()
    unittest.main(argv=ARGS.unittest_argv)
