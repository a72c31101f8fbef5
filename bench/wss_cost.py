"""What one WSS echo round trip costs MireloServices (1 KiB text, one in flight), for one or more
builds side by side in one run: wall round trips per second, CPU time and thread wake-ups (context
switches over all threads) per round trip, and with --strace the system calls per round trip.
CPU and wake-ups hardly depend on how loaded the machine is, where wall time swings.

Usage: /usr/bin/python3 bench/wss_cost.py [--strace] [--runs N] BUILD_DIR [BUILD_DIR...]
(each BUILD_DIR holds services/MireloServices; the first one's bench/ws_echo_server serves all)
"""
import glob, json, os, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'env'))
from servers import TestCA  # noqa: E402

args = sys.argv[1:]
use_strace = '--strace' in args
args = [a for a in args if a != '--strace']
runs = 3
if '--runs' in args:
    i = args.index('--runs'); runs = int(args[i + 1]); del args[i:i + 2]
builds = [os.path.abspath(b) for b in args]
N = 4000
MESSAGE = 'm' * 1024


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


def one(build, port, ca, strace_out=None):
    program = [os.path.join(build, 'services', 'MireloServices')]
    if strace_out:
        program = ['strace', '-f', '-c', '-o', strace_out] + program
    prog = subprocess.Popen(program, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0,
                            env={'PATH': '/usr/bin:/bin', 'HOME': '/tmp', 'SSL_CERT_FILE': ca.ca_file})
    out = open(prog.stdout.fileno(), 'rb', buffering=1 << 16, closefd=False)
    try:
        prog.stdin.write(json.dumps({'id': 'o', 'command': 'socket-open', 'payload': {
            'url': 'wss://127.0.0.1:%d/' % port, 'socketId': 'e'}}).encode() + b'\n')
        assert json.loads(out.readline()).get('value') is True
        trip = (json.dumps({'id': 's', 'command': 'socket-send', 'payload': {'socketId': 'e', 'data': MESSAGE}}) + '\n' +
                json.dumps({'id': 'r', 'command': 'socket-receive', 'payload': {'socketId': 'e'}}) + '\n').encode()

        def run(n):
            for _ in range(n):
                prog.stdin.write(trip)
                assert all(out.readline() for _ in range(3)), 'program ended'
        run(200)
        pid = prog.pid
        cpu0, sw0, t0 = (cpu_seconds(pid), switches(pid), time.perf_counter()) if not strace_out else (0, 0, time.perf_counter())
        run(N)
        wall = time.perf_counter() - t0
        if strace_out:
            return N / wall, None, None
        return N / wall, (cpu_seconds(pid) - cpu0) / N * 1e6, (switches(pid) - sw0) / N
    finally:
        prog.stdin.close(); prog.wait(10)


def strace_calls(path):
    calls = {}
    for line in open(path):
        parts = line.split()
        if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] not in ('total',):
            calls[parts[-1]] = int(parts[3])
    return calls


ca = TestCA()
echo = subprocess.Popen([os.path.join(builds[0], 'bench', 'ws_echo_server'), os.path.join(ca.dir, 'server.pem'),
                         os.path.join(ca.dir, 'server.key')], stdout=subprocess.PIPE)
port = int(echo.stdout.readline())
try:
    print('load before:', open('/proc/loadavg').read().strip())
    results = {b: [] for b in builds}
    for _ in range(runs):
        for b in builds:  # interleaved, so each build sees the same load
            results[b].append(one(b, port, ca))
    for b in builds:
        rts, cpus, sws = zip(*results[b])
        print('%s: %.0f rt/s (runs %s), %.1f us CPU per round trip, %.2f context switches per round trip'
              % (b, statistics.median(rts), ' '.join('%.0f' % r for r in rts), statistics.median(cpus), statistics.median(sws)))
    if use_strace:
        for b in builds:
            with tempfile.NamedTemporaryFile(suffix='.strace') as f:
                one(b, port, ca, f.name)
                calls = strace_calls(f.name)
            # the warm-up, the open and the start-up are in the count too: (N + 200) trips
            per = {k: v / (N + 200) for k, v in calls.items() if v / (N + 200) >= 0.05}
            print('%s: %.1f system calls per round trip: %s' % (b, sum(per.values()), ', '.join(
                '%s %.2f' % (k, v) for k, v in sorted(per.items(), key=lambda kv: -kv[1]))))
    print('load after:', open('/proc/loadavg').read().strip())
finally:
    echo.terminate(); echo.wait(); ca.close()
