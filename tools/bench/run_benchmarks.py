#!/usr/bin/env python3
"""Runs every benchmark of tools/bench against its baseline, in one run on one machine, and
writes the report (docs/performance.md). scripts/bench builds the programs and calls this under
Xvfb; the display figures need the X server.

usage: run_benchmarks.py BUILD_DIR REPORT.md [--quick]
       run_benchmarks.py --process-costs BUILD_DIR SECONDS   (inside a private network namespace)
"""

import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time

QUICK = "--quick" in sys.argv


def median_and_range(values):
    return statistics.median(values), min(values), max(values)


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


def fmt_spread(values, formatter):
    med, low, high = median_and_range(values)
    return f"{formatter(med)}", f"{formatter(low)} – {formatter(high)}"


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def memory_total():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    return "unknown"


# --- Google Benchmark programs -------------------------------------------------------------------

def run_google_benchmark(program, extra=()):
    """Runs a benchmark program; returns (its JSON report, its standard output)."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as out:
        path = out.name
    args = [program, f"--benchmark_out={path}", "--benchmark_out_format=json",
            "--benchmark_report_aggregates_only=false",
            "--benchmark_display_aggregates_only=true", *extra]
    if QUICK:
        args += ["--benchmark_repetitions=3", "--benchmark_min_time=0.05"]
    result = subprocess.run(args, capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"{program} failed:\n{result.stdout}\n{result.stderr}")
    with open(path) as f:
        report = json.load(f)
    os.unlink(path)
    return report, result.stdout


def repetitions(report, name):
    """The per-repetition runs of one benchmark."""
    runs = [b for b in report["benchmarks"]
            if b["run_type"] == "iteration" and b["name"] == name]
    if not runs:
        raise RuntimeError(f"no runs of {name}")
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    for run in runs:
        run["real_ns"] = run["real_time"] * scale[run["time_unit"]]
    return runs


def attribution(stdout):
    """'attribution SUBJECT LIBRARY N' lines: {subject: [(library, n)]}."""
    found = {}
    for line in stdout.splitlines():
        parts = line.split()
        if len(parts) == 4 and parts[0] == "attribution":
            found.setdefault(parts[1], []).append((parts[2], float(parts[3])))
    return found


# --- Whole-process costs -------------------------------------------------------------------------

def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, every thread


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def thread_ticks(pid):
    """{(tid, group): utime + stime} for every thread now. The main thread is the one whose id is
    the process's; other threads are grouped by name."""
    ticks = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                text = f.read()
        except OSError:
            continue  # ended meanwhile
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        if int(tid) == pid:
            group = "main thread"
        elif name.startswith("llvmpipe"):
            group = "llvmpipe rasteriser threads"
        else:
            group = f"other threads named {name}"
        ticks[(tid, group)] = int(fields[11]) + int(fields[12])
    return ticks


def sample_process(pid, seconds, warm_up, windows=6):
    """CPU use (percent of one processor) over equal windows after a warm-up, the same by thread
    group over the whole time, and peak memory."""
    tick = os.sysconf("SC_CLK_TCK")
    time.sleep(warm_up)
    shares = []
    window = seconds / windows
    start, before = time.monotonic(), thread_ticks(pid)
    for _ in range(windows):
        t0, c0 = time.monotonic(), cpu_ticks(pid)
        time.sleep(window)
        t1, c1 = time.monotonic(), cpu_ticks(pid)
        shares.append((c1 - c0) / tick / (t1 - t0) * 100)
    elapsed, after = time.monotonic() - start, thread_ticks(pid)
    by_group = {}
    for key, value in after.items():
        by_group[key[1]] = by_group.get(key[1], 0) + (value - before.get(key, 0)) / tick / elapsed * 100
    return {"cpu_percent": shares, "cpu_by_thread": by_group, "peak_kib": peak_memory_kib(pid),
            "threads": threads(pid)}


