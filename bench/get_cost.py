"""What 1,000 sequential small HTTPS GETs on one kept connection cost MireloServices, for one or
more builds side by side in one run, with curl (one process, one reused connection) as the
reference in the same run: wall time, CPU time and context switches per request, and with
--strace the system calls per request.

Usage: /usr/bin/python3 bench/get_cost.py [--strace] [--runs N] BUILD_DIR [BUILD_DIR...]
"""
import glob, json, os, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'env'))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import TestCA  # noqa: E402
from timing import curl, https_server  # noqa: E402

args = sys.argv[1:]
use_strace = '--strace' in args
args = [a for a in args if a != '--strace']
runs = 3
if '--runs' in args:
    i = args.index('--runs'); runs = int(args[i + 1]); del args[i:i + 2]
builds = [os.path.abspath(b) for b in args]
N = 1000


def cpu_seconds(pid):
    """Time on a CPU over the process's threads, in nanoseconds from the scheduler (the clock-tick
    counts in /proc/PID/stat are too coarse for these runs)."""
    total = 0
    for stat in glob.glob('/proc/%d/task/*/schedstat' % pid):
        total += int(open(stat).read().split()[0])
    return total / 1e9


def switches(pid):
    total = 0
    for status in glob.glob('/proc/%d/task/*/status' % pid):
        for line in open(status):
            if line.startswith(('voluntary_ctxt_switches', 'nonvoluntary_ctxt_switches')):
                total += int(line.split()[1])
    return total


def one(build, urls, ca, strace_out=None):
    program = [os.path.join(build, 'services', 'MireloServices')]
    if strace_out:
        program = ['strace', '-f', '-c', '-o', strace_out] + program
    prog = subprocess.Popen(program, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0,
                            env={'PATH': '/usr/bin:/bin', 'HOME': '/tmp', 'SSL_CERT_FILE': ca.ca_file})
    out = open(prog.stdout.fileno(), 'rb', buffering=1 << 16, closefd=False)
    lines = [json.dumps({'id': str(i), 'command': 'http', 'payload': {'url': u}}).encode() + b'\n' for i, u in enumerate(urls)]
    try:
        def run(batch):
            for line in batch:
                prog.stdin.write(line)
                reply = out.readline()
                assert b'"value":{"body":' in reply, reply[:200]
        run(lines[:20])
        pid = prog.pid
        cpu0, sw0 = (cpu_seconds(pid), switches(pid)) if not strace_out else (0, 0)
        t0 = time.perf_counter()
        run(lines)
        wall = time.perf_counter() - t0
        if strace_out:
            return wall, None, None
        return wall, (cpu_seconds(pid) - cpu0) / N * 1e6, (switches(pid) - sw0) / N
    finally:
        prog.stdin.close(); prog.wait(10)


ca = TestCA()
serving, port = https_server(ca)
urls = ['https://127.0.0.1:%d/status/200?i=%d' % (port, i) for i in range(N)]
try:
    print('load before:', open('/proc/loadavg').read().strip())
    results = {b: [] for b in builds}
    refs = []
    for _ in range(runs):
        for b in builds:  # interleaved with curl, so each sees the same load
            results[b].append(one(b, urls, ca))
        refs.append(curl(ca, urls))
    print('curl: %.3f s (runs %s)' % (statistics.median(refs), ' '.join('%.3f' % r for r in refs)))
    for b in builds:
        walls, cpus, sws = zip(*results[b])
        ratios = [w / r for w, r in zip(walls, refs)]
        print('%s: %.3f s (runs %s), x curl per run %s, %.1f us CPU per request, %.2f context switches per request'
              % (b, statistics.median(walls), ' '.join('%.3f' % w for w in walls), ' '.join('%.2f' % r for r in ratios),
                 statistics.median(cpus), statistics.median(sws)))
    if use_strace:
        for b in builds:
            with tempfile.NamedTemporaryFile(suffix='.strace') as f:
                one(b, urls, ca, f.name)
                calls = {}
                for line in open(f.name):
                    parts = line.split()
                    if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != 'total':
                        calls[parts[-1]] = int(parts[3])
            per = {k: v / (N + 20) for k, v in calls.items() if v / (N + 20) >= 0.05}
            print('%s: %.1f system calls per request: %s' % (b, sum(per.values()), ', '.join(
                '%s %.2f' % (k, v) for k, v in sorted(per.items(), key=lambda kv: -kv[1]))))
    print('load after:', open('/proc/loadavg').read().strip())
finally:
    serving.stdin.close(); serving.wait(); ca.close()
