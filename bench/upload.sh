#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Posts files of the given sizes to a loopback server with the plug-in's upload and with the
# curl command line (curl -F file=@...), interleaved in one run, and prints for each size
# each client's median wall time, their ratio and each one's peak resident memory (from
# wait4, per process), beside a 0-byte upload that shows process start-up.
#   bench/upload.sh [BUILD_DIR] [RUNS] [MEGABYTES...]     (default: build 7 50)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-7}
shift 2 2>/dev/null || shift $#
sizes=("${@:-50}")
cmake --build "$build" --target upload-bench >/dev/null

exec python3 - "$build/bench/upload-bench" "$runs" "${sizes[@]}" <<'PY'
import os, shutil, statistics, subprocess, sys, tempfile, time

bench, runs, sizes = sys.argv[1], int(sys.argv[2]), [int(s) for s in sys.argv[3:]]
work = tempfile.mkdtemp(prefix="brisvane-bench-")
state = os.path.join(work, "server")
# Heads only: the server's own disk writes would otherwise weigh on both clients.
server = subprocess.Popen(["python3", "tests/support/recording-server.py", "--dir", state, "--heads-only"])
try:
    port_file = os.path.join(state, "port")
    deadline = time.monotonic() + 20
    while not os.path.exists(port_file):
        if time.monotonic() > deadline:
            sys.exit("server did not start")
        time.sleep(0.05)
    url = "http://127.0.0.1:%s/upload" % open(port_file).read().strip()

    def make(name, size):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            left = size
            while left:
                chunk = os.urandom(min(left, 1 << 20))
                f.write(chunk)
                left -= len(chunk)
        return path

    empty = make("empty.wav", 0)
    target = os.path.join(work, "recording_bench.wav")

    def measure(command):
        start = time.monotonic()
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
        child.returncode = 0
        if status != 0:
            sys.exit("failed: %s" % " ".join(command))
        return wall, usage.ru_maxrss  # KiB

    def ours(path):
        # The upload deletes what the server took: hand it a link, the source stays.
        if os.path.exists(target):
            os.unlink(target)
        os.link(path, target)
        return measure([bench, target, url])

    def curl(path):
        return measure(["curl", "-sS", "-f", "-o", "/dev/null", "-F", "file=@%s;type=audio/wav" % path, url])

    for megabytes in sizes:
        source = make("source.wav", megabytes * 1000 * 1000)
        results = {"ours": [], "curl": [], "ours-empty": [], "curl-empty": []}
        for _ in range(runs):
            results["ours"].append(ours(source))
            results["curl"].append(curl(source))
            results["ours-empty"].append(ours(empty))
            results["curl-empty"].append(curl(empty))
        os.unlink(source)

        def median_wall(key):
            return statistics.median(w for w, _ in results[key])

        def peak_mib(key):
            return max(m for _, m in results[key]) / 1024

        print("%d MB file, %d runs each, interleaved; loopback server" % (megabytes, runs))
        print("%-26s %12s %14s" % ("client", "median wall", "peak RSS"))
        for key, label in (("ours", "upload_file, %d MB" % megabytes), ("curl", "curl -F, %d MB" % megabytes),
                           ("ours-empty", "upload_file, 0 B"), ("curl-empty", "curl -F, 0 B")):
            print("%-26s %10.3f s %10.1f MiB" % (label, median_wall(key), peak_mib(key)))
        print("wall-time ratio upload_file / curl (%d MB): %.2f" % (megabytes, median_wall("ours") / median_wall("curl")))
        print("memory above the 0 B run: upload_file %.1f MiB, curl %.1f MiB"
              % (peak_mib("ours") - peak_mib("ours-empty"), peak_mib("curl") - peak_mib("curl-empty")))
        print()
finally:
    server.terminate()
    server.wait()
    shutil.rmtree(work, ignore_errors=True)
PY
