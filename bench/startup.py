"""Start-up of MireloServices as the host sees it, on a desktop (a private X server and HOME):

  first reply:  time from spawn to the first reply line (an unknown command written at once)
  idle:         minor faults and resident memory once the first reply is out and the program idles,
                before any image or display command

Reference in the same run: /bin/cat spawned the same way, one line written and read back.

Run after a build: /usr/bin/python3 bench/startup.py [build dir] [starts]. Use a Release build.
"""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from testenv import TempHome, Xvfb, clean_env, minor_faults, program_path, status_kib  # noqa: E402

STARTS = int(sys.argv[2]) if len(sys.argv) > 2 else 20
LINE = b'{"id":"1","command":"nope"}\n'
SETTLE = 0.3  # seconds after the first reply before the idle figures are read


def read_line(fd, timeout=10):
    deadline = time.monotonic() + timeout
    data = b""
    while not data.endswith(b"\n"):
        if time.monotonic() > deadline:
            raise SystemExit("no reply within %d s" % timeout)
        chunk = os.read(fd, 4096)
        if not chunk:
            raise SystemExit("the program ended before replying")
        data += chunk
    return data


def one_start(argv, env):
    started = time.perf_counter()
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=env)
    process.stdin.write(LINE)
    process.stdin.flush()
    read_line(process.stdout.fileno())
    elapsed = time.perf_counter() - started
    time.sleep(SETTLE)
    faults, rss = minor_faults(process.pid), status_kib(process.pid)
    process.stdin.close()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    return elapsed, faults, rss


def series(name, argv, env):
    runs = [one_start(argv, env) for _ in range(STARTS)]
    times = [r[0] * 1000 for r in runs]
    faults = statistics.median(r[1] for r in runs)
    rss = statistics.median(r[2] for r in runs) / 1024
    print("%-16s first reply %6.1f ms median (min %.1f, max %.1f); idle: %5.0f minor faults, RSS %5.1f MiB"
          % (name, statistics.median(times), min(times), max(times), faults, rss))
    return statistics.median(times), faults, rss


def main():
    with Xvfb() as xvfb, TempHome() as home:
        env = clean_env(DISPLAY=xvfb.display, **home.env())
        print("%d starts each, on a private X server, no buses" % STARTS)
        reference = series("/bin/cat", ["/bin/cat"], env)
        ours = series("MireloServices", [program_path("MireloServices")], env)
        print("MireloServices / cat: first reply %.1f x, faults %.1f x, RSS %.1f x"
              % (ours[0] / reference[0], ours[1] / reference[1], ours[2] / reference[2]))


if __name__ == "__main__":
    main()
