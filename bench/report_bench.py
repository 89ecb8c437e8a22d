"""Report file at size: engine.core against the same steps in plain Python.

    .venv/bin/python bench/report_bench.py [--sessions 19] [--rounds 20000] [--new-rounds 100000]

Builds a report of 19 sessions x 20000 rounds x 12 targets (2 of them with
latencies) and a new run of 100000 rounds, then measures, each in its own
child process:
  save    _save_run_report onto that report (the run's rounds in the compact
          form a monitoring run keeps), against json.load + append + trim +
          json.dump(indent=2, ensure_ascii=False) with the rounds as dicts;
  viewer  `python -m quorvelta report` from start to the statistics of the
          largest session, driven through standard input, against the same
          screens computed with json.load.
Prints wall time and peak memory (the child's ru_maxrss) and the ratios; the
bar is 5x faster at a third of the memory or less. Both writers must produce
the same bytes and both viewers the same screens, or the run fails.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

TARGETS = ["Google", "Google Scholar", "Gemini", "ChatGPT", "GitHub", "Claude", "NotebookLM", "LinkedIn",
           "内网服务", "api-gateway", "db-primary", "edge-cache"]
LATENCY_TARGETS = ["db-primary", "api-gateway"]
REPORT = "monitor_report.json"

# The rounds of a run, the same in every process that asks for them.
ROUNDS_SOURCE = r'''
import random
TARGETS = %r
LATENCY_TARGETS = %r
def make_rounds(seed, count):
    rng = random.Random(seed)
    for number in range(1, count + 1):
        results = {name: rng.random() > 0.03 for name in TARGETS}
        latency = {name: rng.randint(1, 400) for name in LATENCY_TARGETS if results[name]}
        stamp = "%%02d:%%02d:%%02d" %% (number // 3600 %% 24, number // 60 %% 60, number %% 60)
        yield number, stamp, results, latency
''' % (TARGETS, LATENCY_TARGETS)

FAST_SAVE = ROUNDS_SOURCE + r'''
import datetime, json, sys, time
import engine.core as core
count = int(sys.argv[1])
log = core._RoundLog()
for number, stamp, results, latency in make_rounds(2024, count):
    log.append(number, stamp, results, latency)
start = datetime.datetime(2024, 6, 1, 8, 0, 0)
began = time.perf_counter()
core._save_run_report(start, count + 1, log)
print(json.dumps({"seconds": time.perf_counter() - began}))
'''

PLAIN_SAVE = ROUNDS_SOURCE + r'''
import datetime, json, os, sys, time
count = int(sys.argv[1])
rounds = []
for number, stamp, results, latency in make_rounds(2024, count):
    record = {"round": number, "time": stamp, "results": results}
    if latency:
        record["latency"] = latency
    rounds.append(record)

def save_run_report(start_time, round_counter, rounds):
    session = {
        "start_time": start_time.strftime("%Y-%m-%d %H:%M:%S"),
        "end_time": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
        "total_rounds": round_counter,
        "rounds": [{"round": r["round"], "time": r["time"], "results": r["results"],
                    "latency": r.get("latency", {})} for r in rounds],
    }
    sessions = []
    if os.path.exists("monitor_report.json"):
        try:
            with open("monitor_report.json", encoding="utf-8") as f:
                sessions = json.load(f).get("sessions", [])
        except Exception:
            sessions = []
    sessions.append(session)
    sessions = sessions[-20:]
    with open("monitor_report.json", "w", encoding="utf-8") as f:
        json.dump({"sessions": sessions}, f, indent=2, ensure_ascii=False)

start = datetime.datetime(2024, 6, 1, 8, 0, 0)
began = time.perf_counter()
save_run_report(start, count + 1, rounds)
print(json.dumps({"seconds": time.perf_counter() - began}))
'''

PLAIN_VIEWER = r'''
import json, os
from i18n import tr

def view():
    if not os.path.exists("monitor_report.json"):
        print(tr("cli_report_no_sessions")); print(tr("cli_press_enter_to_exit"))
        try: input()
        except (EOFError, KeyboardInterrupt): pass
        return
    try:
        with open("monitor_report.json", encoding="utf-8") as f:
            sessions = json.load(f).get("sessions", [])
    except Exception:
        print(tr("cli_report_no_sessions")); return
    while True:
        print(tr("cli_report_title"))
        listed = list(reversed(sessions))
        for i, s in enumerate(listed, 1):
            print(tr("cli_report_session_label", i, s.get("start_time", "?"), s.get("end_time", "?"),
                     s.get("total_rounds", 0)))
        print()
        try:
            choice = input(tr("cli_report_select_prompt")).strip()
        except (EOFError, KeyboardInterrupt):
            print(); return
        if choice in ("0", ""):
            return
        try:
            n = int(choice)
        except ValueError:
            continue
        if not 1 <= n <= len(listed):
            continue
        rounds = listed[n - 1].get("rounds", [])
        if not rounds:
            print(tr("cli_report_no_data")); continue
        targets = sorted({t for r in rounds for t in r.get("results", {})})
        stats = {t: {"ok": 0, "fail": 0, "latencies": []} for t in targets}
        checks = successes = 0
        for r in rounds:
            results, latency = r.get("results", {}), r.get("latency", {})
            for t in targets:
                if t in results:
                    checks += 1
                    if results[t]:
                        successes += 1; stats[t]["ok"] += 1
                    else:
                        stats[t]["fail"] += 1
                    if t in latency:
                        stats[t]["latencies"].append(latency[t])
        print(); print(tr("cli_report_overview_header"))
        print(tr("cli_report_total_rounds", len(rounds))); print(tr("cli_report_total_checks", checks))
        if checks > 0:
            print(tr("cli_report_overall_success_rate", successes / checks * 100))
        print(); print(tr("cli_report_target_stats_header"))
        for t in targets:
            ok, fail, lat = stats[t]["ok"], stats[t]["fail"], stats[t]["latencies"]
            print(tr("cli_report_target_row", t, ok, fail, ok / (ok + fail) * 100))
            if lat:
                print(tr("cli_report_latency_row", "", f"{sum(lat) / len(lat):.1f}ms", f"{min(lat)}ms",
                         f"{max(lat)}ms", f"{max(lat) - min(lat)}ms"))
                if fail > 0:
                    print(tr("cli_report_latency_loss", "", fail, ok + fail, fail / (ok + fail) * 100))
        print(tr("cli_report_press_enter"))
        try: input()
        except (EOFError, KeyboardInterrupt):
            print(); return

view()
'''


# The report a machine has after that many runs, written as Python writes it.
OLD_REPORT = ROUNDS_SOURCE + r'''
import json, sys
path, sessions, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, "w", encoding="utf-8") as f:
    f.write('{\n  "sessions": [')
    for index in range(sessions):
        session = {
            "start_time": "2024-05-%02d 08:00:00" % (index + 1),
            "end_time": "2024-05-%02d 20:00:00" % (index + 1),
            "total_rounds": rounds + 1,
            "rounds": [{"round": n, "time": t, "results": r, "latency": l}
                       for n, t, r, l in make_rounds(index, rounds)],
        }
        # A session two levels down in json.dump(indent=2) is its own dump, indented by four.
        f.write(("," if index else "") + "\n    ")
        f.write(json.dumps(session, indent=2, ensure_ascii=False).replace("\n", "\n    "))
    f.write("\n  ]\n}")
'''


def run_child(argv, cwd, stdin_bytes=None, stdout_path=None):
    """Runs a child to its end: (wall seconds, peak RSS in MB, stdout text)."""
    out = open(stdout_path, "wb") if stdout_path else subprocess.PIPE
    began = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL,
                             env=dict(os.environ, PYTHONIOENCODING="utf-8"))
    if stdin_bytes:
        child.stdin.write(stdin_bytes)
    child.stdin.close()
    text = b"" if stdout_path else child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - began
    child.returncode = os.waitstatus_to_exitcode(status)
    if stdout_path:
        out.close()
        with open(stdout_path, "rb") as f:
            text = f.read()
    if child.returncode != 0:
        raise SystemExit("child failed (%d): %s" % (child.returncode, " ".join(argv[:3])))
    return seconds, usage.ru_maxrss / 1024, text.decode("utf-8")


def same_reports(a, b):
    """True when two reports are the same bytes but for the new session's end
    time (each writer read its own clock). Read in pieces: this process stays
    small, since its children inherit its peak memory figure."""
    marker = b'"end_time": "'
    last_end_time = -1
    differences = []
    done = 0
    carry = b""
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 22), fb.read(1 << 22)
            if len(x) != len(y):
                return False
            if not x:
                break
            if x != y:
                differences += [done + i for i in range(len(x)) if x[i] != y[i]]
                if len(differences) > 19:
                    return False
            window = carry + x
            found = window.rfind(marker)
            if found >= 0:
                last_end_time = done - len(carry) + found + len(marker)
            carry = x[-(len(marker) - 1):]
            done += len(x)
    return all(last_end_time <= at < last_end_time + 19 for at in differences)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sessions", type=int, default=19)
    parser.add_argument("--rounds", type=int, default=20000)
    parser.add_argument("--new-rounds", type=int, default=100000)
    parser.add_argument("--keep", action="store_true", help="keep the working folder")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="report_bench_")
    try:
        fast_dir, plain_dir = os.path.join(work, "fast"), os.path.join(work, "plain")
        os.makedirs(fast_dir)
        os.makedirs(plain_dir)
        old = os.path.join(work, REPORT)
        print("building a report of %d sessions x %d rounds x %d targets ..." % (
            args.sessions, args.rounds, len(TARGETS)), flush=True)
        subprocess.run([sys.executable, "-c", OLD_REPORT, old, str(args.sessions), str(args.rounds)], check=True)
        print("  %.0f MB; the new run has %d rounds" % (os.path.getsize(old) / 1e6, args.new_rounds), flush=True)
        shutil.copyfile(old, os.path.join(fast_dir, REPORT))
        shutil.copyfile(old, os.path.join(plain_dir, REPORT))

        py = sys.executable
        count = str(args.new_rounds)
        _, fast_save_mb, out = run_child([py, "-c", FAST_SAVE, count], fast_dir)
        fast_save_s = json.loads(out)["seconds"]
        _, plain_save_mb, out = run_child([py, "-c", PLAIN_SAVE, count], plain_dir)
        plain_save_s = json.loads(out)["seconds"]
        if not same_reports(os.path.join(fast_dir, REPORT), os.path.join(plain_dir, REPORT)):
            raise SystemExit("the two writers wrote different files")
        print("  both writers wrote the same %.0f MB" % (os.path.getsize(os.path.join(fast_dir, REPORT)) / 1e6))

        # Session 1 is the newest, the new run's: the largest.
        keys = b"1\n"
        fast_view_s, fast_view_mb, fast_screen = run_child(
            [py, "-m", "quorvelta", "report"], fast_dir, keys, os.path.join(work, "fast_screen.txt"))
        plain_view_s, plain_view_mb, plain_screen = run_child(
            [py, "-c", PLAIN_VIEWER], fast_dir, keys, os.path.join(work, "plain_screen.txt"))
        if fast_screen != plain_screen:
            raise SystemExit("the two viewers showed different screens")
        print("  both viewers showed the same %d lines" % fast_screen.count("\n"))
    finally:
        if args.keep:
            print("working folder:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    rows = [("save (_save_run_report)", fast_save_s, fast_save_mb, plain_save_s, plain_save_mb),
            ("viewer, start to statistics", fast_view_s, fast_view_mb, plain_view_s, plain_view_mb)]
    print()
    print("%-30s %20s %20s %16s %14s" % ("step", "engine.core", "plain Python", "speed-up", "memory share"))
    met = True
    for name, fs, fm, ps, pm in rows:
        speed, share = ps / fs, fm / pm
        met = met and speed >= 5 and share <= 1 / 3
        print("%-30s %8.2f s %7.0f MB %8.2f s %7.0f MB %15.1fx %14.2f" % (name, fs, fm, ps, pm, speed, share))
    print()
    print("bar (at least 5x faster, at most 1/3 of the memory):", "met" if met else "NOT met")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
