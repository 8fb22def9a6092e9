#!/usr/bin/python3
"""The tokenizers on GCIDE: whole `/auto` builds of the program (read, index, optimize,
checks, swap) from the same SQLite documents, one tokenizer after the other in turn,
medians of N runs; the size of each index. Every figure is a measurement; nothing here
fails on a timing.
   bench/tokenizers.py [--build DIR] [--runs N]
Prints one Markdown table for docs/benchmarks.md and writes bench/results/tokenizers.json."""
import argparse
import importlib.machinery
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
loader = importlib.machinery.SourceFileLoader("bench_run", os.path.join(ROOT, "bench", "run"))
bench = importlib.util.module_from_spec(importlib.util.spec_from_loader("bench_run", loader))
loader.exec_module(bench)

TOKENIZERS = ["porter unicode61 remove_diacritics 2", "snowball english unicode61 remove_diacritics 2",
              "unicode61 remove_diacritics 2", "trigram"]

parser = argparse.ArgumentParser()
parser.add_argument("--build", default=os.path.join(ROOT, "build"))
parser.add_argument("--runs", type=int, default=3)
args = parser.parse_args()
build = os.path.abspath(args.build)
bench.run(["cmake", "--build", build, "--target", "lumora_bench_prepare", "TessalyIndexManager"],
          capture_output=True)
work = tempfile.mkdtemp(prefix="lumora-tokenizers.")
gcide = next(d for d in (os.path.join(ROOT, ".deps/gcide/usr/share/dictd"), "/usr/share/dictd")
             if os.path.exists(os.path.join(d, "gcide.index")))
docs = os.path.join(work, "docs.db")
bench.run([os.path.join(build, "bench", "lumora_bench_prepare"), "documents", os.path.join(gcide, "gcide.index"),
           os.path.join(gcide, "gcide.dict.dz"), docs, os.path.join(work, "docs.tsv"), "1", "0"],
          capture_output=True)



def measure(program, folder):
    """Wall and CPU seconds of one /auto run: on a shared machine the CPU time is the
    steadier figure."""
    start = time.monotonic()
    proc = subprocess.Popen([program, "/auto", "/index", "gcide"], cwd=folder, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("the build with %s failed" % folder)
    return time.monotonic() - start, usage.ru_utime + usage.ru_stime


samples = {t: [] for t in TOKENIZERS}
for _ in range(args.runs):
    for i, tokenizer in enumerate(TOKENIZERS):
        folder = os.path.join(work, "app%d" % i)
        if not os.path.exists(folder):
            os.makedirs(folder)
            shutil.copy2(os.path.join(build, "app", "TessalyIndexManager"), folder)
            bench.TOKENIZER = tokenizer
            bench.write_config(folder, "gcide", "Provider=SQLite;Database=" + docs)
        wall, cpu = measure(os.path.join(folder, "TessalyIndexManager"), folder)
        index = os.path.join(folder, "indexes", "gcide", "index.db")
        samples[tokenizer].append({"seconds": wall, "cpu_seconds": cpu, "bytes": os.path.getsize(index),
                                   "checks_seconds": bench.checks_seconds(index)})

porter = TOKENIZERS[0]
base_s = statistics.median(s["seconds"] for s in samples[porter])
base_b = statistics.median(s["bytes"] for s in samples[porter])
rows = []
base_c = statistics.median(s["cpu_seconds"] for s in samples[porter])
print("| Tokenizer | build s | vs porter | CPU s | vs porter | index MB | vs porter |")
print("|---|---:|---:|---:|---:|---:|---:|")
for tokenizer in TOKENIZERS:
    s = statistics.median(x["seconds"] for x in samples[tokenizer])
    c = statistics.median(x["cpu_seconds"] for x in samples[tokenizer])
    b = statistics.median(x["bytes"] for x in samples[tokenizer])
    rows.append({"tokenizer": tokenizer, "seconds": s, "cpu_seconds": c, "bytes": b, "samples": samples[tokenizer]})
    print("| `%s` | %.2f | %.2f | %.2f | %.2f | %.1f | %.2f |"
          % (tokenizer, s, s / base_s, c, c / base_c, b / 1e6, b / base_b))
with open(os.path.join(ROOT, "bench", "results", "tokenizers.json"), "w") as f:
    json.dump({"load": os.getloadavg(), "runs": args.runs, "rows": rows}, f, indent=1)
shutil.rmtree(work, ignore_errors=True)