def process_costs(build, seconds):
    """Run inside a private network namespace: the instrument and korvalis-sim there cannot
    meet any other module or instrument on the machine."""
    build = os.path.abspath(build)
    sim_path = os.path.join(build, "tools", "sim", "korvalis-sim")
    asi_path = os.path.join(build, "korvalis-asi")
    bare_path = os.path.join(build, "tools", "bench", "bare_window")
    scratch = tempfile.mkdtemp(prefix="korvalis-bench-")
    results = {}

    status = tempfile.TemporaryFile()
    sim = subprocess.Popen([sim_path], stdout=subprocess.DEVNULL, stderr=status)
    asi = subprocess.Popen([asi_path], cwd=scratch, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    try:
        instrument = sample_process(asi.pid, seconds, warm_up=5)
        simulator = {"peak_kib": peak_memory_kib(sim.pid)}
        status.seek(0)
        lines = [line for line in status.read().decode(errors="replace").splitlines()
                 if "exchanges/s" in line]
        rates = [float(line.split(":", 1)[1].split()[0]) for line in lines[5:]]
        connected = any("clients 1" in line for line in lines)
        asi.send_signal(signal.SIGTERM)
        code = asi.wait(10)
        results["instrument"] = dict(instrument, connected=connected, exit_code=code,
                                     exchanges_per_second=rates)
        results["simulator"] = simulator
    finally:
        for p in (asi, sim):
            if p.poll() is None:
                p.kill()
                p.wait()

    bare = subprocess.Popen([bare_path, "2", str(int(seconds + 15))], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        results["bare_window"] = sample_process(bare.pid, seconds, warm_up=5)
        bare.send_signal(signal.SIGTERM)
        out, _ = bare.communicate(timeout=10)
        results["bare_window"]["presents"] = out.strip()
    finally:
        if bare.poll() is None:
            bare.kill()
    print(json.dumps(results))


def measure_process_costs(build, seconds):
    me = [sys.executable, os.path.abspath(__file__), "--process-costs", build, str(seconds)]
    failures = []
    for prefix in (["unshare", "--net"], ["unshare", "--user", "--map-root-user", "--net"]):
        try:
            result = subprocess.run(prefix + me, capture_output=True, text=True,
                                    timeout=seconds * 3 + 120)
        except FileNotFoundError:
            break
        if result.returncode == 0:
            return json.loads(result.stdout.strip().splitlines()[-1]), " ".join(prefix)
        failures.append(f"{' '.join(prefix)}: {result.stderr.strip()[-2000:]}")
    raise RuntimeError("the whole-process run failed; korvalis-sim needs a private network "
                       "namespace (unshare), where it meets no other module or instrument:\n" +
                       "\n".join(failures))


# --- The report ----------------------------------------------------------------------------------

def main():
    if sys.argv[1] == "--process-costs":
        process_costs(sys.argv[2], float(sys.argv[3]))
        return
    build, report_path = sys.argv[1], sys.argv[2]
    bench = os.path.join(build, "tools", "bench")
    machine = {
        "cores": os.cpu_count(),
        "cpu": cpu_model(),
        "memory": memory_total(),
        "kernel": platform.release(),
        "load_before": load_average(),
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
    }
    print("link_bench ...", file=sys.stderr)
    link, link_out = run_google_benchmark(os.path.join(bench, "link_bench"))
    print("frame_bench ...", file=sys.stderr)
    frame, frame_out = run_google_benchmark(os.path.join(bench, "frame_bench"))
    frame_vsync, _ = run_google_benchmark(os.path.join(bench, "frame_bench"),
                                          ["--vsync", "--benchmark_repetitions=3",
                                           "--benchmark_filter=BM_ClearPresent|state:0"])
    print("latency_bench ...", file=sys.stderr)
    changes = 200 if QUICK else 1000
    latency_run = subprocess.run([os.path.join(bench, "latency_bench"), str(changes)],
                                 capture_output=True, text=True, timeout=1800)
    lines = [l for l in latency_run.stdout.splitlines() if l.startswith("result ")]
    if latency_run.returncode != 0 or not lines:
        raise RuntimeError(f"latency_bench failed:\n{latency_run.stdout}\n{latency_run.stderr}")
    latency = json.loads(lines[-1][len("result "):])
    seconds = 10 if QUICK else 30
    print(f"process costs over {seconds} s ...", file=sys.stderr)
    costs, isolation = measure_process_costs(build, seconds)
    machine["load_after"] = load_average()
    machine["renderer"] = frame["context"].get("gl_renderer", "unknown")

    write_report(report_path, machine, link, link_out, frame, frame_out, frame_vsync, latency,
                 costs, isolation, seconds)
    print(f"wrote {report_path}", file=sys.stderr)


def write_report(path, machine, link, link_out, frame, frame_out, frame_vsync, latency, costs,
                 isolation, seconds):
    rows = []
    notes = []

    def row(what, measured, spread, baseline_name, baseline, ratio, goal, met):
        rows.append(f"| {what} | {measured} | {spread} | {baseline_name} | {baseline} | {ratio} "
                    f"| {goal} | {met} |")

    # The exchange against the bare ping-pong.
    exchange = repetitions(link, "BM_LinkExchange/real_time")
    pingpong = repetitions(link, "BM_SocketPingPong/real_time")
    ex = [r["real_ns"] for r in exchange]
    pp = [r["real_ns"] for r in pingpong]
    ratio = statistics.median(ex) / statistics.median(pp)
    row("one exchange of the three values (POSIX stand-in, module in another process)",
        *fmt_spread(ex, fmt_time), "Unix-socket ping-pong, same sizes",
        f"{fmt_time(statistics.median(pp))} ({fmt_spread(pp, fmt_time)[1]})", f"{ratio:.2f}×",
        "≤ 1.5×", "met" if ratio <= 1.5 else "**not met**")

    # The frame against a clear and a present.
    floor = [r["real_ns"] for r in repetitions(frame, "BM_ClearPresent/real_time")]
    states = {0: "online", 1: "offline (marker)", 2: "offline with the lighting overlay"}
    for state, name in states.items():
        draws = [r["real_ns"] for r in
                 repetitions(frame, f"BM_DrawInstrumentFrame/state:{state}/real_time")]
        row(f"`draw_instrument_frame`, {name}, present without retrace wait",
            *fmt_spread(draws, fmt_time), "clear + present alone, same surface",
            f"{fmt_time(statistics.median(floor))} ({fmt_spread(floor, fmt_time)[1]})",
            f"{statistics.median(draws) / statistics.median(floor):.2f}×", "—", "—")

    # Allocations.
    def allocs(report, name):
        runs = repetitions(report, name)
        return (statistics.median(r["allocs_own"] for r in runs),
                statistics.median(r["allocs_libraries"] for r in runs))

    own, libs = allocs(link, "BM_LinkExchange/real_time")
    pp_own, pp_libs = allocs(link, "BM_SocketPingPong/real_time")
    row("heap allocations per exchange, once running", f"{own:g} (ours) + {libs:g} (libraries)",
        "—", "ping-pong", f"{pp_own + pp_libs:g}", "—", "0",
        "met" if own + libs == 0 else "**not met**")
    f_own, f_libs = allocs(frame, "BM_DrawInstrumentFrame/state:0/real_time")
    c_own, c_libs = allocs(frame, "BM_ClearPresent/real_time")
    met = "met by our code" if f_own == 0 else "**not met**"
    if f_libs > 0:
        met += "; not by the graphics driver (see below)"
    row("heap allocations per frame, once running", f"{f_own:g} (ours) + {f_libs:g} (libraries)",
        "—", "clear + present", f"{c_own:g} (ours) + {c_libs:g} (libraries)", "—", "0", met)

    # Latency.
    lat, quiet = latency["latency_ms"], latency["quiet_iteration_ms"]
    it = latency["change_iteration_ms"]
    bound = it["p50"] + 1.0
    row(f"latency, korvalis-sim value change → recomputed needle angle, p50 / p99 over "
        f"{latency['changes']} changes", f"{lat['p50']:.1f} / {lat['p99']:.1f} ms",
        f"{lat['min']:.1f} – {lat['max']:.1f} ms",
        "one loop iteration that moves a needle (median) + the 1 ms poll pause",
        f"{bound:.1f} ms",
        f"{lat['p99'] / bound:.2f}× (p99)", "p99 ≤ iteration + 1 ms",
        "met" if lat["p99"] <= bound else "**not met** (see below)")
    link_part, loop_part = latency["link_ms"], latency["loop_ms"]
    row("… of which the link: the change written → the poll worker has stored it, p50 / p99",
        f"{link_part['p50']:.2f} / {link_part['p99']:.2f} ms",
        f"{link_part['min']:.2f} – {link_part['max']:.2f} ms",
        "the poll worker's 1 ms pause + one exchange", f"{1 + statistics.median(ex) / 1e6:.2f} ms",
        f"{link_part['p99'] / (1 + statistics.median(ex) / 1e6):.2f}× (p99)", "—", "—")
    row("… and the frame loop: stored → needle recomputed, p50 / p99",
        f"{loop_part['p50']:.1f} / {loop_part['p99']:.1f} ms",
        f"{loop_part['min']:.1f} – {loop_part['max']:.1f} ms",
        "one loop iteration that moves a needle (median)", f"{it['p50']:.1f} ms",
        f"{loop_part['p99'] / it['p50']:.2f}× (p99)", "—", "—")
    slow = latency["slowest_percent"]
    if lat["p99"] <= bound:
        latency_verdict = (f"The goal is met: the slowest hundredth of the changes took "
                           f"{slow['link_ms']:.1f} ms in the link and {slow['loop_ms']:.1f} ms "
                           f"waiting for the frame loop, that is, about one iteration.")
    else:
        latency_verdict = (
            f"**The goal was not met in this run**, by {lat['p99'] - bound:.1f} ms at p99. The "
            f"slowest hundredth of the changes took {slow['link_ms']:.1f} ms in the link (median "
            f"{link_part['p50']:.2f} ms) and {slow['loop_ms']:.1f} ms waiting for the frame "
            f"loop, whose iterations that moved a needle reached {it['p99']:.1f} ms at p99 and "
            f"{it['max']:.1f} ms at most (median {it['p50']:.1f} ms). The run shared "
            f"{machine['cores']} processors with other work: load average "
            f"{machine['load_before']} before, {machine['load_after']} after.")

    # Whole process.
    inst, bare, sim = costs["instrument"], costs["bare_window"], costs["simulator"]
    ic, bc = inst["cpu_percent"], bare["cpu_percent"]
    row(f"whole-process CPU over {seconds:g} s while connected (korvalis-asi, sweeping profile)",
        *fmt_spread(ic, lambda v: f"{v:.1f} %"), "bare SDL window presenting at the same pace",
        f"{statistics.median(bc):.1f} % ({fmt_spread(bc, lambda v: f'{v:.1f} %')[1]})",
        f"{statistics.median(ic) / max(statistics.median(bc), 0.01):.2f}×", "—", "—")
    row("peak memory (VmHWM)", f"{inst['peak_kib'] / 1024:.1f} MiB", "—", "bare SDL window",
        f"{bare['peak_kib'] / 1024:.1f} MiB", f"{inst['peak_kib'] / bare['peak_kib']:.2f}×", "—",
        "—")

    vsync_floor = [r["real_ns"] for r in repetitions(frame_vsync, "BM_ClearPresent/real_time")]
    vsync_draw = [r["real_ns"] for r in
                  repetitions(frame_vsync, "BM_DrawInstrumentFrame/state:0/real_time")]
    rates = inst.get("exchanges_per_second") or [0]

    def group_name(group):
        if group == "other threads named korvalis-asi":
            return "the two link workers"
        if group.endswith(":disk$0"):
            return "Mesa's shader-cache thread"
        return group

    groups = sorted(set(inst["cpu_by_thread"]) | set(bare["cpu_by_thread"]),
                    key=lambda g: -inst["cpu_by_thread"].get(g, 0))
    thread_rows = "\n".join(
        f"| {group_name(g)} | {inst['cpu_by_thread'].get(g, 0):.1f} % | "
        f"{bare['cpu_by_thread'].get(g, 0):.1f} % |" for g in groups
        if inst["cpu_by_thread"].get(g, 0) + bare["cpu_by_thread"].get(g, 0) >= 0.05)
    lib_lines = []
    for subject, entries in attribution(frame_out).items():
        lib_lines.append(f"- `{subject}`: " + ", ".join(f"{lib} {n:g}" for lib, n in entries))

    with open(path, "w") as out:
        out.write(f"""# Performance

Measured by `scripts/bench` on {machine['date']}: every figure beside its baseline, both taken in
the same run on the same machine. Medians over the repetitions ({len(exchange)} of each
benchmark, interleaved at random so that both sides of a ratio see the same machine); the spread
is the lowest and highest repetition. The whole-process figures are medians over six
{seconds / 6:.1f}-second windows. Regenerate this page with `scripts/bench`.

## Machine

| | |
|---|---|
| processors | {machine['cores']} × {machine['cpu']} |
| memory | {machine['memory']} |
| kernel | Linux {machine['kernel']} |
| load average (1, 5, 15 min) | {machine['load_before']} before, {machine['load_after']} after |
| X server | Xvfb (no display hardware) |
| renderer | {machine['renderer']} (Mesa's software rasteriser) |

A load average near or above the number of processors means other work shared the machine with
the benchmarks; the ratios, taken from interleaved repetitions, suffer least from it.

## Figures

| what | median | spread | baseline | baseline median (spread) | ratio | goal | met |
|---|---|---|---|---|---|---|---|
""")
        out.write("\n".join(rows) + "\n")
        out.write(f"""
## How each figure is taken, and what it shows

**The exchange** (`tools/bench/link_bench.cpp`). The client queues the three reads and
`simlink_process` sends them over the POSIX stand-in to a module in a child process, which
carries them out with `serve_request_block` and answers; the baseline sends the same 62 bytes
over a bare `SOCK_SEQPACKET` socket pair to an echoing child and back. Both peers of both
benchmarks are pinned to one processor, so that each round trip costs two switches there
rather than wake-ups across processors. The exchange adds to the bare round trip only the
message frame, the walk over the block and the copy-back.

**The frame** (`tools/bench/frame_bench.cpp`). `draw_instrument_frame` on the real surface (an
instrument window under Xvfb), against `clear_surface` and `present_surface` alone on the same
surface. The benchmark sets SDL's retrace hint to off before the surface opens, so neither side
waits for a retrace: no seam in the display was needed. With the retrace wait the instrument
ships with, Xvfb paces every present to its emulated 60 Hz display: a frame then takes
{fmt_time(statistics.median(vsync_draw))} and a clear + present {fmt_time(statistics.median(vsync_floor))},
so at run time the instrument's frames are bounded by the retrace, not by drawing.

**Allocations** (`tools/bench/alloc_counter.cpp`). The benchmark programs replace `malloc`,
`calloc`, `realloc`, the aligned allocators and every `operator new` with counting versions,
exported so that every shared library calls them too, and charge each allocation to the code
that asked: the executable (all of the instrument's code is linked into it) or a shared library.
Once running, the instrument's own code allocates nothing per exchange and nothing per frame.
The graphics stack below SDL does, at every frame; the same count, by the library that asked
(per frame, 200 frames):

{chr(10).join(lib_lines)}

These are Mesa's software rasteriser (`swrast_dri.so`) and the X11 libraries that carry each
present to the X server. SDL itself allocates nothing per frame.
They lie outside the program and happen on any frame, the bare clear + present included; on a
machine with display hardware a different driver takes Mesa's place.

**Latency** (`tools/bench/latency_bench.cpp`). korvalis-sim runs in another process with
`--stdin`; the benchmark runs the instrument's own start-up (window, surface, images, the real
link workers) and the real `run_frame_loop_iteration`. A writer thread waits a random 0 to 50 ms
(so that changes fall on every phase of the loop), stamps the time and writes `ias=...` to the
simulator; the build wraps `draw_instrument_frame` so that the first frame drawn after the
frame loop has recomputed the needle from the new value stamps the time again, on the same
monotonic clock, and `delay_ms` so that the poll worker's pause right after the exchange that
brought the value stamps its arrival, which splits the time into the link's part and the frame
loop's. The writer sleeps until it is woken by the last stamp, taking no processor time from
what it measures. {latency['changes']} changes, {latency['missed']} missed. Under Xvfb the
present waits for the emulated 60 Hz retrace, as on a real display: a loop iteration that
takes up a change draws two frames and takes {it['p50']:.1f} ms (median; p99
{it['p99']:.1f} ms), one without a change {quiet['p50']:.1f} ms. A change waits for at most the
rest of one iteration, plus the poll worker's 1 ms pause and one exchange. {latency_verdict}

**Whole process** (`tools/bench/run_benchmarks.py`). The real `korvalis-asi` beside korvalis-sim
flying its default sweep, so that both needles move and every iteration draws two frames;
against `tools/bench/bare_window.cpp`, a bare SDL window of the same size with the same
renderer and retrace wait that presents two frames per 10 ms sleep and does nothing else
({bare.get('presents', '')}). CPU time is utime + stime of every thread from `/proc/PID/stat`,
peak memory `VmHWM` from `/proc/PID/status`, both after a 5 s warm-up. Both programs and the
simulator run in a private network namespace (`{isolation}`), where the stand-in's abstract
sockets meet no other module or instrument on the machine.

The instrument was connected {'throughout' if inst['connected'] and min(rates) > 0
else '**not throughout**'}: korvalis-sim answered a median of {statistics.median(rates):.0f}
exchanges per second (lowest {min(rates):.0f}), one per pass of the poll worker, which is the
1 ms pause, the exchange and the wake-ups of both processes. It ran {inst['threads']} threads
(the main thread, the two link workers, the rasteriser's) and ended with exit code
{inst['exit_code']} on SIGTERM. korvalis-sim's own peak memory was
{sim['peak_kib'] / 1024:.1f} MiB. The X server's work for either program's presents is not
counted; it is the same for both.

The instrument's own data is small: the six decoded images are 1.1 MB of pixels (kept once by
the surface, to rebuild textures after a device reset, and once as textures), the request block
32 KiB. The rest of the {(inst['peak_kib'] - bare['peak_kib']) / 1024:.0f} MiB above the bare
window lies in the graphics stack: textures, the render target and the code it compiles for
the draws.

Where the CPU time goes, by thread, over the whole {seconds:g} s (percent of one processor;
the bare window's threads are named after it):

| threads | korvalis-asi | bare window |
|---|---|---|
{thread_rows}

The difference is drawing: without display hardware, Mesa's rasteriser threads compose every
frame on the processor (the dial, two needles with their shadows, bilinear sampling and
blending over 266 × 266 pixels, then the copy of the back buffer to the window), two frames per
iteration while the needles move. The bare window only clears. The link costs the two worker
threads at {statistics.median(rates):.0f} exchanges a second; the frame loop's own thread stays
near the bare window's main thread. With display hardware the rasteriser's share moves to the graphics
processor.
""")


if __name__ == "__main__":
    main()
