"""limits.sh for the Python tests: failures printed with the test's name, and
programs run under a time limit, killed with their process group on overrun."""
import os
import signal
import subprocess
import sys

NAME = os.path.splitext(os.path.basename(sys.argv[0]))[0]  # the script's name, as limits.sh gives it
failures = []


def fail(message):
    failures.append(message)
    print(f"{NAME}: FAIL: {message}", file=sys.stderr)


def run(args, limit, env=None):
    """Runs a program under a limit of `limit` seconds; its stdout, or None when it failed."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                         start_new_session=True)
    try:
        out, err = p.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        fail(f"{os.path.basename(args[0])} did not finish within its limit of {limit} s; killed: {' '.join(args)}")
        return None
    if p.returncode != 0:
        fail(f"{' '.join(args)} exited {p.returncode}:\n{(out + err).strip()[-3000:]}")
        return None
    return out
